// The scenarios against the Windows build, run under Wine, plus what only the
// Windows build has: the ANSI code page of copy-data. The harness itself is
// native. Every Wine test shares one prefix and so one set of named debug-output
// objects: they must not run side by side (ctest: RESOURCE_LOCK wine).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include <sqlite3.h>
#include <gtest/gtest.h>

#include "earlier_today.h"
#include "platform/win32/launch_command_line.h"
#include "reminder_model.h"
#include "scenario_runner.h"
#include "testing/due_today_table.h"
#include "testing/temp_folder.h"
#include "version/version.h"

namespace chimewell::e2e {
namespace {

namespace fs = std::filesystem;

using Environment = std::map<std::string, std::optional<std::string>>;

constexpr char kUserShellFolders[] =
    R"(HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders)";
constexpr char kDefaultDocuments[] = R"(%USERPROFILE%\Documents)";

// A Unix path as the Windows programs see it, through Wine's Z: drive.
std::string WindowsPath(const std::string& unix_path) {
  std::string path = "Z:" + unix_path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// What Wine itself may write on a program's standard error.
bool IsWineNoise(const std::string& line) {
  static const std::regex noise(R"(^([0-9a-f]{4}:(err|fixme|warn|trace):|wine: ).*)");
  return std::regex_match(line, noise);
}

// Runs Windows programs of the build in the test prefix. Each instance has a
// temporary folder: Wine's HOME and the prefix's Documents folder while it lives.
class Wine {
 public:
  Wine() {
    fs::create_directory(root_ + "/Documents");
    SetDocuments(WindowsPath(root_ + "/Documents"));
  }
  ~Wine() {
    SetDocuments(kDefaultDocuments);
  }
  Wine(const Wine&) = delete;
  Wine& operator=(const Wine&) = delete;

  // `wine PROGRAM ARGS...`, under the code page that `locale` gives Wine;
  // `extra` adds to (or removes from) the environment below.
  ProcessOutcome Run(const std::vector<std::string>& program_and_arguments,
                     const std::string& input = "", const std::string& locale = "C.UTF-8",
                     std::chrono::seconds timeout = std::chrono::seconds(60),
                     const Environment& extra = {}) const {
    // Without address randomization, as scripts/wine_env.sh starts Wine (see
    // there): else about one start in 7,700 fails with "Internal error.".
    std::vector<std::string> command = {SETARCH_PATH, "-R", WINE_PATH};
    command.insert(command.end(), program_and_arguments.begin(), program_and_arguments.end());
    Environment environment = {
        // As scripts/wine_env.sh sets them.
        {"WINEPREFIX", WINE_PREFIX},
        {"WINEARCH", "win64"},
        {"WINEDEBUG", "-all,err+virtual"},
        {"WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d"},
        {"HOME", root_},
        // Wine reads the code page from LC_ALL; the rest must not interfere.
        {"LC_ALL", locale},
        {"LANG", std::nullopt},
        {"LC_CTYPE", std::nullopt},
        // The Windows processes take the time zone from the machine.
        {"TZ", std::nullopt},
        {"isDebug", "1"},
    };
    for (const auto& [name, value] : extra) environment[name] = value;
    return RunProcess(command, input, environment, timeout);
  }

  const std::string& Root() const { return root_; }

 private:
  void SetDocuments(const std::string& folder) const {
    const ProcessOutcome set = Run({"reg", "add", kUserShellFolders, "/v", "Personal", "/t",
                                    "REG_EXPAND_SZ", "/d", folder, "/f"});
    EXPECT_EQ(set.exit_code, 0) << "setting Documents: " << set.out << set.err;
  }

  testing_support::TempFolder folder_{"cw-wine"};
  const std::string root_ = folder_.Path();
};

class WineTarget final : public Target {
 public:
  ProcessOutcome RunChimectl(const std::vector<std::string>& arguments,
                             const std::string& input) override {
    std::vector<std::string> command = {CHIMECTL_EXE};
    command.insert(command.end(), arguments.begin(), arguments.end());
    command.insert(command.begin() + 2, {"--exe", ServiceExe()});
    return wine_.Run(command, input);
  }
  // chimectl relays the service's debug output to its standard error.
  std::vector<std::string> TraceRecords(const ProcessOutcome& outcome) override {
    std::vector<std::string> records;
    for (const std::string& line : SplitLines(outcome.err)) {
      if (!IsWineNoise(line)) records.push_back(line);
    }
    return records;
  }
  // The command line as CreateProcessW got it.
  std::string StartLine(const std::optional<std::string>& parameter) override {
    std::vector<std::string> arguments = {ServiceExe()};
    if (parameter) arguments.push_back(*parameter);
    return "chimewell.exe start with " + platform::win32::JoinLaunchCommandLine(arguments);
  }
  std::string StorePath(const std::string& user) override {
    return Documents() + R"(\Pelicorda\Calendar\Data\users\)" + user + R"(\reminder.db)";
  }
  std::string TodayDir(const std::string& user) override {
    return Documents() + R"(\Pelicorda\Calendar\Cache\users\)" + user + R"(\today\)";
  }
  bool IsPosix() const override { return false; }

 private:
  static std::string ServiceExe() { return WindowsPath(CHIMEWELL_EXE); }
  std::string Documents() const { return WindowsPath(wine_.Root() + "/Documents"); }
  Wine wine_;
};

class WineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* program : {CHIMECTL_EXE, CHIMEWELL_EXE, WIN32_BACKEND_TEST_EXE}) {
      ASSERT_TRUE(fs::exists(program)) << program << " is missing: build the windows preset";
    }
  }
};

// The backend's own checks (src/platform/win32/backend_test.cpp), which print
// what failed.
TEST_F(WineTest, Win32BackendChecks) {
  const Wine wine;
  // A thousand rounds of stopping a listener take about 25 s of it.
  const ProcessOutcome checks = wine.Run({WIN32_BACKEND_TEST_EXE}, "", "C.UTF-8", std::chrono::seconds(150));
  EXPECT_EQ(checks.exit_code, 0) << checks.out << checks.err;
}

// Both programs carry a version resource made from the project version, read
// as Windows reads it (version_info.exe asks the system). A program built
// without one must be told apart, or the reader could pass by printing anyway.
TEST_F(WineTest, ProgramsCarryTheProjectVersion) {
  ASSERT_TRUE(fs::exists(VERSION_INFO_EXE)) << VERSION_INFO_EXE << " is missing: build the windows preset";
  const Wine wine;
  const std::string version = kVersion;
  struct Case {
    const char* exe;
    std::string file_name;
    std::string description;
  } cases[] = {
      {CHIMEWELL_EXE, "chimewell.exe", "Chimewell reminder service"},
      {CHIMECTL_EXE, "chimectl.exe", "Chimewell control tool"},
  };
  for (const Case& c : cases) {
    const ProcessOutcome read = wine.Run({VERSION_INFO_EXE, WindowsPath(c.exe)});
    ASSERT_EQ(read.exit_code, 0) << c.file_name << ": " << read.out << read.err;
    std::map<std::string, std::string> values;
    for (const std::string& line : SplitLines(read.out)) {
      const std::size_t equals = line.find('=');
      if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    const std::map<std::string, std::string> expected = {
        {"FixedFileVersion", version + ".0"},
        {"FixedProductVersion", version + ".0"},
        {"ProductName", "Chimewell"},
        {"ProductVersion", version},
        {"FileVersion", version},
        {"FileDescription", c.description},
        {"CompanyName", "Chimewell"},
        {"OriginalFilename", c.file_name},
    };
    EXPECT_EQ(values, expected) << c.file_name << ":\n" << read.out;
  }
  const ProcessOutcome none = wine.Run({VERSION_INFO_EXE, WindowsPath(WIN32_BACKEND_TEST_EXE)});
  EXPECT_EQ(none.exit_code, 1) << none.out << none.err;
  EXPECT_NE(none.err.find("no version resource"), std::string::npos) << none.err;
}

using testing_support::ReadFileIfPresent;

bool HoldsItem(const std::optional<std::string>& document, const std::string& item) {
  return document && document->find("\"ItemID\":\"" + item + "\"") != std::string::npos;
}

std::string DailyAppend(const std::string& item) {
  // Daily at 00:00 UTC since 1970: due today on a machine in UTC.
  return R"({"method":"Reminder.Append","data":{"CalendarID":"A","ItemID":")" + item +
         R"(","ReminderType":0,"Enabled":1,"StartTime":0,"Repeat":1,"RepeatEnd":0}})";
}

// A today file that another process holds open without FILE_SHARE_DELETE can
// not be replaced: the calendar must go on reading the whole old document, the
// new one waits in the "~" file, the failure is traced and the calendar is
// still told; the next rebuild after the release puts the new document in place.
TEST_F(WineTest, HeldTodayFileKeepsTheOldDocumentUntilReleased) {
  using namespace std::chrono_literals;
  const Wine wine;
  const std::string today = wine.Root() + "/Documents/Pelicorda/Calendar/Cache/users/held/today/";
  const std::string target = today + "reminder.json";
  const std::string temporary = target + "~";

  // The session keeps the service up while this thread works, until the
  // test closes it. Everything below must fit in the long sleep.
  constexpr auto kSessionSleep = 30s;
  std::atomic<bool> session_over = false;
  ProcessOutcome session;
  std::thread runner([&] {
    session = wine.Run({CHIMECTL_EXE, "run", "--exe", WindowsPath(CHIMEWELL_EXE), "--user", "held",
                        "--wait", "30"},
                       "!sleep 300\n" + DailyAppend("i1") + "\n!sleep " +
                           std::to_string(std::chrono::milliseconds(kSessionSleep).count()) + "\n",
                       "C.UTF-8", kSessionSleep + 60s);
    session_over = true;
  });
  const auto started = std::chrono::steady_clock::now();
  // Polls until `condition` holds, the session ends or `limit` passes.
  const auto await = [&](const std::function<bool()>& condition, std::chrono::seconds limit) {
    for (const auto until = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < until && !session_over;
         std::this_thread::sleep_for(50ms)) {
      if (condition()) return true;
    }
    return condition();
  };

  std::optional<std::string> old_document;
  const bool first = await(
      [&] {
        old_document = ReadFileIfPresent(target);
        return HoldsItem(old_document, "i1");
      },
      30s);
  EXPECT_TRUE(first) << "no reminder.json with i1";

  if (first) {
    const ProcessOutcome held = wine.Run({WIN32_BACKEND_TEST_EXE, "hold", WindowsPath(target)},
                                         DailyAppend("i2") + "\n");
    EXPECT_EQ(held.exit_code, 0) << held.out << held.err;
    EXPECT_EQ(SplitLines(held.out), std::vector<std::string>{"-1"}) << "the Append's result";
    const auto held_temporary = ReadFileIfPresent(temporary);
    EXPECT_EQ(ReadFileIfPresent(target), old_document) << "the held file changed";
    EXPECT_TRUE(HoldsItem(held_temporary, "i1") && HoldsItem(held_temporary, "i2"))
        << "reminder.json~: " << held_temporary.value_or("(none)");

    const ProcessOutcome rebuilt = wine.Run({CHIMECTL_EXE, "timechange", "--wait", "20"});
    EXPECT_EQ(rebuilt.exit_code, 0) << rebuilt.out << rebuilt.err;
    std::optional<std::string> new_document;
    EXPECT_TRUE(await(
        [&] {
          new_document = ReadFileIfPresent(target);
          return HoldsItem(new_document, "i2") && !fs::exists(temporary);
        },
        30s))
        << "after the release: reminder.json " << new_document.value_or("(none)")
        << (fs::exists(temporary) ? ", reminder.json~ still there" : "");
    EXPECT_TRUE(HoldsItem(new_document, "i1"));
  }
  const auto worked = std::chrono::steady_clock::now() - started;
  EXPECT_FALSE(session_over) << "the session ended before the checks were done";
  EXPECT_LT(worked, kSessionSleep) << "the checks took longer than the session's sleep";
  // Closing the service ends the session at once.
  const ProcessOutcome closed = wine.Run({CHIMECTL_EXE, "close", "--wait", "20"});
  EXPECT_EQ(closed.exit_code, 0) << closed.out << closed.err;
  runner.join();

  SCOPED_TRACE("stdout:\n" + session.out + "\nstderr:\n" + session.err);
  EXPECT_EQ(session.exit_code, 0);
  // Start-up, i1, the held rebuild and the clock change each notify the calendar.
  int notifications = 0;
  for (const std::string& line : SplitLines(session.out)) {
    if (line.rfind("notify ", 0) == 0) ++notifications;
  }
  EXPECT_EQ(notifications, 4);

  // The trace hands a long line over in pieces, and only the first has the
  // layout: the rest continue the line before.
  std::vector<std::string> texts;
  for (const std::string& record : SplitLines(session.err)) {
    if (IsWineNoise(record)) continue;
    if (const auto line = ParseTraceLine(record)) {
      texts.push_back(line->text);
    } else if (!texts.empty()) {
      texts.back() += record;
    }
  }
  // The held rebuild: from the i2 command to the rebuild of the clock change.
  const auto begin = std::find_if(texts.begin(), texts.end(), [](const std::string& text) {
    return text.rfind("ProcessQueryCommand : ", 0) == 0 && text.find("\"i2\"") != std::string::npos;
  });
  ASSERT_NE(begin, texts.end()) << "no i2 command in the trace";
  const auto end = std::find(begin, texts.end(), "Handle Timechanged.");
  const std::string failed = "Error!move " + WindowsPath(temporary) + " to " + WindowsPath(target) +
                             " failed : ";
  const auto error = std::find_if(begin, end, [&](const std::string& text) {
    return text.rfind(failed, 0) == 0;
  });
  ASSERT_NE(error, end) << "no line starting " << failed;
  EXPECT_TRUE(std::regex_match(error->substr(failed.size()), std::regex(R"(\d+)"))) << *error;
  // Which code the system gives is worth seeing in the report.
  RecordProperty("failed_move", *error);
  EXPECT_EQ(std::find_if(begin, end,
                         [](const std::string& text) {
                           return text.find("refreshd.") != std::string::npos;
                         }),
            end)
      << "the held rebuild traced a refresh";
  EXPECT_NE(std::find(error, end, "NotifyCalendar over."), end) << "the calendar was not told";
  // The clock change's rebuild moved the file in place.
  EXPECT_NE(std::find(end, texts.end(), WindowsPath(target) + " refreshd."), texts.end());
}

// Unix links planted where the service writes, before its first start. Wine
// shows such a link as the file it points to, so only moving a new file over
// the name replaces the link instead of writing through it: every target
// keeps its bytes and the service's own files take the places.
TEST_F(WineTest, LinksPlantedWhereTheServiceWritesAreReplaced) {
  const Wine wine;
  const std::string data = wine.Root() + "/Documents/Pelicorda/Calendar/Data/users/links/";
  const std::string cache = wine.Root() + "/Documents/Pelicorda/Calendar/Cache/users/links/";
  const std::string planted[] = {
      data + "reminder.db~",          cache + "~~reminder.dat",        cache + "~~DaysMatter.dat",
      cache + "~~Alert.dat",          cache + "today/reminder.json~", cache + "today/reminder.json",
  };
  const std::string victims = wine.Root() + "/victims/";
  for (const std::string& folder : {victims, data, cache + "today/"}) fs::create_directories(folder);
  for (std::size_t i = 0; i < std::size(planted); ++i) {
    std::ofstream(victims + std::to_string(i)) << "victim " << i;
    fs::create_symlink(victims + std::to_string(i), planted[i]);
  }

  const ProcessOutcome run =
      wine.Run({CHIMECTL_EXE, "run", "--exe", WindowsPath(CHIMEWELL_EXE), "--user", "links"},
               DailyAppend("i1") + "\n" + R"({"method":"Reminder.Alert","data":{"Items":["gone"]}})" + "\n");
  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;

  for (std::size_t i = 0; i < std::size(planted); ++i) {
    SCOPED_TRACE(planted[i]);
    EXPECT_EQ(ReadFileIfPresent(victims + std::to_string(i)), "victim " + std::to_string(i));
    EXPECT_FALSE(fs::is_symlink(planted[i]));
  }
  EXPECT_FALSE(fs::exists(planted[0])) << "the template copy was moved into place";
  EXPECT_NE(ReadFileIfPresent(planted[1]).value_or("").find("SELECT"), std::string::npos);
  EXPECT_NE(ReadFileIfPresent(planted[3]).value_or("").find("'gone'"), std::string::npos);
  EXPECT_FALSE(fs::exists(planted[4])) << "the replacement was moved into place";
  EXPECT_TRUE(HoldsItem(ReadFileIfPresent(planted[5]), "i1")) << run.err;
  // The new files the writes went through were all moved into place.
  for (const std::string& folder : {data, cache, cache + "today/"}) {
    for (const auto& entry : fs::directory_iterator(folder)) {
      EXPECT_NE(entry.path().extension(), ".new") << "left behind: " << entry.path();
    }
  }
}

// A second launch for the same user replaces the running service: the old
// one is asked to close and ends with 0, the new one serves; both trace it.
TEST_F(WineTest, ASecondLaunchForTheUserReplacesTheFirst) {
  using namespace std::chrono_literals;
  const Wine wine;
  const std::string today = wine.Root() + "/Documents/Pelicorda/Calendar/Cache/users/same/today/";
  ProcessOutcome first;
  std::thread runner([&] {
    first = wine.Run({CHIMECTL_EXE, "run", "--exe", WindowsPath(CHIMEWELL_EXE), "--user", "same",
                      "--wait", "30"},
                     "!sleep 300\n" + DailyAppend("a1") + "\n!sleep 60000\n", "C.UTF-8", 120s);
  });
  bool first_serves = false;
  for (const auto until = std::chrono::steady_clock::now() + 40s;
       !first_serves && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(50ms)) {
    first_serves = HoldsItem(ReadFileIfPresent(today + "reminder.json"), "a1");
  }
  EXPECT_TRUE(first_serves) << "the first service never listed a1";
  const ProcessOutcome second =
      wine.Run({CHIMECTL_EXE, "run", "--exe", WindowsPath(CHIMEWELL_EXE), "--user", "same", "--wait", "30"},
               "!sleep 300\n" + DailyAppend("b1") + "\n");
  runner.join();

  SCOPED_TRACE("first:\n" + first.out + first.err + "\nsecond:\n" + second.out + second.err);
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(first.exit_code, 0);
  EXPECT_NE(first.out.find("service exited with code 0"), std::string::npos);
  // Only one debug-output listener may run at a time, the first session's:
  // the newcomer's own trace lines are checked natively. The old service
  // names the newcomer's process.
  std::smatch launched;
  ASSERT_TRUE(std::regex_search(second.out, launched, std::regex(R"(service started, process (\d+))")));
  EXPECT_NE(first.err.find("A newer service of this user (process " + launched[1].str() +
                           ") takes over: this one ends."),
            std::string::npos);
  EXPECT_NE(second.out.find("result -1"), std::string::npos);
  const auto listed = ReadFileIfPresent(today + "reminder.json");
  EXPECT_TRUE(HoldsItem(listed, "a1") && HoldsItem(listed, "b1")) << listed.value_or("(none)");
}

// The store as the reliability tests compare it (ReminderModel::Render's
// layout), read by a native connection; `integrity` gets integrity_check's
// answer. Nothing when the store is missing.
std::optional<std::vector<std::string>> ReadStore(const std::string& path, std::string& integrity) {
  if (!fs::exists(path)) return std::nullopt;
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close_v2);
  if (opened != SQLITE_OK) {
    integrity = sqlite3_errstr(opened);
    return std::vector<std::string>{};
  }
  const auto column = [&](const char* sql) {
    std::vector<std::string> values;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db.get(), sql, -1, &statement, nullptr) != SQLITE_OK) {
      integrity = sqlite3_errmsg(db.get());
      return values;
    }
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owned(statement, sqlite3_finalize);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      values.push_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    }
    return values;
  };
  const std::vector<std::string> check = column("PRAGMA integrity_check");
  integrity = check.empty() ? integrity : check[0];
  return NormalizeAlerts(column(
      "select CalendarID||'|'||ItemID||'|'||ReminderType||'|'||Enabled||'|'||StartTime||'|'||Repeat||'|'||"
      "RepeatEnd||'|'||ifnull(LastNotified,'-') from Reminders order by CalendarID, ItemID"));
}

// A batch of rebuilding commands for one cycle of the kill loop: appends of
// new items (daily timed ones and yearly day-level ones, so both today files
// have content), updates and deletes of existing ones.
std::vector<ModelCommand> KillLoopBatch(ReminderModel model, std::mt19937& random, int cycle) {
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  std::vector<ModelCommand> batch;
  for (int n = 0; n < 40; ++n) {
    ModelCommand command{};
    const auto pick = random() % 10;
    if (model.Empty() || pick < 5) {
      command.kind = ModelCommand::Kind::kAppend;
      command.calendar = random() % 2 ? "A" : "B";
      command.item = "k" + std::to_string(cycle) + "_" + std::to_string(n);
      command.row.type = static_cast<int>(random() % 2);
    } else {
      auto it = model.Rows().begin();
      std::advance(it, random() % model.Rows().size());
      command.kind = pick < 8 ? ModelCommand::Kind::kUpdate : ModelCommand::Kind::kDelete;
      command.calendar = it->first.first;
      command.item = it->first.second;
      command.row.type = it->second.type;
    }
    command.row.enabled = 1;
    command.row.start = command.row.type == 0 ? static_cast<std::int64_t>(random() % 86000) : now;
    command.row.repeat = command.row.type == 0 ? 1 : 5;
    model.Apply(command);
    batch.push_back(std::move(command));
  }
  return batch;
}

// The kill loop on the Windows build: the service is ended by TerminateProcess
// (taskkill /F, from outside, at a random moment) while `chimectl run` sends
// rebuilding commands. After each kill the today files are absent or whole,
// the store is integral, and every command answered -1 is in it (the one in
// flight may be or not).
TEST_F(WineTest, TerminateProcessAtRandomMomentsLosesNoAnsweredCommand) {
  using namespace std::chrono_literals;
  const Wine wine;
  const std::string data = wine.Root() + "/Documents/Pelicorda/Calendar/Data/users/crash/";
  const std::string today = wine.Root() + "/Documents/Pelicorda/Calendar/Cache/users/crash/today/";
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  ReminderModel model;
  constexpr int kCycles = 12;
  int kills = 0, before_serving = 0, kept = 0, lost = 0, done_first = 0;
  std::size_t answered_total = 0;
  const auto started = std::chrono::steady_clock::now();
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    const std::vector<ModelCommand> batch = KillLoopBatch(model, random, cycle);
    std::string input;
    for (const ModelCommand& command : batch) input += command.Text() + "\n";
    const std::string record_before = ReadFileIfPresent(data + "service.window").value_or("");
    ProcessOutcome session;
    std::thread runner([&] {
      session = wine.Run({CHIMECTL_EXE, "run", "--exe", WindowsPath(CHIMEWELL_EXE), "--user", "crash",
                          "--wait", "30"},
                         input, "C.UTF-8", 90s);
    });
    // The service's process id: from the record of its window it makes at launch.
    std::string record;
    for (const auto until = std::chrono::steady_clock::now() + 40s;
         std::chrono::steady_clock::now() < until && (record.empty() || record == record_before);
         std::this_thread::sleep_for(10ms)) {
      record = ReadFileIfPresent(data + "service.window").value_or("");
    }
    // Without a record of this session's service there is nothing to kill:
    // the record there is the last session's, whose process is gone.
    const bool new_record = record.find(' ') != std::string::npos && record != record_before;
    ProcessOutcome killed;
    if (new_record) {
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 1500));
      killed = wine.Run({"taskkill", "/F", "/PID", record.substr(record.find(' ') + 1)});
    }
    runner.join();
    ASSERT_TRUE(new_record) << "no record of a new service in 40 s; session (exit code "
                            << session.exit_code << "):\n" << session.out << session.err;
    std::size_t attempted = 0, answered = 0;
    bool served = false;
    for (const std::string& line : SplitLines(session.out)) {
      if (line.rfind("send 10 ", 0) == 0) ++attempted;
      if (line == "result -1") ++answered;
      if (line.rfind("notify ", 0) == 0) served = true;
    }
    // taskkill fails when the service had ended already: the whole batch was
    // answered and the session closed it.
    if (killed.exit_code == 0) {
      ++kills;
    } else {
      ASSERT_EQ(answered, batch.size()) << "taskkill: " << killed.out << killed.err << "\nsession (exit code "
                                        << session.exit_code << "):\n" << session.out << session.err;
      ++done_first;
    }
    if (!served) ++before_serving;
    answered_total += answered;

    for (const char* name : {"reminder.json", "daysmatter.json"}) {
      const TodayFileCheck file = CheckTodayFile(today + name);
      ASSERT_EQ(file.error, "") << name << " after cycle " << cycle;
    }
    std::string integrity;
    const auto rows = ReadStore(data + "reminder.db", integrity);
    if (!rows) {
      ASSERT_EQ(answered, 0u) << "no store after answered commands";
      continue;
    }
    ASSERT_EQ(integrity, "ok") << "after cycle " << cycle;
    ReminderModel expected = model;
    for (std::size_t n = 0; n < answered; ++n) expected.Apply(batch[n]);
    if (*rows != expected.Render() && attempted > answered) {
      expected.Apply(batch[answered]);  // carried out, only its answer was lost
      ++kept;
    } else if (attempted > answered) {
      ++lost;
    }
    ASSERT_EQ(*rows, expected.Render()) << "after cycle " << cycle << ", " << answered << " answered";
    model = expected;
  }
  // A clean start then serves from what survived, and ends with 0.
  const ProcessOutcome last = wine.Run(
      {CHIMECTL_EXE, "run", "--exe", WindowsPath(CHIMEWELL_EXE), "--user", "crash"}, "!sleep 200\n");
  EXPECT_NE(last.out.find("service exited with code 0"), std::string::npos) << last.out << last.err;
  std::vector<std::string> timed;
  for (const auto& [key, row] : model.Rows()) {
    if (row.type == 0) timed.push_back(key.second);
  }
  std::vector<std::string> listed = CheckTodayFile(today + "reminder.json").items;
  std::sort(timed.begin(), timed.end());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, timed);

  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("Wine: %d kills (%d before the first notification), %d cycles done before the kill, "
              "%zu commands answered, in flight at the kill: %d carried out, %d not; %.1f s\n",
              kills, before_serving, done_first, answered_total, kept, lost, seconds);
  RecordProperty("kills", kills);
  RecordProperty("answered", static_cast<int>(answered_total));
}

// Faults met while the Windows build serves, one table. Each case starts a
// service of its own, waits until it lists a1, makes the fault, sends a2
// and, where the service is still there, a3 after the fault is gone.
TEST_F(WineTest, FaultsOfTheStoreAndItsFoldersWhileServing) {
  using namespace std::chrono_literals;
  struct Paths {
    std::string data, cache, today;
  };
  struct Case {
    const char* name;
    std::function<void(const Paths&)> fault;
    bool locked;                         // a2 comes from a process that holds the store's lock
    std::vector<std::string> traced;     // in the session's trace
    bool service_quits;                  // the service ends by itself after a2
    std::vector<std::string> stored;     // the store's ItemIDs at the end; empty: no store
  };
  const std::vector<Case> cases = {
      {"store deleted", [](const Paths& p) { fs::remove(p.data + "reminder.db"); }, false,
       {"unable to open database file"}, false, {}},
      {"store locked by another process", [](const Paths&) {}, true,
       {"database is locked"}, false, {"a1", "a3"}},
      {"cache folder deleted", [](const Paths& p) { fs::remove_all(p.cache); }, false, {}, false,
       {"a1", "a2", "a3"}},
      {"today folder replaced by a file",
       [](const Paths& p) {
         fs::remove_all(p.today);
         std::ofstream(p.today.substr(0, p.today.size() - 1)) << "in the way";
       },
       false, {"Make dir ", " failed."}, true, {"a1", "a2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Wine wine;
    const std::string user = "f" + std::to_string(&c - cases.data());
    const std::string documents = wine.Root() + "/Documents/Pelicorda/Calendar/";
    const Paths paths{documents + "Data/users/" + user + "/", documents + "Cache/users/" + user + "/",
                      documents + "Cache/users/" + user + "/today/"};
    ProcessOutcome session;
    std::thread runner([&] {
      session = wine.Run({CHIMECTL_EXE, "run", "--exe", WindowsPath(CHIMEWELL_EXE), "--user", user, "--wait",
                          "30"},
                         DailyAppend("a1") + "\n!sleep 40000\n", "C.UTF-8", 100s);
    });
    bool serving = false;
    for (const auto until = std::chrono::steady_clock::now() + 40s;
         !serving && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(50ms)) {
      serving = HoldsItem(ReadFileIfPresent(paths.today + "reminder.json"), "a1");
    }
    EXPECT_TRUE(serving) << "a1 never listed";
    c.fault(paths);
    const ProcessOutcome a2 =
        c.locked ? wine.Run({WIN32_BACKEND_TEST_EXE, "hold-locked", WindowsPath(paths.data + "reminder.db")},
                            DailyAppend("a2") + "\n")
                 : wine.Run({CHIMECTL_EXE, "send", "--wait", "20", DailyAppend("a2")});
    EXPECT_EQ(SplitLines(a2.out), std::vector<std::string>{"-1"}) << "a2: " << a2.out << a2.err;
    if (!c.service_quits) {
      const ProcessOutcome a3 = wine.Run({CHIMECTL_EXE, "send", "--wait", "20", DailyAppend("a3")});
      EXPECT_EQ(SplitLines(a3.out), std::vector<std::string>{"-1"}) << "a3: " << a3.out << a3.err;
      const ProcessOutcome closed = wine.Run({CHIMECTL_EXE, "close", "--wait", "20"});
      EXPECT_EQ(closed.exit_code, 0) << closed.out << closed.err;
    }
    runner.join();
    EXPECT_EQ(session.exit_code, 0) << session.out << session.err;
    EXPECT_NE(session.out.find("service exited with code 0"), std::string::npos) << session.out;
    for (const std::string& text : c.traced) {
      EXPECT_NE(session.err.find(text), std::string::npos) << "not traced: " << text << "\n" << session.err;
    }
    std::string integrity;
    const auto rows = ReadStore(paths.data + "reminder.db", integrity);
    if (c.stored.empty()) {
      EXPECT_FALSE(rows) << "an empty store appeared";
      continue;
    }
    ASSERT_TRUE(rows);
    EXPECT_EQ(integrity, "ok");
    std::vector<std::string> items;
    for (const std::string& row : *rows) items.push_back(row.substr(2, row.find('|', 2) - 2));
    EXPECT_EQ(items, c.stored);
    if (!c.service_quits) {
      const auto listed = ReadFileIfPresent(paths.today + "reminder.json");
      for (const std::string& item : c.stored) EXPECT_TRUE(HoldsItem(listed, item)) << item;
    }
  }
}

// Two calendars of one user, each launching its own service and sending its
// own appends, in both launch orders: the second launch while the first
// serves, and both at once (either may take the lock first). The replaced
// service ends with 0 before its session reached its close, the other serves
// to the end: one service at a time. Every command answered -1 in either
// session is in the store.
TEST_F(WineTest, TwoLaunchesForOneUserLeaveOneServiceAndLoseNoAnsweredCommand) {
  using namespace std::chrono_literals;
  struct Case {
    const char* name;
    bool second_while_first_serves;
  };
  for (const Case& c : {Case{"second launch while the first serves", true},
                        Case{"both launched together", false}}) {
    SCOPED_TRACE(c.name);
    const Wine wine;
    const std::string documents = wine.Root() + "/Documents/Pelicorda/Calendar/";
    const auto input = [](const std::string& prefix) {
      std::string text;
      for (int n = 0; n < 30; ++n) text += DailyAppend(prefix + std::to_string(n)) + "\n";
      return text + "!sleep 8000\n";  // long enough for the other launch to come
    };
    ProcessOutcome sessions[2];
    const auto run = [&](int s) {
      sessions[s] = wine.Run({CHIMECTL_EXE, "run", "--exe", WindowsPath(CHIMEWELL_EXE), "--user", "twice",
                              "--wait", "30"},
                             input(s == 0 ? "a" : "b"), "C.UTF-8", 90s);
    };
    std::thread first(run, 0);
    if (c.second_while_first_serves) {
      bool serving = false;
      for (const auto until = std::chrono::steady_clock::now() + 40s;
           !serving && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(20ms)) {
        serving = HoldsItem(ReadFileIfPresent(documents + "Cache/users/twice/today/reminder.json"), "a0");
      }
      EXPECT_TRUE(serving) << "the first service never listed a0";
    }
    std::thread second(run, 1);
    first.join();
    second.join();

    int closed_by_session = 0;
    std::vector<std::string> answered;
    for (const ProcessOutcome& session : sessions) {
      SCOPED_TRACE(session.out);
      EXPECT_NE(session.out.find("service exited with code 0"), std::string::npos);
      const std::vector<std::string> lines = SplitLines(session.out);
      if (std::find(lines.begin(), lines.end(), "close") != lines.end()) ++closed_by_session;
      // The notification of a command's rebuild comes between its send and its result.
      std::string sent;
      for (const std::string& line : lines) {
        std::smatch item;
        if (std::regex_search(line, item, std::regex(R"re(^send 10 .*"ItemID":"([ab]\d+)")re"))) sent = item[1];
        if (line == "result -1" && !sent.empty()) answered.push_back(std::exchange(sent, ""));
      }
    }
    EXPECT_EQ(closed_by_session, 1) << "one service serves to the end, the other is replaced";
    EXPECT_GE(answered.size(), 30u);
    std::printf("%s: %zu commands answered -1, all in the store\n", c.name, answered.size());
    std::string integrity;
    const auto rows = ReadStore(documents + "Data/users/twice/reminder.db", integrity);
    ASSERT_TRUE(rows);
    EXPECT_EQ(integrity, "ok");
    for (const std::string& item : answered) {
      EXPECT_NE(std::find(rows->begin(), rows->end(), "A|" + item + "|0|1|0|1|0|-"), rows->end())
          << item << " was answered -1 and is not in the store";
    }
  }
}

// The due-today table on the Windows build, where SQLite's local time comes
// from the Windows zone rules: each zone is a Wine process started in it.
TEST_F(WineTest, DueTodayTableInEachZone) {
  ASSERT_TRUE(fs::exists(DUE_TODAY_TABLE_EXE)) << DUE_TODAY_TABLE_EXE << " is missing: build the windows preset";
  const Wine wine;
  for (const std::string& zone : testing_support::WineZones()) {
    const ProcessOutcome table =
        wine.Run({DUE_TODAY_TABLE_EXE, WindowsPath(WINDOWS_TEMPLATE_DB), WindowsPath(wine.Root()), zone}, "",
                 "C.UTF-8", std::chrono::seconds(60), {{"TZ", zone}});
    EXPECT_EQ(table.exit_code, 0) << zone << ":\n" << table.out << table.err;
    EXPECT_NE(table.out.find("\ncases: "), std::string::npos) << zone << ":\n" << table.out;
  }
}

// West of UTC a daily reminder earlier today used to be missing all day. The
// C runtime would read the zone from TZ, which Wine copies from Unix in a form
// it cannot parse; cmd removes it, and the Windows zone (New York's, taken
// from the Unix TZ at start) stays.
TEST_F(WineTest, DailyReminderEarlierTodayIsListedWestOfUtc) {
  constexpr const char* kZone = "America/New_York";
  const Wine wine;
  const EarlierToday earlier = DailyEarlierToday(kZone, "ny1");
  const ProcessOutcome run =
      wine.Run({"cmd", "/c", "set", "TZ=&", WindowsPath(CHIMECTL_EXE), "run", "--exe", WindowsPath(CHIMEWELL_EXE),
                "--user", "ny"},
               earlier.session, "C.UTF-8", std::chrono::seconds(60), {{"TZ", kZone}});
  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("timechange"), std::string::npos) << run.out;
  EXPECT_EQ(ReadFileIfPresent(wine.Root() + "/Documents/Pelicorda/Calendar/Cache/users/ny/today/reminder.json"),
            R"({"Calendar_ny":{"ID":"ny","Reminds":[)" + earlier.element + "]}}");
}

// A store that is no database at all (what a power cut can leave) no longer
// stops every start: the service keeps the file aside, makes the store again,
// and serves.
TEST_F(WineTest, AStoreThatIsNoDatabaseIsRepairedAndTheServiceServes) {
  const Wine wine;
  const std::string users = wine.Root() + "/Documents/Pelicorda/Calendar/Data/users/broken/";
  const std::string text = "not a database, but long enough to have a header......................";
  fs::create_directories(users);
  std::ofstream(users + "reminder.db") << text;
  const ProcessOutcome run =
      wine.Run({CHIMECTL_EXE, "run", "--exe", WindowsPath(CHIMEWELL_EXE), "--user", "broken"},
               DailyAppend("r1") + "\n");
  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_NE(run.err.find("Error!Store damaged"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("PrpareDB"), std::string::npos) << run.err;
  std::vector<std::string> kept;
  for (const auto& entry : fs::directory_iterator(users)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("reminder.db.damaged-", 0) == 0) kept.push_back(entry.path().string());
  }
  ASSERT_EQ(kept.size(), 1u) << run.err;
  EXPECT_EQ(ReadFileIfPresent(kept[0]), text);
  EXPECT_TRUE(HoldsItem(
      ReadFileIfPresent(wine.Root() + "/Documents/Pelicorda/Calendar/Cache/users/broken/today/reminder.json"),
      "r1"))
      << run.err;
}

// Stores whose schema text carries statements of its own, damaged so that the
// repair runs: a tokenizer call through a pointer the text chose, and an
// ATTACH that would make a file elsewhere. The service runs none of it: it
// repairs, keeps every reminder, writes nothing outside its folder, serves.
TEST_F(WineTest, AHostileStoreIsRepairedWithoutRunningWhatItHolds) {
  struct Case {
    const char* name;
    std::string tail;  // after the Reminders table's own text
  };
  const Wine wine;
  const std::string outside = wine.Root() + "/outside/";
  const Case cases[] = {
      {"tokenizer", "; SELECT fts3_tokenizer('simple', x'4141414141414141'); "
                    "CREATE VIRTUAL TABLE Planted USING fts3(a)"},
      {"attach", "; ATTACH '" + WindowsPath(outside + "planted.db") + "' AS x; CREATE TABLE x.t(a)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string users = wine.Root() + "/Documents/Pelicorda/Calendar/Data/users/" + c.name + "/";
    fs::create_directories(users);
    fs::create_directories(outside);
    const std::string store = users + "reminder.db";
    fs::copy_file(WINDOWS_TEMPLATE_DB, store);
    std::int64_t torn = 0;
    {
      sqlite3* raw = nullptr;
      ASSERT_EQ(sqlite3_open_v2(store.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
      const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close_v2);
      const std::string seed =
          "with recursive n(i) as (select 1 union all select i + 1 from n where i < 300) insert into "
          "Reminders select 'C', printf('item-%06d-', i) || hex(zeroblob(20)), 0, 1, 1000, 0, 0, null from n;"
          "PRAGMA writable_schema = ON;"
          "update sqlite_schema set sql = sql || '" + std::regex_replace(c.tail, std::regex("'"), "''") +
          "' where name = 'Reminders';";
      ASSERT_EQ(sqlite3_exec(db.get(), seed.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
          << sqlite3_errmsg(db.get());
      sqlite3_stmt* page = nullptr;
      ASSERT_EQ(sqlite3_prepare_v2(db.get(),
                                   "select pageno from dbstat where name = 'RemindersItemID' and "
                                   "pagetype = 'leaf' order by pageno limit 1",
                                   -1, &page, nullptr),
                SQLITE_OK);
      ASSERT_EQ(sqlite3_step(page), SQLITE_ROW);
      torn = sqlite3_column_int64(page, 0);
      sqlite3_finalize(page);
    }
    {
      // The index page's second half zeros, as a power cut leaves it.
      std::fstream file(store, std::ios::in | std::ios::out | std::ios::binary);
      file.seekp((torn - 1) * 4096 + 2048);
      const std::string zeros(2048, '\0');
      file.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
    const ProcessOutcome run =
        wine.Run({CHIMECTL_EXE, "run", "--exe", WindowsPath(CHIMEWELL_EXE), "--user", c.name},
                 DailyAppend("r1") + "\n");
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_NE(run.err.find("Error!Store made again from the template : 300 reminders salvaged"),
              std::string::npos)
        << run.err;
    EXPECT_TRUE(fs::is_empty(outside)) << run.err;
    EXPECT_TRUE(HoldsItem(ReadFileIfPresent(wine.Root() + "/Documents/Pelicorda/Calendar/Cache/users/" +
                                            c.name + "/today/reminder.json"),
                          "r1"))
        << run.err;
  }
}

// The user's international settings give the trace's time separator. They
// are the prefix's, shared by every test: set for this run only.
TEST_F(WineTest, TraceTimestampTakesTheLocalesTimeSeparator) {
  constexpr char kInternational[] = R"(HKCU\Control Panel\International)";
  const Wine wine;
  // The current values, from `reg query` lines "    NAME    REG_SZ    VALUE".
  std::map<std::string, std::string> saved;
  for (const char* name : {"sTimeFormat", "sTime"}) {
    const ProcessOutcome query = wine.Run({"reg", "query", kInternational, "/v", name});
    std::smatch value;
    ASSERT_TRUE(std::regex_search(query.out, value, std::regex(std::string(name) + R"( +REG_SZ +([^\r\n]*))")))
        << query.out << query.err;
    saved[name] = value[1].str();
  }
  const auto set = [&](const std::string& name, const std::string& value) {
    const ProcessOutcome done = wine.Run({"reg", "add", kInternational, "/v", name, "/d", value, "/f"});
    EXPECT_EQ(done.exit_code, 0) << done.out << done.err;
  };
  set("sTimeFormat", "HH.mm.ss");
  set("sTime", ".");
  const ProcessOutcome run =
      wine.Run({CHIMECTL_EXE, "run", "--exe", WindowsPath(CHIMEWELL_EXE), "--user", "fi"}, "!sleep 300\n");
  for (const auto& [name, value] : saved) set(name, value);

  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_EQ(CountTimestamps(run.err, ':'), 0) << run.err;
  EXPECT_GE(CountTimestamps(run.err, '.'), 3) << run.err;
}

// chimectl splits its own command line the way Windows programs do, so a
// JSON text with quotes arrives byte for byte from cmd and from a Unix shell
// (through Wine, which quotes argv the same way).
TEST_F(WineTest, ChimectlArgumentsArriveByteForByte) {
  const Wine wine;
  std::thread listener_thread;
  ProcessOutcome listened;
  listener_thread = std::thread([&] { listened = wine.Run({CHIMECTL_EXE, "listen"}); });
  const std::string json = R"({"method":"Reminder.Delete","data":{"CalendarID":"a b","ItemID":"x\"y"}})";
  // The line as a user types it in cmd: \" for each quote, \\\" for the
  // JSON's own backslash before a quote.
  const std::string typed = wine.Root() + "/typed.cmd";
  std::ofstream(typed) << "@" << WindowsPath(CHIMECTL_EXE)
                       << R"( send --class ChimectlView --wait 20 "{\"method\":\"Reminder.Delete\",)"
                       << R"(\"data\":{\"CalendarID\":\"a b\",\"ItemID\":\"x\\\"y\"}}")" << "\r\n";
  struct Case {
    const char* how;
    std::vector<std::string> command;
  } cases[] = {
      {"argv from a Unix shell", {CHIMECTL_EXE, "send", "--class", "ChimectlView", "--wait", "20", json}},
      {"a line typed in cmd", {"cmd", "/c", WindowsPath(typed)}},
      {"standard input", {CHIMECTL_EXE, "send", "--class", "ChimectlView", "--wait", "20", "-"}},
  };
  for (const Case& c : cases) {
    const ProcessOutcome sent = wine.Run(c.command, json + "\n");
    EXPECT_EQ(sent.exit_code, 0) << c.how << ": " << sent.out << sent.err;
  }
  const ProcessOutcome closed = wine.Run({CHIMECTL_EXE, "close", "--class", "ChimectlView", "--wait", "20"});
  EXPECT_EQ(closed.exit_code, 0) << closed.out << closed.err;
  listener_thread.join();
  std::vector<std::string> received = SplitLines(listened.out);
  ASSERT_FALSE(received.empty()) << listened.err;
  received.erase(received.begin());  // the view window's handle
  std::string escaped;
  for (const char c : json) {
    if (c == '"' || c == '\\') escaped += '\\';
    escaped += c;
  }
  const std::string expected = R"({"code":10,"text":")" + escaped + R"("})";
  EXPECT_EQ(received, std::vector<std::string>(3, expected)) << listened.out;
}

// The sample calendar host (examples/sample_host.cpp) plays the calendar's
// whole side against the service: a message-only view window, the launch, the
// first notification as the ready signal, every command with its answer and
// its effect on the today files, and WM_CLOSE at exit. It prints what failed.
TEST_F(WineTest, SampleHostDrivesTheServiceThroughItsWholeContract) {
  ASSERT_TRUE(fs::exists(SAMPLE_HOST_EXE)) << SAMPLE_HOST_EXE << " is missing: build the windows preset";
  const Wine wine;
  const ProcessOutcome run = wine.Run({SAMPLE_HOST_EXE, WindowsPath(CHIMEWELL_EXE), "host"});
  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("all steps passed"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("FAIL"), std::string::npos) << run.out;
  std::smatch ready;
  if (std::regex_search(run.out, ready, std::regex(R"(first notification (\d+) ms after the launch)"))) {
    RecordProperty("ready_ms", ready[1].str());
  }
}

// The release zip holds exactly what an installation needs, and the programs
// unzipped from it work as they lie: the service finds templates\base.db
// beside itself, and answers the unzipped chimectl.exe.
TEST_F(WineTest, ReleaseZipHoldsTheProgramsAndServesUnzipped) {
  ASSERT_TRUE(fs::exists(RELEASE_ZIP))
      << RELEASE_ZIP << " is missing: make it with cmake --workflow --preset release";
  const ProcessOutcome listed = RunProcess({CMAKE_COMMAND_PATH, "-E", "tar", "tf", RELEASE_ZIP}, "", {});
  ASSERT_EQ(listed.exit_code, 0) << listed.err;
  std::vector<std::string> entries = SplitLines(listed.out);
  std::sort(entries.begin(), entries.end());
  const std::vector<std::string> expected = {
      "README.md",
      "chimectl.exe",
      "chimewell.exe",
      "licenses/",
      "licenses/SQLite.txt",
      "licenses/gcc-runtime.txt",
      "licenses/mingw-w64-runtime.txt",
      "templates/",
      "templates/base.db",
  };
  EXPECT_EQ(entries, expected) << listed.out;

  const Wine wine;
  const std::string unzipped = wine.Root() + "/Chimewell";
  fs::create_directory(unzipped);
  const ProcessOutcome extracted = RunProcess({"/bin/sh", "-c", "cd \"$0\" && exec \"$1\" -E tar xf \"$2\"",
                                               unzipped, CMAKE_COMMAND_PATH, RELEASE_ZIP},
                                              "", {});
  ASSERT_EQ(extracted.exit_code, 0) << extracted.out << extracted.err;
  const ProcessOutcome run = wine.Run({WindowsPath(unzipped + "/chimectl.exe"), "run", "--exe",
                                       WindowsPath(unzipped + "/chimewell.exe"), "--user", "unzipped"},
                                      DailyAppend("z1") + "\n");
  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("result -1"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("PrpareDB"), std::string::npos) << run.err;
  EXPECT_TRUE(
      HoldsItem(ReadFileIfPresent(wine.Root() +
                                  "/Documents/Pelicorda/Calendar/Cache/users/unzipped/today/reminder.json"),
                "z1"))
      << run.out << run.err;
}

std::vector<Scenario> WindowsScenarios() {
  std::vector<Scenario> scenarios;
  for (const Scenario& scenario : Scenarios()) {
    if (!scenario.posix_only) scenarios.push_back(scenario);
  }
  return scenarios;
}

class WineScenario : public WineTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(WineScenario, Plays) {
  WineTarget target;
  PlayScenario(target, GetParam());
}

INSTANTIATE_TEST_SUITE_P(E2E, WineScenario, ::testing::ValuesIn(WindowsScenarios()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// Copy-data carries text in the sender's ANSI code page and the receiver reads
// it in its own; Wine takes the code page from LC_ALL (1252 for C.UTF-8, 936
// for zh_CN.UTF-8). `chimectl send` encodes, `chimectl listen` decodes and
// prints the text as JSON.
class WineCodePage : public WineTest {
 protected:
  struct Case {
    const char* sender_locale;
    std::string text;
    std::string received;
  };

  void SetUp() override {
    WineTest::SetUp();
    const ProcessOutcome listed = RunProcess({"/usr/bin/locale", "-a"}, "", {});
    ASSERT_NE(listed.out.find("zh_CN.utf8"), std::string::npos)
        << "the zh_CN.UTF-8 locale is missing: run scripts/setup.sh windows";
  }

  // Starts `chimectl listen` under `listener_locale`, sends each case's text
  // from a `chimectl send` under its own locale, closes the listener and
  // checks what it printed.
  void Check(const char* listener_locale, const std::vector<Case>& cases) {
    ProcessOutcome listened;
    std::thread listener([&] {
      listened = wine_.Run({CHIMECTL_EXE, "listen"}, "", listener_locale);
    });
    for (const Case& c : cases) {
      const ProcessOutcome sent =
          wine_.Run({CHIMECTL_EXE, "send", "--class", "ChimectlView", "--wait", "20", c.text}, "",
                    c.sender_locale);
      EXPECT_EQ(sent.exit_code, 0) << c.text << ": " << sent.out << sent.err;
    }
    const ProcessOutcome closed =
        wine_.Run({CHIMECTL_EXE, "close", "--class", "ChimectlView", "--wait", "20"});
    EXPECT_EQ(closed.exit_code, 0) << closed.err;
    listener.join();

    EXPECT_EQ(listened.exit_code, 0) << listened.err;
    const auto lines = SplitLines(listened.out);
    ASSERT_EQ(lines.size(), cases.size() + 1) << listened.out;
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\d+)"))) << lines[0];
    for (std::size_t i = 0; i < cases.size(); ++i) {
      EXPECT_EQ(lines[i + 1], R"({"code":10,"text":")" + cases[i].received + R"("})")
          << "sent [" << cases[i].text << "] under " << cases[i].sender_locale;
    }
  }

  Wine wine_;
};

constexpr char kWestern[] = "C.UTF-8";      // code page 1252
constexpr char kChinese[] = "zh_CN.UTF-8";  // code page 936 (GBK)

TEST_F(WineCodePage, Code1252Receiver) {
  Check(kWestern, {
                      {kWestern, "caf\u00e9", "caf\u00e9"},
                      {kWestern, "\u63d0\u9192", "??"},  // 提醒: not in 1252
                      // GBK CC E1 D0 D1 read as 1252: the bytes really are GBK.
                      {kChinese, "\u63d0\u9192", "\u00cc\u00e1\u00d0\u00d1"},
                  });
}

TEST_F(WineCodePage, Code936Receiver) {
  Check(kChinese, {
                      {kChinese, "\u63d0\u9192 caf\u00e9", "\u63d0\u9192 caf\u00e9"},
                      {kChinese, "\ud55c", "?"},  // 한: not in GBK
                      // 1252 E9 is a GBK lead byte; '!' can not follow one.
                      {kWestern, "\u00e9!", "\ufffd!"},
                      {kWestern, "\u00e9", "\ufffd"},  // a lead byte at the end
                  });
}

}  // namespace
}  // namespace chimewell::e2e
