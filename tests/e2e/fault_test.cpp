// Faults around a live service: another process holding the store's lock,
// and the store, its folders, the template or the calendar's window going
// away, at start or while the service runs. The service never crashes, ends
// only where it must (always with exit code 0) and loses nothing it answered.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "reminder_model.h"
#include "service_rig.h"

namespace chimewell::e2e {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

std::string Append(const std::string& calendar, const std::string& item) {
  return ModelCommand{ModelCommand::Kind::kAppend, calendar, item, {0, 1, 1000, 1, 0, false}}.Text();
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Another process's connection that holds a lock on the store until Release.
class LockHolder {
 public:
  LockHolder(const std::string& path, const char* begin) {
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    EXPECT_EQ(Exec(begin), SQLITE_OK);
    EXPECT_EQ(Exec("insert into Reminders values ('L','held',0,1,1000,1,0,NULL)"), SQLITE_OK);
  }
  ~LockHolder() { sqlite3_close_v2(db_); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  void Release() { EXPECT_EQ(Exec("COMMIT"), SQLITE_OK); }

 private:
  int Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }
  sqlite3* db_ = nullptr;
};

// While another process holds the store locked, each command fails at once
// (no waiting), is traced and answered; the service goes on, the lock
// holder's own change and everything stored before survive, and commands
// after the lock ends are stored again.
TEST(Faults, AnotherProcessHoldingTheStoreLock) {
  struct Case {
    const char* name;
    const char* begin;  // how the other process takes its lock
    Texts trace;        // after each locked command's "Method:" line
  };
  const Case cases[] = {
      // Writing is refused; reading (the rebuild) still works.
      {"write lock", "BEGIN IMMEDIATE",
       {"Error!Method[Reminder.Append],Exception:database is locked", "NotifyCalendar over."}},
      // Not even a read gets through: the rebuild fails too and notifies nobody.
      {"exclusive lock", "BEGIN EXCLUSIVE",
       {"Error!AccessDB,Exception:database is locked",
        "Error!ReCreateReminderData,Exception:database is locked"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceRig rig;
    rig.Start();
    ASSERT_TRUE(rig.WaitUntilServing());
    ASSERT_EQ(rig.Send(Append("A", "before")), -1);
    {
      LockHolder other(rig.Store(), c.begin);
      for (const char* item : {"locked1", "locked2"}) {
        const auto sent = std::chrono::steady_clock::now();
        EXPECT_EQ(rig.Send(Append("A", item)), -1);
        EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(1)) << "waited for the lock";
        Texts wanted = {"Method:Reminder.Append,CaledndarID:A,ItemID:" + std::string(item)};
        wanted.insert(wanted.end(), c.trace.begin(), c.trace.end());
        wanted.push_back("REMINDER COMMAND :10 RESULT : -1");
        EXPECT_TRUE(HasInOrder(rig.TraceTexts(), wanted)) << ::testing::PrintToString(rig.TraceTexts());
      }
      other.Release();
    }
    ASSERT_EQ(rig.Send(Append("A", "after")), -1);
    EXPECT_EQ(rig.Rows(), (StoreRows{"A|after|0|1|1000|1|0|-", "A|before|0|1|1000|1|0|-",
                                     "L|held|0|1|1000|1|0|-"}));
    EXPECT_TRUE(rig.Close());
    EXPECT_EQ(rig.WaitForExit(), 0);
  }
}

// The file system changes under the service, or was wrong before it started.
TEST(Faults, FoldersStoreTemplateAndCalendarWindowGone) {
  using Step = std::function<void(ServiceRig&)>;
  struct Case {
    const char* name;
    bool earlier_run;     // a run before this one made the store and the today files
    Step before_start;    // done while no service runs
    bool template_found;  // false: the service runs from a folder without templates/
    Step while_running;   // done once the service serves
    Texts commands;
    bool ends_itself;     // the service quits by itself (exit code 0)
    Texts trace;          // in this order; {today} {cache} {store} {root} stand for paths
    Step verify;
  };
  const auto remove = [](std::string (ServiceRig::*path)() const) {
    return [path](ServiceRig& rig) { fs::remove_all((rig.*path)()); };
  };
  const auto today_is_a_file = [](ServiceRig& rig) {
    fs::remove_all(rig.TodayDir());
    fs::create_directories(rig.CacheDir());
    std::ofstream(rig.CacheDir() + "today") << "not a folder";
  };
  const std::string append = Append("A", "n1");
  const std::string alert = R"({"method":"Reminder.Alert","data":{"Items":["n0"]}})";
  const Case cases[] = {
      {"store deleted while running", true, {}, true, remove(&ServiceRig::Store), {append}, false,
       {"Error!AccessDB,Exception:unable to open database file",
        "Error!ReCreateReminderData,Exception:unable to open database file",
        "REMINDER COMMAND :10 RESULT : -1"},
       // Never an empty store in its place; the next start copies the template.
       [](ServiceRig& rig) {
         EXPECT_FALSE(fs::exists(rig.Store()));
         rig.Start();
         ASSERT_TRUE(rig.WaitUntilServing());
         EXPECT_EQ(rig.Send(Append("A", "n2")), -1);
         EXPECT_EQ(rig.Rows(), StoreRows{"A|n2|0|1|1000|1|0|-"});
       }},
      {"cache folder deleted while running", true, {}, true, remove(&ServiceRig::CacheDir),
       {alert, append}, false,
       // The alert is recorded without its dump; the next rebuild makes the folders again.
       {"Error!Method[Reminder.Alert],Exception:Can not create {cache}~~Alert.dat: No such file or directory",
        "REMINDER COMMAND :10 RESULT : -1",
        "ReCreateReminderData make dir {today} ok.", "{today}reminder.json refreshd.",
        "NotifyCalendar over."},
       [](ServiceRig& rig) {
         EXPECT_EQ(NormalizeAlerts(rig.Rows()),
                   (StoreRows{"A|n0|0|1|1000|1|0|*", "A|n1|0|1|1000|1|0|-"}));
         // n0 was alerted today, so it is no longer listed.
         EXPECT_EQ(CheckTodayFile(rig.TodayDir() + "reminder.json").items, Texts{"n1"});
       }},
      {"cache folder deleted before start", true, remove(&ServiceRig::CacheDir), true, {}, {append},
       false, {"ReCreateReminderData make dir {today} ok.", "{today}reminder.json refreshd."},
       [](ServiceRig& rig) {
         EXPECT_EQ(CheckTodayFile(rig.TodayDir() + "reminder.json").items, (Texts{"n0", "n1"}));
       }},
      {"today folder replaced by a file while running", true, {}, true, today_is_a_file, {append},
       true, {"Method:Reminder.Append,CaledndarID:A,ItemID:n1", "Error!Make dir {today} failed."},
       // The command's change is kept.
       [](ServiceRig& rig) {
         EXPECT_EQ(rig.Rows(), (StoreRows{"A|n0|0|1|1000|1|0|-", "A|n1|0|1|1000|1|0|-"}));
       }},
      {"today folder is a file at start", false, today_is_a_file, true, {}, {}, true,
       {"PrepareDB OK.", "Error!Make dir {today} failed.", "Start tmrDay after {n}"},
       [](ServiceRig& rig) { EXPECT_EQ(rig.IntegrityCheck(), "ok"); }},
      {"template missing at the first start", false, {}, false, {}, {}, true,
       {"Init Start.", "Error!Not found {root}/bin/templates/base.db", "Error!PrepareDB failed."},
       // No store and no cache: the user's data folder holds only what
       // guards against a second service of the user.
       [](ServiceRig& rig) {
         EXPECT_FALSE(fs::exists(rig.Store()));
         EXPECT_FALSE(fs::exists(rig.Root() + "/Documents/Pelicorda/Calendar/Cache"));
       }},
      {"template missing once the store exists", true, {}, false, {}, {append}, false,
       {"PrpareDB [{store}] : True", "Method:Reminder.Append,CaledndarID:A,ItemID:n1",
        "NotifyCalendar over."},
       [](ServiceRig& rig) {
         EXPECT_EQ(rig.Rows(), (StoreRows{"A|n0|0|1|1000|1|0|-", "A|n1|0|1|1000|1|0|-"}));
       }},
      {"calendar window gone while running", true, {}, true, [](ServiceRig& rig) { rig.CloseView(); },
       {append}, false,
       // The files are still rebuilt; only the notification is dropped.
       {"Method:Reminder.Append,CaledndarID:A,ItemID:n1", "{today}reminder.json refreshd.",
        "Error!NotifyCalendar failed.", "REMINDER COMMAND :10 RESULT : -1"},
       [](ServiceRig& rig) {
         EXPECT_EQ(CheckTodayFile(rig.TodayDir() + "reminder.json").items, (Texts{"n0", "n1"}));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceRig rig;
    if (c.earlier_run) {
      rig.Start();
      ASSERT_TRUE(rig.WaitUntilServing());
      ASSERT_EQ(rig.Send(Append("A", "n0")), -1);
      ASSERT_TRUE(rig.Close());
      ASSERT_EQ(rig.WaitForExit(), 0);
    }
    if (c.before_start) c.before_start(rig);
    std::string executable;
    if (!c.template_found) {
      fs::create_directories(rig.Root() + "/bin");
      executable = rig.Root() + "/bin/chimewell";
      fs::copy_file(CHIMEWELL_PATH, executable);
    }
    rig.Start(std::nullopt, executable);
    if (c.ends_itself && c.commands.empty() && !c.while_running) {
      EXPECT_EQ(rig.WaitForExit(), 0);
    } else {
      ASSERT_TRUE(rig.WaitUntilServing());
      if (c.while_running) c.while_running(rig);
      for (const std::string& command : c.commands) EXPECT_EQ(rig.Send(command), -1);
      if (!c.ends_itself) {
        EXPECT_TRUE(rig.Close());
      }
      EXPECT_EQ(rig.WaitForExit(), 0);
    }
    Texts wanted;
    for (const std::string& text : c.trace) {
      wanted.push_back(Replace(Replace(Replace(Replace(text, "{today}", rig.TodayDir()), "{cache}",
                                               rig.CacheDir()),
                                       "{store}", rig.Store()),
                               "{root}", rig.Root()));
    }
    Texts traced = rig.TraceTexts();
    for (std::string& text : traced) {
      // "Start tmrDay after 12345" -> "... {n}"
      if (text.rfind("Start tmrDay after ", 0) == 0) text = "Start tmrDay after {n}";
    }
    EXPECT_TRUE(HasInOrder(traced, wanted)) << ::testing::PrintToString(traced);
    if (c.verify) c.verify(rig);
  }
}

}  // namespace
}  // namespace chimewell::e2e
