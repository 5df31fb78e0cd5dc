#include "scenarios.h"

namespace chimewell::e2e {
namespace {

// The lines every session prints before the service answers.
std::vector<std::string> Begin(const std::string& launch) {
  return {R"(view window \d+)", "launch " + launch, R"(service started, process \d+)"};
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A launch the service refuses: no window, exit 0 at once.
Scenario Refused(const char* name, std::vector<std::string> options, const std::string& launch,
                 const char* error) {
  return {name,
          std::move(options),
          "",
          Join(Begin(launch), {"service exited with code 0 without a window"}),
          {"{start}", error}};
}

const char* const kNoUser = "Error!Can not Get userid data.";
const char* const kNoWindow = "Error!Can not Get CalendarVeiwWnd data.";

}  // namespace

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> scenarios = {
      Refused("NoArgument", {"--no-param"}, "without parameter", kNoUser),
      Refused("EmptyUserId", {"--param", "|{view}"}, R"(\|\d+)", kNoUser),
      Refused("UserIdOnly", {"--param", "u1"}, "u1", kNoWindow),
      Refused("TrailingBar", {"--param", "u1|"}, R"(u1\|)", kNoWindow),
      Refused("ZeroWindow", {"--param", "u1|0"}, R"(u1\|0)", kNoWindow),
      Refused("LettersAfterDigits", {"--param", "u1|{view}ab"}, R"(u1\|\d+ab)", kNoWindow),
      Refused("TrailingBlank", {"--param", "u1|{view} "}, R"(u1\|\d+ )", kNoWindow),
      Refused("DeadWindow", {"--param", "u1|{dead}"}, R"(u1\|\d+)", kNoWindow),

      {"LaunchAndRoundTrip",
       {"--user", "u1"},
       "!sleep 200\n"
       "{\"method\":\"Reminder.Update\"}\n"
       "!code 11 anything\n"
       "!code 2 {\"method\":\"ToayReminderDataRefreshed\"}\n",
       Join(Begin(R"(u1\|\d+)"),
            {R"(service window \d+)", R"(send 10 \{"method":"Reminder.Update"\})", "result 0",
             "send 11 anything", "result 0", R"(send 2 \{"method":"ToayReminderDataRefreshed"\})",
             "result 0", "close", "service exited with code 0"}),
       {"{start}", "user : u1 , CalendarVeiwWnd : 0x{viewhex}", "Init Start.",
        "RECV WMCopyData", "REMINDER COMMAND :10", "REMINDER COMMAND :10 RESULT : 0",
        "RECV WMCopyData", "REMINDER COMMAND :11", "REMINDER COMMAND :11 RESULT : 0",
        "RECV WMCopyData", "REMINDER COMMAND :2", "REMINDER COMMAND :2 RESULT : 0"}},

      // Every accepted spelling of the window field; the rest of the
      // parameter is ignored and the user id is kept as it is, blanks included.
      {"WindowFieldSpellingsAndExtraFields",
       {"--param", "my user|  +{view}|extra|fields"},
       "",
       Join(Begin(R"(my user\|  \+\d+\|extra\|fields)"),
            {R"(service window \d+)", "close", "service exited with code 0"}),
       {"{start}", "user : my user , CalendarVeiwWnd : 0x{viewhex}"}},
      {"HexWindowWithDollar", {"--param", "u|${viewhex}"}, "!sleep 100\n",
       Join(Begin(R"(u\|\$[0-9A-F]+)"), {R"(service window \d+)", "close", "service exited with code 0"}),
       {"{start}", "user : u , CalendarVeiwWnd : 0x{viewhex}", "Init Start."}},
      {"HexWindowWithZeroX", {"--param", "u|0x{viewhex}"}, "!sleep 100\n",
       Join(Begin(R"(u\|0x[0-9A-F]+)"), {R"(service window \d+)", "close", "service exited with code 0"}),
       {"{start}", "user : u , CalendarVeiwWnd : 0x{viewhex}", "Init Start."}},

      {"ClockChangeNotice",
       {},
       "!sleep 100\n!timechange\n",
       Join(Begin(R"(demo\|\d+)"),
            {R"(service window \d+)", "timechange", "close", "service exited with code 0"}),
       {"{start}", "user : demo , CalendarVeiwWnd : 0x{viewhex}", "Init Start.",
        "Handle Timechanged."}},

      {"TerminateSignalEndsCleanly",
       {},
       "!sleep 100\n!terminate\n",
       Join(Begin(R"(demo\|\d+)"), {R"(service window \d+)", "terminate", "service exited with code 0"}),
       {"{start}", "user : demo , CalendarVeiwWnd : 0x{viewhex}", "Init Start."},
       0,
       /*posix_only=*/true},
  };
  return scenarios;
}

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

}  // namespace chimewell::e2e
