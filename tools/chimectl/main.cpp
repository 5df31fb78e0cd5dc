// chimectl: plays the calendar's side of the service's window channel.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "platform/process.h"
#include "session.h"
#include "verbs.h"
#include "version/version.h"

namespace chimectl {

const Verb kVerbs[] = {
    {"listen", "stand in for the calendar's view window and print what it receives",
     "usage: chimectl listen\n"
     "Creates a hidden view window, prints its handle in decimal on the first line,\n"
     "then one JSON line {\"code\":N,\"text\":\"...\"} per copy-data message received.\n"
     "Runs until SIGTERM, SIGINT or a close message.\n",
     Listen},
    {"send", "send copy-data texts to the service window and print the results",
     "usage: chimectl send [--code N] [--class NAME] [--wait S] TEXT... | -\n"
     "Finds the window of class NAME (default ChimewellWnd, the service; ChimectlView\n"
     "is the view window of chimectl listen), waiting up to S seconds (default 5),\n"
     "sends each TEXT as copy-data with code N (default 10: a reminder command)\n"
     "and prints each message result in decimal on its own line. TEXT goes out in\n"
     "the system's ANSI code page, as the calendar sends it. With - instead of TEXT,\n"
     "sends each line of standard input (no quoting to get right).\n"
     "Exit 3 when no such window is found, 4 when a send fails or SIGTERM or SIGINT\n"
     "ends the wait for an answer.\n",
     Send},
    {"timechange", "tell the service window that the system clock was set",
     "usage: chimectl timechange [--class NAME] [--wait S]\n"
     "Sends the clock-change notice to the service window (or the window of class NAME).\n",
     TimeChange},
    {"close", "ask the service window to close (the service then exits)",
     "usage: chimectl close [--class NAME] [--wait S]\n"
     "Sends a close request to the service window (or the window of class NAME).\n",
     Close},
    {"run", "the demo session: launch the service and drive it with a file of commands",
     "usage: chimectl run [--user UID] [--exe PATH] [--param TEXT | --no-param] [--wait S] [FILE|-]\n"
     "Creates a view window, launches the service (default: chimewell beside this tool)\n"
     "with UID|HANDLE (UID default \"demo\"), waits up to S seconds (default 5) for its\n"
     "window and its first notification (the store is ready; after S seconds more it\n"
     "goes on anyway), sends each line of FILE (default: standard input) as a command with\n"
     "code 10, prints results and notifications as they come, then closes the service\n"
     "and reports its exit code (which is also this command's exit code).\n"
     "Lines: blank and #-lines are skipped; !timechange, !close, !terminate (SIGTERM),\n"
     "!sleep MS and !code N TEXT are directives; anything else is sent as it is.\n"
     "--param TEXT launches with TEXT instead ({view}: the view window's handle in\n"
     "decimal, {viewhex}: in hexadecimal, {dead}: a handle whose window is gone);\n"
     "--no-param launches without argument.\n",
     Run},
    {"trace", "print the debug trace of the service",
     "usage: chimectl trace [--pid ID]\n"
     "Prints every record written to the shared debug-output channel, one per line,\n"
     "prefixed with the writer's process id; with --pid only that process's.\n",
     Trace},
};
const std::size_t kVerbCount = std::size(kVerbs);

namespace {

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "usage: chimectl VERB [OPTIONS]   (chimectl VERB --help for more)\n"
                    "       chimectl --version           (print the version)\n\n");
  for (const Verb& verb : kVerbs) std::fprintf(out, "  %-11s %s\n", verb.name, verb.summary);
}

int Main(const std::vector<std::string>& arguments) {
  if (arguments.size() < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string& name = arguments[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return 0;
  }
  if (name == "--version") {
    if (arguments.size() > 2) {
      std::fprintf(stderr, "chimectl: --version takes no arguments\n");
      return kExitUsage;
    }
    std::printf("chimectl %s\n", chimewell::kVersion);
    return 0;
  }
  for (const Verb& verb : kVerbs) {
    if (name != verb.name) continue;
    Arguments rest({arguments.begin() + 2, arguments.end()});
    if (rest.WantsHelp()) {
      std::fputs(verb.help, stdout);
      return 0;
    }
    try {
      return verb.run(std::move(rest));
    } catch (const UsageError& error) {
      std::fprintf(stderr, "chimectl %s: %s (see chimectl %s --help)\n", verb.name, error.what(),
                   verb.name);
      return kExitUsage;
    }
  }
  std::fprintf(stderr, "chimectl: unknown verb '%s' (see chimectl --help)\n", name.c_str());
  return kExitUsage;
}

}  // namespace
}  // namespace chimectl

int main(int argc, char** argv) {
  chimewell::platform::RecordArguments(argc, argv);
  try {
    return chimectl::Main(chimewell::platform::ToolArguments());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "chimectl: %s\n", error.what());
    return 1;
  }
}
