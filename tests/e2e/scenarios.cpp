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
  return {.name = name,
          .run_options = std::move(options),
          .input = "",
          .output = Join(Begin(launch), {"service exited with code 0 without a window"}),
          .trace = {"{start}", error}};
}

Scenario WindowsOnly(Scenario scenario) {
  scenario.windows_only = true;
  return scenario;
}

const char* const kNoUser = "Error!Can not Get userid data.";
const char* const kNoWindow = "Error!Can not Get CalendarVeiwWnd data.";

// A rebuild of the today files from a store without a due reminder.
std::vector<std::string> EmptyRebuild() {
  return {"ReCreateReminderData >",
          "ReCreateReminderData make dir {today} ok.",
          "MakeTodayReminderData >",
          "Error!No reminder data.",
          "MakeTodayReminderData over.",
          "MakeTodayDaysMatterData >",
          "Error!No DaysMatter data.",
          "MakeTodayDaysMatterData over.",
          "NotifyCalendar over."};
}

// A launch that succeeds on a fresh store: the start line, the launch check
// and the whole start-up sequence.
std::vector<std::string> Started(const std::string& user) {
  return Join({"{start}", "user : " + user + " , CalendarVeiwWnd : 0x{viewhex}", "Init Start.",
               "PrpareDB [{store}] : True", "PrepareDB OK."},
              Join(EmptyRebuild(), {"Start tmrDay after {n}"}));
}

// A session that finds the window and closes the service at its end.
std::vector<std::string> Served(const std::string& launch, const std::vector<std::string>& middle) {
  return Join(Join(Begin(launch), {R"(service window \d+)"}),
              Join(middle, {"close", "service exited with code 0"}));
}

}  // namespace

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> scenarios = {
      Refused("NoArgument", {"--no-param"}, "without parameter", kNoUser),
      Refused("EmptyUserId", {"--param", "|{view}"}, R"(\|\d+)", kNoUser),
      // A user id becomes a folder name: nothing that climbs out or nests.
      Refused("DotUserId", {"--param", ".|{view}"}, R"(\.\|\d+)", kNoUser),
      Refused("DotDotUserId", {"--param", "..|{view}"}, R"(\.\.\|\d+)", kNoUser),
      Refused("UserIdClimbingOut", {"--param", "../../x|{view}"}, R"(\.\./\.\./x\|\d+)", kNoUser),
      Refused("UserIdWithSlash", {"--param", "alice/bob|{view}"}, R"(alice/bob\|\d+)", kNoUser),
      Refused("UserIdWithBackslash", {"--param", "alice\\..\\bob|{view}"}, R"(alice\\\.\.\\bob\|\d+)", kNoUser),
      WindowsOnly(Refused("UserIdWithColon", {"--param", "c:x|{view}"}, R"(c:x\|\d+)", kNoUser)),
      Refused("UserIdOnly", {"--param", "u1"}, "u1", kNoWindow),
      Refused("TrailingBar", {"--param", "u1|"}, R"(u1\|)", kNoWindow),
      Refused("ZeroWindow", {"--param", "u1|0"}, R"(u1\|0)", kNoWindow),
      Refused("LettersAfterDigits", {"--param", "u1|{view}ab"}, R"(u1\|\d+ab)", kNoWindow),
      Refused("TrailingBlank", {"--param", "u1|{view} "}, R"(u1\|\d+ )", kNoWindow),
      Refused("DeadWindow", {"--param", "u1|{dead}"}, R"(u1\|\d+)", kNoWindow),

      {.name = "CommandsRoundTrip",
       .run_options = {"--user", "u1"},
       .input = "!sleep 300\n"
                "{\"method\":\"Reminder.Append\",\"data\":{\"CalendarID\":\"W\",\"ItemID\":\"i1\",\"Enabled\":1,\"StartTime\":1000}}\n"
                "{\"method\":\"Reminder.Alert\",\"data\":{\"Items\":[\"i1\"]}}\n"
                "[]\n"
                "!code 11 anything\n"
                "!code 2 {\"method\":\"ToayReminderDataRefreshed\"}\n",
       .output = Served(R"(u1\|\d+)",
                        {R"(send 10 \{"method":"Reminder.Append",.*)", "result -1",
                         R"(send 10 \{"method":"Reminder.Alert",.*)", "result -1", R"(send 10 \[\])",
                         "result 0", "send 11 anything", "result 0",
                         R"(send 2 \{"method":"ToayReminderDataRefreshed"\})", "result 0"}),
       .trace = Join(Join(Started("u1"),
                          Join({"RECV WMCopyData", "REMINDER COMMAND :10",
                                "ProcessQueryCommand : {\"method\":\"Reminder.Append\",\"data\":{\"CalendarID\":"
                                "\"W\",\"ItemID\":\"i1\",\"Enabled\":1,\"StartTime\":1000}}",
                                "Method:Reminder.Append,CaledndarID:W,ItemID:i1"},
                               EmptyRebuild())),
                     {"REMINDER COMMAND :10 RESULT : -1", "RECV WMCopyData", "REMINDER COMMAND :10",
                      "ProcessQueryCommand : {\"method\":\"Reminder.Alert\",\"data\":{\"Items\":[\"i1\"]}}",
                      "REMINDER COMMAND :10 RESULT : -1", "RECV WMCopyData", "REMINDER COMMAND :10",
                      "ProcessQueryCommand : []", "Error!ProcessQueryCommand,Exception:Invalid class typecast",
                      "REMINDER COMMAND :10 RESULT : 0", "RECV WMCopyData", "REMINDER COMMAND :11",
                      "REMINDER COMMAND :11 RESULT : 0", "RECV WMCopyData", "REMINDER COMMAND :2",
                      "REMINDER COMMAND :2 RESULT : 0"}),
       .refreshes = 2},

      // Every accepted spelling of the window field; the rest of the
      // parameter is ignored and the user id is kept as it is, blanks included.
      {.name = "WindowFieldSpellingsAndExtraFields",
       .run_options = {"--param", "my user|  +{view}|extra|fields"},
       .input = "!sleep 300\n",
       .output = Served(R"(my user\|  \+\d+\|extra\|fields)", {}),
       .trace = Started("my user"),
       .refreshes = 1},
      {.name = "HexWindowWithDollar",
       .run_options = {"--param", "u|${viewhex}"},
       .input = "!sleep 300\n",
       .output = Served(R"(u\|\$[0-9A-F]+)", {}),
       .trace = Started("u"),
       .refreshes = 1},
      {.name = "HexWindowWithZeroX",
       .run_options = {"--param", "u|0x{viewhex}"},
       .input = "!sleep 300\n",
       .output = Served(R"(u\|0x[0-9A-F]+)", {}),
       .trace = Started("u"),
       .refreshes = 1},

      {.name = "ClockChangeRebuildsAndNotifies",
       .run_options = {},
       .input = "!sleep 300\n!timechange\n",
       .output = Served(R"(demo\|\d+)", {"timechange"}),
       .trace = Join(Join(Started("demo"), {"Handle Timechanged."}), EmptyRebuild()),
       .refreshes = 2},

      {.name = "TerminateSignalEndsCleanly",
       .run_options = {},
       .input = "!sleep 300\n!terminate\n",
       .output = Join(Begin(R"(demo\|\d+)"),
                      {R"(service window \d+)", "terminate", "service exited with code 0"}),
       .trace = Started("demo"),
       .refreshes = 1,
       .posix_only = true},
  };
  return scenarios;
}

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

}  // namespace chimewell::e2e
