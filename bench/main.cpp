// chimewell_bench: the service's command costs beside their floor, on both
// targets. A program of its own so that the shipped chimectl carries neither
// SQLite nor the today statements.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "platform/process.h"
#include "service_bench.h"
#include "session.h"

namespace {

constexpr char kHelp[] =
    "usage: chimewell_bench [--sizes N,N,...] [--rounds R] [--warmup W] [--pause MS] [--seed S]\n"
    "                       [--exe PATH] [--launcher \"CMD ARGS\"] [--out FILE] [--keep]\n"
    "For each store size (default 1000,10000,100000) seeds a store of a new bench user\n"
    "under the Documents folder with a realistic mix of reminders, launches the service\n"
    "(default: chimewell beside this program; --launcher runs it under CMD ARGS, for\n"
    "example a profiler) and times, round after round, Update, Append + Delete, Alert\n"
    "and a rebuild (the clock-change notice), each beside its floor measured in the\n"
    "same round: (a) the transport alone, a copy-data round trip with a nested reply\n"
    "to a minimal window of another process; (b) the store work alone with the SQLite\n"
    "C API. Also times launch to the first notification and reads the service's peak\n"
    "resident memory. Prints medians, p99 and service / floor ratios; --out FILE\n"
    "writes them tab-separated. R defaults to 200 rounds, fewer for large stores;\n"
    "each measured operation starts after MS milliseconds of quiet (default 20).\n"
    "The bench user's folders are removed at the end unless --keep is given.\n";

int Main(const std::vector<std::string>& arguments) {
  chimectl::Arguments rest(arguments.empty()
                               ? std::vector<std::string>{}
                               : std::vector<std::string>(arguments.begin() + 1, arguments.end()));
  if (rest.WantsHelp()) {
    std::fputs(kHelp, stdout);
    return chimectl::kExitOk;
  }
  try {
    return chimewell::bench::Bench(std::move(rest));
  } catch (const chimectl::UsageError& error) {
    std::fprintf(stderr, "chimewell_bench: %s (see chimewell_bench --help)\n", error.what());
    return chimectl::kExitUsage;
  }
}

}  // namespace

int main(int argc, char** argv) {
  chimewell::platform::RecordArguments(argc, argv);
  try {
    return Main(chimewell::platform::ToolArguments());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "chimewell_bench: %s\n", error.what());
    return 1;
  }
}
