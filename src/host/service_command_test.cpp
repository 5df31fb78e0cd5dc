// The reminder command protocol, end to end inside one process: a real
// service object with its window and loop, a real store made from the
// template, and a calendar view window on a thread of its own.
#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <utility>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "host/service.h"
#include "platform/files.h"
#include "platform/process.h"
#include "store/connection.h"
#include "testing/fixed_clock.h"
#include "testing/trace_capture.h"

namespace chimewell::host {
namespace {

namespace fs = std::filesystem;
using testing_support::FixedClock;
using testing_support::TempFolder;
using testing_support::TraceCapture;
using Texts = std::vector<std::string>;

// Counts the refresh notifications it receives, and runs `on_notify` (set by
// a test before it sends a command) inside the handler, as a calendar that
// answers a notification with a command of its own would.
class ViewWindow : public platform::WindowHandler {
 public:
  std::atomic<int> notifications{0};
  std::function<void()> on_notify;
  std::intptr_t OnCopyData(std::uint64_t, std::string_view) override {
    ++notifications;
    if (on_notify) std::exchange(on_notify, nullptr)();
    return 0;
  }
};

// A rebuild from a store where nothing is due today (every row is disabled,
// in the past, or of a kind never listed).
Texts EmptyRebuild(const std::string& today) {
  return {"ReCreateReminderData >", "ReCreateReminderData make dir " + today + " ok.",
          "MakeTodayReminderData >", "Error!No reminder data.", "MakeTodayReminderData over.",
          "MakeTodayDaysMatterData >", "Error!No DaysMatter data.", "MakeTodayDaysMatterData over.",
          "NotifyCalendar over."};
}

class ProtocolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    runtime_ = std::make_unique<TempFolder>();
    ::setenv("XDG_RUNTIME_DIR", runtime_->Path().c_str(), 1);
    ::setenv("TZ", "UTC", 1);
    view_ = std::make_unique<std::thread>([] {
      auto loop = platform::CreateMessageLoop();
      ViewWindow handler;
      auto window = loop->CreateHiddenWindow("ViewWnd", "view", handler);
      view_handler_ = &handler;
      view_loop_ = loop.get();
      view_handle_.set_value(window->Handle());
      loop->Run();
      view_handler_ = nullptr;
    });
    view_handle_value_ = view_handle_.get_future().get();
    loop_ = platform::CreateMessageLoop();
    form_ = std::make_unique<TfrmChimewell>(*loop_, clock_, platform::RealFileSystem(), Launch(), Paths());
    // Let the start-up sequence run: prepare the store, first rebuild.
    auto stop = loop_->CreateTimer([] { loop_->Quit(); });
    stop->SetInterval(200);
    stop->SetEnabled(true);
    loop_->Run();
  }
  static void TearDownTestSuite() {
    form_.reset();
    loop_->SendClose(view_handle_value_);
    view_->join();
    view_.reset();
    loop_.reset();
    runtime_.reset();
  }
  void SetUp() override {
    Exec("delete from Reminders;"
         "insert into Reminders values ('A','i1',0,1,1000,0,0,NULL);"
         "insert into Reminders values ('A','i2',1,1,2000,5,0,NULL);"
         "insert into Reminders values ('B','i1',0,0,3000,1,0,77);");
  }
  static LaunchValues Launch() { return {"u1", view_handle_value_}; }
  static StoragePaths Paths() {
    return StoragePathsOf(runtime_->Path() + "/Documents", platform::ExecutablePath(), "u1");
  }
  static std::string Documents() { return runtime_->Path() + "/Documents/Pelicorda/Calendar/"; }
  static std::string Store() { return Documents() + "Data/users/u1/reminder.db"; }
  static std::string Today() { return Documents() + "Cache/users/u1/today/"; }
  static void Exec(const std::string& sql) {
    store::DBConnection connection(Store());
    connection.Open();
    connection.ExecSQL(sql);
    connection.Close();
  }
  static std::vector<std::string> Rows() {
    store::DBConnection connection(Store());
    connection.Open();
    store::DBQuery query(connection,
                          "select CalendarID||'|'||ItemID||'|'||ReminderType||'|'||Enabled||'|'||"
                          "StartTime||'|'||Repeat||'|'||RepeatEnd||'|'||ifnull(LastNotified,'-') "
                          "from Reminders order by 1");
    query.Open();
    std::vector<std::string> rows;
    for (std::size_t r = 0; r < query.RecordCount(); ++r) rows.push_back(query.AsString(r, 0));
    connection.Close();
    return rows;
  }

  static inline std::unique_ptr<TempFolder> runtime_;
  static inline std::unique_ptr<std::thread> view_;
  static inline std::promise<platform::WindowHandle> view_handle_;
  static inline platform::WindowHandle view_handle_value_ = 0;
  static inline ViewWindow* view_handler_ = nullptr;
  static inline platform::MessageLoop* view_loop_ = nullptr;
  static inline std::unique_ptr<platform::MessageLoop> loop_;
  static inline std::unique_ptr<TfrmChimewell> form_;
  static inline FixedClock clock_;
};

const std::vector<std::string> kSeeded = {"A|i1|0|1|1000|0|0|-", "A|i2|1|1|2000|5|0|-",
                                          "B|i1|0|0|3000|1|0|77"};

TEST_F(ProtocolTest, EachCommandChangesTheStoreAndRebuildsWhenItShould) {
  struct Case {
    const char* name;
    std::string command;
    std::vector<std::string> rows;
    Texts trace;        // after "ProcessQueryCommand : <command>"
    bool rebuilt;       // the rebuild lines follow the trace
  };
  const Case cases[] = {
      {"append", R"({"method":"Reminder.Append","data":{"CalendarID":"C","ItemID":"n","ReminderType":1,"Enabled":1,"Repeat":3,"RepeatEnd":9}})",
       {"A|i1|0|1|1000|0|0|-", "A|i2|1|1|2000|5|0|-", "B|i1|0|0|3000|1|0|77", "C|n|1|1|0|3|9|-"},
       {"Method:Reminder.Append,CaledndarID:C,ItemID:n"}, true},
      {"append with defaults and numbers as ids", R"({"method":"reminder.append","data":{"CalendarID":17,"ItemID":"n","StartTime":"5"}})",
       {"17|n|0|0|0|0|0|-", "A|i1|0|1|1000|0|0|-", "A|i2|1|1|2000|5|0|-", "B|i1|0|0|3000|1|0|77"},
       {"Method:reminder.append,CaledndarID:17,ItemID:n"}, true},
      {"update keeps the type and clears the alert", R"({"method":"Reminder.Update","data":{"CalendarID":"B","ItemID":"i1","ReminderType":1,"StartTime":6,"Repeat":2,"RepeatEnd":8}})",
       {"A|i1|0|1|1000|0|0|-", "A|i2|1|1|2000|5|0|-", "B|i1|0|0|6|2|8|-"},
       {"Method:Reminder.Update,CaledndarID:B,ItemID:i1"}, true},
      {"append without an ItemID", R"({"method":"Reminder.Append","data":{"CalendarID":"C","ItemID":""}})",
       kSeeded, {"Error!ItemID or CalendarID Invalid."}, false},
      {"update with a null data", R"({"method":"Reminder.Update","data":null})",
       kSeeded, {"Error!ItemID or CalendarID Invalid."}, false},
      {"update with ids of the wrong kind", R"({"method":"REMINDER.UPDATE","data":{"CalendarID":true,"ItemID":["i1"]}})",
       kSeeded, {"Error!ItemID or CalendarID Invalid."}, false},
      {"delete", R"({"method":"Reminder.Delete","data":{"CalendarID":"A","ItemID":"i1"}})",
       {"A|i2|1|1|2000|5|0|-", "B|i1|0|0|3000|1|0|77"},
       {"Delete CalendarID:A,ItemID:i1 over."}, true},
      {"delete without an ItemID still rebuilds", R"({"method":"Reminder.Delete","data":{"CalendarID":"A"}})",
       kSeeded, {"Delete CalendarID:A,ItemID: over."}, true},
      {"clear does not rebuild", R"({"method":"reminder.clear","data":{"CalendarID":"A"}})",
       {"B|i1|0|0|3000|1|0|77"}, {}, false},
      {"alert across calendars", R"({"method":"Reminder.Alert","data":{"Items":["i1"]}})",
       {"A|i1|0|1|1000|0|0|1706666400", "A|i2|1|1|2000|5|0|-", "B|i1|0|0|3000|1|0|1706666400"}, {}, false},
      {"alert of a, 7 and true", R"({"method":"Reminder.Alert","data":{"Items":["i2",7,true]}})",
       {"A|i1|0|1|1000|0|0|-", "A|i2|1|1|2000|5|0|1706666400", "B|i1|0|0|3000|1|0|77"}, {}, false},
      {"alert with an empty list touches nothing", R"({"method":"Reminder.Alert","data":{"Items":[]}})",
       kSeeded, {}, false},
      {"alert of a quoted id matches it literally", R"({"method":"Reminder.Alert","data":{"Items":["x') or ('1'='1"]}})",
       kSeeded, {}, false},
      {"a trailing space matches no method", R"({"method":"Reminder.Delete ","data":{"CalendarID":"A","ItemID":"i1"}})",
       kSeeded, {}, false},
      {"no data", R"({"method":"Reminder.Clear"})", kSeeded, {}, false},
      {"not a reminder method", R"({"method":"Calendar.Clear","data":{"CalendarID":"A"}})", kSeeded, {}, false},
      {"not JSON", "Reminder.Clear A", kSeeded, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    const int before = view_handler_->notifications;
    TraceCapture trace;
    EXPECT_EQ(form_->ProcessQueryCommand(c.command), -1);
    Texts expected = {"ProcessQueryCommand : " + c.command};
    expected.insert(expected.end(), c.trace.begin(), c.trace.end());
    if (c.rebuilt) {
      const Texts rebuild = EmptyRebuild(Today());
      expected.insert(expected.end(), rebuild.begin(), rebuild.end());
    }
    EXPECT_EQ(trace.Texts(), expected);
    EXPECT_EQ(Rows(), c.rows);
    EXPECT_EQ(view_handler_->notifications - before, c.rebuilt ? 1 : 0);
  }
}

// What the copy-data handler answers and traces around the command.
TEST_F(ProtocolTest, TheHandlerAnswersEachCodeAndReportsFailuresThatEscape) {
  struct Case {
    std::uint64_t code;
    std::string payload;
    std::intptr_t result;
    Texts trace;
  };
  const Case cases[] = {
      {10, "[]", 0,
       {"RECV WMCopyData", "REMINDER COMMAND :10", "ProcessQueryCommand : []",
        "Error!ProcessQueryCommand,Exception:Invalid class typecast", "REMINDER COMMAND :10 RESULT : 0"}},
      {10, R"({"method":"Reminder.Alert","data":{}})", 0,
       {"RECV WMCopyData", "REMINDER COMMAND :10",
        R"(ProcessQueryCommand : {"method":"Reminder.Alert","data":{}})",
        "Error!ProcessQueryCommand,Exception:Value 'Items' not found", "REMINDER COMMAND :10 RESULT : 0"}},
      {10, R"({"method":"Reminder.Alert","data":{"Items":null}})", 0,
       {"RECV WMCopyData", "REMINDER COMMAND :10",
        R"(ProcessQueryCommand : {"method":"Reminder.Alert","data":{"Items":null}})",
        "Error!ProcessQueryCommand,Exception:Invalid class typecast", "REMINDER COMMAND :10 RESULT : 0"}},
      {10, std::string("{}\0", 3), -1,
       {"RECV WMCopyData", "REMINDER COMMAND :10", std::string("ProcessQueryCommand : {}\0", 25),
        "REMINDER COMMAND :10 RESULT : -1"}},
      {11, "anything", 0, {"RECV WMCopyData", "REMINDER COMMAND :11", "REMINDER COMMAND :11 RESULT : 0"}},
      {2, "{}", 0, {"RECV WMCopyData", "REMINDER COMMAND :2", "REMINDER COMMAND :2 RESULT : 0"}},
      {0x1'0000'000A, "{}", -1, {"RECV WMCopyData", "REMINDER COMMAND :10", "ProcessQueryCommand : {}",
                                "REMINDER COMMAND :10 RESULT : -1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    TraceCapture trace;
    EXPECT_EQ(form_->WMCopyData(c.code, c.payload), c.result);
    EXPECT_EQ(trace.Texts(), c.trace);
  }
  EXPECT_EQ(Rows(), kSeeded);
}

// SQL text ends at a zero character. An ItemID holding one (stored from a
// \u0000 escape) is matched all the same, and does not keep the other items
// of the alert from being recorded.
TEST_F(ProtocolTest, AnAlertListingAnItemWithAZeroCharacterRecordsEveryItem) {
  Exec("insert into Reminders values ('C','a'||char(0)||'b',0,1,1000,0,0,NULL)");
  EXPECT_EQ(form_->ProcessQueryCommand(
                R"({"method":"Reminder.Alert","data":{"Items":["i2","a\u0000b"]}})"),
            -1);
  store::DBConnection connection(Store());
  connection.Open();
  store::DBQuery query(connection,
                        "select CalendarID||'|'||hex(ItemID)||'|'||ifnull(LastNotified,'-') "
                        "from Reminders order by 1");
  query.Open();
  std::vector<std::string> rows;
  for (std::size_t r = 0; r < query.RecordCount(); ++r) rows.push_back(query.AsString(r, 0));
  connection.Close();
  EXPECT_EQ(rows, (std::vector<std::string>{"A|6931|-", "A|6932|1706666400", "B|6931|77",
                                            "C|610062|1706666400"}));
}

// The calendar may send a command while the service waits for it to take a
// notification: that command is carried out to its end inside the wait.
TEST_F(ProtocolTest, ACommandSentDuringTheNotificationIsHandledInsideTheWait) {
  const std::string clear = R"({"method":"Reminder.Clear","data":{"CalendarID":"B"}})";
  const std::string remove = R"({"method":"Reminder.Delete","data":{"CalendarID":"A","ItemID":"i1"}})";
  std::intptr_t nested_result = 0;
  view_handler_->on_notify = [&] {
    nested_result = view_loop_->SendCopyData(form_->Handle(), 10, clear).result;
  };
  TraceCapture trace;
  EXPECT_EQ(form_->ProcessQueryCommand(remove), -1);
  EXPECT_EQ(nested_result, -1);
  Texts expected = {"ProcessQueryCommand : " + remove, "Delete CalendarID:A,ItemID:i1 over."};
  Texts rebuild = EmptyRebuild(Today());
  expected.insert(expected.end(), rebuild.begin(), rebuild.end() - 1);
  expected.insert(expected.end(), {"RECV WMCopyData", "REMINDER COMMAND :10",
                                   "ProcessQueryCommand : " + clear,
                                   "REMINDER COMMAND :10 RESULT : -1", "NotifyCalendar over."});
  EXPECT_EQ(trace.Texts(), expected);
  EXPECT_EQ(Rows(), std::vector<std::string>{"A|i2|1|1|2000|5|0|-"});
}

// The window takes messages before start-up has prepared the store: such a
// command or clock change must not reach it.
TEST_F(ProtocolTest, NothingReachesTheStoreBeforeStartUpPreparedIt) {
  TfrmChimewell starting(*loop_, clock_, platform::RealFileSystem(), Launch(), Paths());
  TraceCapture trace;
  const std::string clear = R"({"method":"Reminder.Clear","data":{"CalendarID":"A"}})";
  EXPECT_EQ(starting.ProcessQueryCommand(clear), -1);
  starting.WMTimeChange();
  EXPECT_EQ(trace.Texts(), (Texts{"ProcessQueryCommand : " + clear,
                                  "Error!Store not prepared yet: command refused.",
                                  "Handle Timechanged.", "Error!Store not prepared yet: nothing rebuilt."}));
  EXPECT_EQ(Rows(), kSeeded);
}

// A store damaged while the service runs (its header lost, as a power cut can
// leave it) is repaired by the first command that meets the damage: the
// damaged file is kept, the readable rows are salvaged into a fresh store, the
// command runs on it, and the today files are rebuilt from it.
TEST_F(ProtocolTest, ACommandThatMeetsADamagedStoreRepairsItAndRunsOnTheRepairedOne) {
  const std::string kept = Store() + ".damaged-20240131-100000";
  fs::remove(kept);
  {
    std::fstream file(Store(), std::ios::in | std::ios::out | std::ios::binary);
    file.write(std::string(100, '\0').data(), 100);
  }
  const std::string damaged = testing_support::ReadFile(Store());
  const int before = view_handler_->notifications;
  TraceCapture trace;
  EXPECT_EQ(form_->ProcessQueryCommand(
                R"({"method":"Reminder.Append","data":{"CalendarID":"C","ItemID":"n","Enabled":1}})"),
            -1);
  const Texts traced = trace.Texts();
  EXPECT_EQ(Rows(), (std::vector<std::string>{"A|i1|0|1|1000|0|0|-", "A|i2|1|1|2000|5|0|-",
                                              "B|i1|0|0|3000|1|0|77", "C|n|0|1|0|0|0|-"}));
  EXPECT_EQ(testing_support::ReadFile(kept), damaged);
  const auto has = [&](const std::string& text) {
    return std::find(traced.begin(), traced.end(), text) != traced.end();
  };
  EXPECT_TRUE(has("Error!AccessDB,Exception:file is not a database"));
  EXPECT_TRUE(has("Error!Store damaged [" + Store() + "] : a unit of work met damage"));
  EXPECT_TRUE(has("Error!Damaged store kept as " + kept));
  EXPECT_TRUE(has("Error!Store made again from the template : 3 reminders salvaged; refused: 0 of "
                  "another shape, 0 twice; 0 pages unreadable"));
  ASSERT_FALSE(traced.empty());
  EXPECT_EQ(traced.back(), "NotifyCalendar over.");
  EXPECT_EQ(view_handler_->notifications - before, 1);
}

}  // namespace
}  // namespace chimewell::host
