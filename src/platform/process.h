// Facts about the running process: its command line, executable, environment and ids.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chimewell::platform {

// The whole command line as the launcher passed it (UTF-8). On a platform that
// hands over an argument vector, the arguments joined as a shell would quote them.
std::string CommandLine();

// The arguments, the program's own name first. On Windows they are split from
// CommandLine() by SplitCommandLine (command_line.h); on POSIX they are argv.
std::vector<std::string> CommandLineArguments();

// The arguments as command-line tools read them, the program's name first:
// on Windows split by the system's rules for C programs (CommandLineToArgvW:
// a backslash escapes a double quote, so "{\"method\":1}" arrives whole),
// unlike the service's own launch rule; on POSIX argv.
std::vector<std::string> ToolArguments();

// Records argv for CommandLine()/CommandLineArguments() where the platform has no
// command-line query of its own. Called once by main before anything else; a
// no-op on Windows.
void RecordArguments(int argc, char** argv);

// Makes the heap keep the memory the process frees for its next use instead
// of handing it back to the system at once. A rebuild allocates and frees the
// same few megabytes every time (SQLite's page cache, the fetched rows, the
// documents); memory handed back has every page faulted in again at the next
// rebuild. The process then stays at its peak size between rebuilds.
void KeepFreedMemoryForReuse();

// Full path of the running executable (UTF-8).
std::string ExecutablePath();

// Value of an environment variable, whole; an unset variable gives "".
std::string GetEnvironmentVariable(const std::string& name);

std::uint32_t CurrentProcessId();
std::uint32_t CurrentThreadId();

// The path separator of this platform's file names: '\\' on Windows, '/' on POSIX.
char PathSeparator();

}  // namespace chimewell::platform
