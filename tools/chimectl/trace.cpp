#include <cstdio>

#include "platform/debug_output.h"
#include "session.h"
#include "verbs.h"

namespace chimectl {

int Trace(Arguments arguments) {
  const auto pid_text = arguments.TakeValue("--pid");
  const std::optional<std::int64_t> only_pid =
      pid_text ? std::optional(ParseInteger(*pid_text, "--pid")) : std::nullopt;
  if (!arguments.Positionals().empty()) throw UsageError("trace takes no arguments");
  const bool listened = chimewell::platform::ListenToDebugOutput(
      [&](std::uint32_t pid, std::string_view text) {
        if (!only_pid || *only_pid == pid) PrintLine(std::to_string(pid) + " " + std::string(text));
        return true;
      });
  if (!listened) {
    PrintLine("On this platform the service writes its trace to its standard error, one piece "
              "per line; start it with isDebug=1 to switch the trace on.");
  }
  return kExitOk;
}

}  // namespace chimectl
