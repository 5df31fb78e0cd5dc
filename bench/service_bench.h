// The service's command costs beside their floor (service_bench.cpp).
#pragma once

#include "options.h"

namespace chimewell::bench {

// Runs the bench with the arguments after the program name and returns the
// exit code; misuse throws chimectl::UsageError. With --peer HANDLE the
// process is instead the transport floor's peer window for the bench whose
// view window is HANDLE.
int Bench(chimectl::Arguments arguments);

}  // namespace chimewell::bench
