// <windows.h> for the backend. The header maps many names to their A or W
// variant by macro; those that are also names of our platform functions are
// undone here, or our definitions would be renamed and never link.
#pragma once

#include <windows.h>

#undef CopyFile
#undef CreateDirectory
#undef DeleteFile
#undef GetEnvironmentVariable
