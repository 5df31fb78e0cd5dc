#pragma once

namespace chimewell::host {

// The process: trace the start line, check the launch context, run the
// service window's message loop until it quits. Returns the exit code, 0 on
// every path.
int RunProcess();

}  // namespace chimewell::host
