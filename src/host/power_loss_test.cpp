// Power loss: the service runs a script of commands on a disk that logs every
// change (SQLite's through PowerCutVfs, the today files' through
// PowerCutFileSystem); each trial then cuts the power at some point of that
// log with some subset of the changes before it on the disk, and starts the
// service again on what is left, as a start after the power came back.
//
// The store runs with synchronous Off, so nothing of SQLite's is ever forced
// to the disk: what a start must do is open an integral store, notice and
// repair damage (keeping the damaged file), never show a row that was never
// written, and lose nothing the disk kept. The today files are synced before
// their move, so the calendar never meets a torn one.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <future>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <sqlite3.h>
#include <gtest/gtest.h>

#include "channel/json.h"
#include "host/service.h"
#include "platform/process.h"
#include "testing/fixed_clock.h"
#include "testing/power_cut_disk.h"
#include "testing/trace_capture.h"

namespace chimewell::host {
namespace {

using testing_support::DiskChange;
using testing_support::DiskImage;
using testing_support::PowerCutDisk;
using testing_support::TempFolder;
using testing_support::TraceCapture;
using Rows = std::set<std::string>;

class ViewWindow : public platform::WindowHandler {
 public:
  std::atomic<int> notifications{0};
  std::intptr_t OnCopyData(std::uint64_t, std::string_view) override {
    ++notifications;
    return 0;
  }
};

// The rows of a store and whether it is integral, read by a connection of
// the test's own (which rolls a hot journal back first, as any open does).
struct StoreLook {
  bool integral = false;
  std::string finding;
  Rows rows;
};

StoreLook LookAtStore(const std::string& path) {
  StoreLook look;
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close_v2);
  if (opened != SQLITE_OK) {
    look.finding = sqlite3_errstr(opened);
    return look;
  }
  const auto run = [&](const char* sql, const std::function<void(sqlite3_stmt*)>& row) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db.get(), sql, -1, &statement, nullptr) != SQLITE_OK) {
      look.finding = sqlite3_errmsg(db.get());
      return false;
    }
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owned(statement, sqlite3_finalize);
    int result;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW) row(statement);
    if (result != SQLITE_DONE) look.finding = sqlite3_errmsg(db.get());
    return result == SQLITE_DONE;
  };
  std::string check;
  run("PRAGMA synchronous = Off", [](sqlite3_stmt*) {});
  if (!run("PRAGMA integrity_check", [&](sqlite3_stmt* s) {
        check += reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      })) {
    return look;
  }
  if (check != "ok") {
    look.finding = check;
    return look;
  }
  look.integral = run(
      "select CalendarID||'|'||ItemID||'|'||ifnull(ReminderType,'-')||'|'||ifnull(Enabled,'-')||'|'||"
      "ifnull(StartTime,'-')||'|'||ifnull(Repeat,'-')||'|'||ifnull(RepeatEnd,'-')||'|'||"
      "ifnull(LastNotified,'-') from Reminders",
      [&](sqlite3_stmt* s) { look.rows.insert(reinterpret_cast<const char*>(sqlite3_column_text(s, 0))); });
  return look;
}

// What one start after a cut gave.
struct StartOutcome {
  bool started = false;
  bool notified = false;
  bool repair_traced = false;
  std::string kept_copy;             // named by the trace
  std::optional<std::string> kept;   // its content
  StoreLook store;                   // after the start
  std::vector<std::string> trace;
  StoreLook before;                  // what any open finds on the disk the cut left
};

bool StartsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The real file system without syncs, for the starts after a cut: they are
// never cut themselves, and a sync per start would make the loop crawl.
class UnsyncedFileSystem final : public platform::FileSystemWrapper {
 public:
  UnsyncedFileSystem() : FileSystemWrapper(platform::RealFileSystem()) {}
  void SyncFile(const std::string&) override {}
};

class PowerLoss : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Every trial writes the folder anew and looks at a copy of the store: on
    // a memory file system, where there is one, the loop takes seconds, not
    // minutes. The cuts themselves are the log's, whatever holds the files.
    std::error_code no_shm;
    if (std::filesystem::is_directory("/dev/shm", no_shm)) ::setenv("TMPDIR", "/dev/shm", 1);
    runtime_ = std::make_unique<TempFolder>("cw-pl");
    documents_ = std::make_unique<TempFolder>("cw-pl-docs");
    ::setenv("XDG_RUNTIME_DIR", runtime_->Path().c_str(), 1);
    ::setenv("TZ", "UTC", 1);
    view_thread_ = std::make_unique<std::thread>([] {
      auto loop = platform::CreateMessageLoop();
      auto window = loop->CreateHiddenWindow("ViewWnd", "view", view_);
      view_handle_.set_value(window->Handle());
      loop->Run();
    });
    view_window_ = view_handle_.get_future().get();
    loop_ = platform::CreateMessageLoop();
    disk_ = std::make_unique<PowerCutDisk>(documents_->Path());
    vfs_ = std::make_unique<testing_support::PowerCutVfs>(*disk_);
    RecordTheScript();
  }
  static void TearDownTestSuite() {
    vfs_.reset();
    loop_->SendClose(view_window_);
    view_thread_->join();
    loop_.reset();
    documents_.reset();
    runtime_.reset();
  }

  static std::string Store() { return documents_->Path() + "/Pelicorda/Calendar/Data/users/u1/reminder.db"; }
  static std::string Journal() { return Store() + "-journal"; }
  static std::string TodayFile(const char* name) {
    return documents_->Path() + "/Pelicorda/Calendar/Cache/users/u1/today/" + name;
  }

  // Runs the service's start-up (PrepareDB and the first rebuild) on what the
  // folder holds, with `files` as its file seam; `notified` says whether the
  // calendar heard of the rebuild.
  static std::unique_ptr<TfrmChimewell> Start(platform::FileSystem& files, bool& notified) {
    const int before = view_.notifications;
    auto form = std::make_unique<TfrmChimewell>(
        *loop_, clock_, files, LaunchValues{"u1", view_window_},
        StoragePathsOf(documents_->Path(), platform::ExecutablePath(), "u1"));
    auto poll = loop_->CreateTimer([&] {
      if (view_.notifications != before) loop_->Quit();
    });
    poll->SetInterval(1);
    poll->SetEnabled(true);
    auto deadline = loop_->CreateTimer([] { loop_->Quit(); });
    deadline->SetInterval(5000);
    deadline->SetEnabled(true);
    loop_->Run();
    notified = view_.notifications != before;
    return form;
  }

  static std::string Command(const std::string& method, const std::string& data) {
    return R"({"method":")" + method + R"(","data":{)" + data + "}}";
  }
  static std::string Item(int calendar, int n) {
    return "item-" + std::to_string(calendar) + "-" + std::to_string(n) + "-" + std::string(30, 'x');
  }

  // Seeds the store (150 reminders in three calendars, a few pages of table
  // and index), then runs the script on the logging disk, keeping the rows
  // after each command.
  static void RecordTheScript() {
    const std::int64_t now = std::time(nullptr);
    bool notified = false;
    {
      const auto form = Start(platform::RealFileSystem(), notified);
      ASSERT_TRUE(notified);
      for (int calendar = 0; calendar < 3; ++calendar) {
        for (int n = 0; n < 50; ++n) {
          // Daily timed ones and day-level ones of today: both today files have content.
          form->ProcessQueryCommand(Command(
              "Reminder.Append", R"("CalendarID":"cal)" + std::to_string(calendar) + R"(","ItemID":")" +
                                     Item(calendar, n) + R"(","ReminderType":)" + std::to_string(n % 2) +
                                     R"(,"Enabled":1,"StartTime":)" + std::to_string(now - 3600 + n) +
                                     R"(,"Repeat":)" + (n % 2 == 0 ? "1" : "0") + R"(,"RepeatEnd":0)"));
        }
      }
    }
    const std::vector<std::string> script = {
        Command("Reminder.Append", R"("CalendarID":"cal9","ItemID":"new-1","Enabled":1,"StartTime":)" +
                                       std::to_string(now) + R"(,"Repeat":1)"),
        Command("Reminder.Update", R"("CalendarID":"cal0","ItemID":")" + Item(0, 4) +
                                       R"(","Enabled":0,"StartTime":5,"Repeat":0,"RepeatEnd":0)"),
        Command("Reminder.Delete", R"("CalendarID":"cal1","ItemID":")" + Item(1, 10) + R"(")"),
        Command("Reminder.Alert", R"("Items":[")" + Item(0, 2) + R"(",")" + Item(2, 8) + R"(","new-1"])"),
        Command("Reminder.Clear", R"("CalendarID":"cal1")"),
        Command("Reminder.Append", R"("CalendarID":"cal1","ItemID":")" + Item(1, 10) +
                                       R"(","ReminderType":1,"Enabled":1,"StartTime":)" + std::to_string(now) +
                                       R"(,"Repeat":0)"),
        Command("Reminder.Update", R"("CalendarID":"cal2","ItemID":")" + Item(2, 20) +
                                       R"(","Enabled":1,"StartTime":)" + std::to_string(now) + R"(,"Repeat":1)"),
        Command("Reminder.Delete", R"("CalendarID":"cal0","ItemID":")" + Item(0, 0) + R"(")"),
    };
    models_.push_back(LookAtStore(Store()).rows);
    disk_->Start();
    {
      testing_support::PowerCutFileSystem files(*disk_);
      const auto form = Start(files, notified);
      ASSERT_TRUE(notified);
      boundaries_.push_back(disk_->Changes().size());
      for (const std::string& command : script) {
        form->ProcessQueryCommand(command);
        boundaries_.push_back(disk_->Changes().size());
        models_.push_back(LookAtStore(Store()).rows);
      }
    }
    disk_->Stop();
    for (const Rows& rows : models_) written_rows_.insert(rows.begin(), rows.end());
    for (const auto& [path, content] : disk_->Durable()) today_versions_.insert(content);
    for (const DiskChange& change : disk_->Changes()) {
      if (change.kind == DiskChange::Kind::kWrite && !change.store) today_versions_.insert(change.bytes);
    }
  }

  // The start after a cut, on `image`; outcomes of a store and journal seen
  // before are taken from the cache (the start depends on nothing else).
  const StartOutcome& StartOn(const DiskImage& image) {
    const auto content = [&](const std::string& path) {
      const auto found = image.find(path);
      return found == image.end() ? std::string("(absent)") : found->second;
    };
    const std::string key = content(Store()) + '\0' + content(Journal());
    const std::size_t hash = std::hash<std::string>{}(key);
    const auto cached = outcomes_.find(hash);
    if (cached != outcomes_.end()) return cached->second;
    StartOutcome outcome;
    outcome.before = LookAtImage(image);
    disk_->Restore(image);
    {
      TraceCapture capture;
      UnsyncedFileSystem files;
      Start(files, outcome.notified).reset();
      outcome.trace = capture.Texts();
    }
    for (const std::string& line : outcome.trace) {
      if (line == "PrepareDB OK.") outcome.started = true;
      if (StartsWith(line, "Error!Store damaged")) outcome.repair_traced = true;
      if (StartsWith(line, "Error!Damaged store kept as ")) {
        outcome.kept_copy = line.substr(std::string("Error!Damaged store kept as ").size());
        outcome.kept = testing_support::ReadFileIfPresent(outcome.kept_copy);
      }
    }
    outcome.store = LookAtStore(Store());
    ++starts_;
    return outcomes_.emplace(hash, std::move(outcome)).first->second;
  }

  // The store and journal of `image` alone, in a folder of their own: what
  // any open of them finds.
  static StoreLook LookAtImage(const DiskImage& image) {
    TempFolder scratch("cw-pl-look");
    DiskImage alone;
    for (const std::string& path : {Store(), Journal()}) {
      const auto found = image.find(path);
      if (found != image.end()) alone[scratch.Path() + path.substr(path.rfind('/'))] = found->second;
    }
    PowerCutDisk(scratch.Path()).Restore(alone);
    return LookAtStore(scratch / "reminder.db");
  }

  // The commands answered before `cut`: the rows then.
  std::size_t CommittedBefore(std::size_t cut) const {
    std::size_t done = 0;
    while (done + 1 < boundaries_.size() && boundaries_[done + 1] <= cut) ++done;
    return done;
  }

  // Figures over every trial of a test.
  struct Figures {
    int starts_before = starts_;  // starts of earlier tests
    int trials = 0;
    int damaged = 0;
    int journal_left = 0;
    int today_old_or_absent = 0;
    int today_new = 0;
    double rows_kept_share = 0;  // of the rows of the commands answered before the cut
  };

  // One trial: every check that holds after any cut. `what` names it in
  // failures. The rows after the start.
  Rows Trial(std::size_t cut, const std::vector<bool>& kept, const std::string& what, Figures& figures) {
    const DiskImage image = disk_->ImageAfterCut(cut, kept);
    ++figures.trials;
    if (image.count(Journal()) != 0) ++figures.journal_left;
    // What the calendar reads before the service is back: whole documents only.
    for (const char* name : {"reminder.json", "daysmatter.json"}) {
      const auto found = image.find(TodayFile(name));
      if (found == image.end()) continue;
      EXPECT_TRUE(today_versions_.count(found->second) != 0 && channel::ParseJsonObject(found->second))
          << what << ": torn " << name << ": " << found->second.substr(0, 200);
      const auto old = disk_->Durable().find(TodayFile(name));
      (old != disk_->Durable().end() && old->second == found->second ? figures.today_old_or_absent
                                                                     : figures.today_new)++;
    }
    const StartOutcome& start = StartOn(image);
    const StoreLook& before = start.before;
    EXPECT_TRUE(start.started && start.notified) << what << ": no start\n" << Joined(start.trace);
    EXPECT_TRUE(start.store.integral) << what << ": " << start.store.finding << "\n" << Joined(start.trace);
    for (const std::string& row : start.store.rows) {
      EXPECT_TRUE(written_rows_.count(row) != 0) << what << ": a row never written: " << row;
    }
    if (before.integral) {
      // Nothing to repair: the start keeps every row the disk kept.
      EXPECT_FALSE(start.repair_traced) << what << "\n" << Joined(start.trace);
      EXPECT_EQ(start.store.rows, before.rows) << what;
    } else {
      ++figures.damaged;
      EXPECT_TRUE(start.repair_traced) << what << ": damage (" << before.finding << ") not noticed\n"
                                       << Joined(start.trace);
      EXPECT_TRUE(start.kept && !start.kept->empty()) << what << ": no damaged copy " << start.kept_copy;
    }
    const Rows& answered = models_[CommittedBefore(cut)];
    std::size_t kept_rows = 0;
    for (const std::string& row : start.store.rows) kept_rows += answered.count(row);
    figures.rows_kept_share += answered.empty() ? 1.0 : double(kept_rows) / double(answered.size());
    return start.store.rows;
  }

  static std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
  }

  void Report(const std::string& name, const Figures& figures) {
    char line[400];
    std::snprintf(line, sizeof line,
                  "%s: %d trials (%d cut disks told apart by store and journal, each started once), %d "
                  "on a damaged store (repaired), %d with a journal left; rows of the commands answered "
                  "before the cut kept on average %.1f%%; today files found as before the script %d, "
                  "as a newer whole document %d, torn 0",
                  name.c_str(), figures.trials, starts_ - figures.starts_before, figures.damaged, figures.journal_left,
                  figures.trials ? 100.0 * figures.rows_kept_share / figures.trials : 0.0,
                  figures.today_old_or_absent, figures.today_new);
    std::printf("%s\n", line);
    RecordProperty("figures", line);
  }

  std::size_t Changes() const { return disk_->Changes().size(); }

  static inline std::unique_ptr<TempFolder> runtime_;
  static inline std::unique_ptr<TempFolder> documents_;
  static inline ViewWindow view_;
  static inline std::unique_ptr<std::thread> view_thread_;
  static inline std::promise<platform::WindowHandle> view_handle_;
  static inline platform::WindowHandle view_window_ = 0;
  static inline std::unique_ptr<platform::MessageLoop> loop_;
  static inline testing_support::FixedClock clock_;
  static inline std::unique_ptr<PowerCutDisk> disk_;
  static inline std::unique_ptr<testing_support::PowerCutVfs> vfs_;
  // The rows after start-up and after each command; where each command's changes end in the log.
  static inline std::vector<Rows> models_;
  static inline std::vector<std::size_t> boundaries_;
  static inline Rows written_rows_;
  static inline std::set<std::string> today_versions_;
  static inline std::map<std::size_t, StartOutcome> outcomes_;
  static inline int starts_ = 0;
};


// A disk that writes in order: a cut at any change of the log. The journal
// is on the disk before the store's pages, so the start finds the store as
// it was before or after the command in flight, never damaged.
TEST_F(PowerLoss, ACutOnADiskThatWritesInOrderLosesAtMostTheCommandInFlight) {
  Figures figures;
  for (std::size_t cut = 0; cut <= Changes(); ++cut) {
    const std::string what = "in-order cut at change " + std::to_string(cut);
    const Rows after = Trial(cut, std::vector<bool>(cut, true), what, figures);
    const std::size_t done = CommittedBefore(cut);
    EXPECT_TRUE(after == models_[done] || (done + 1 < models_.size() && after == models_[done + 1])) << what;
  }
  EXPECT_EQ(figures.damaged, 0);
  Report("in order", figures);
}

// Any subset of the changes before any cut, drawn at random (seeded, so a
// failure replays): pages of one transaction half on the disk, a journal
// deleted or brought back, a today file's move lost.
TEST_F(PowerLoss, AnySubsetOfTheUnsyncedChangesLeavesAStoreThatStartsIntegralWithWrittenRowsOnly) {
  std::mt19937_64 random(20261211);
  Figures figures;
  for (int trial = 0; trial < 600; ++trial) {
    const std::size_t cut = std::uniform_int_distribution<std::size_t>(0, Changes())(random);
    std::bernoulli_distribution keep(std::uniform_real_distribution<double>(0.0, 1.0)(random));
    std::vector<bool> kept(cut);
    for (std::size_t i = 0; i < cut; ++i) kept[i] = keep(random);
    Trial(cut, kept, "random trial " + std::to_string(trial) + " (cut " + std::to_string(cut) + ")", figures);
    if (HasFailure()) return;
  }
  Report("random subsets", figures);
}

// Every subset, for the command with the most store changes that can all be
// tried (everything before it on the disk), and for the today-file changes
// of its rebuild.
TEST_F(PowerLoss, EverySubsetOfOneCommandsChanges) {
  std::size_t command = 0;
  std::size_t most = 0;
  constexpr std::size_t kMostVaried = 13;
  const auto store_changes = [&](std::size_t c, bool store) {
    std::vector<std::size_t> found;
    for (std::size_t i = boundaries_[c]; i < boundaries_[c + 1]; ++i) {
      const DiskChange& change = disk_->Changes()[i];
      if (change.store == store && change.kind != DiskChange::Kind::kSync) found.push_back(i);
    }
    return found;
  };
  for (std::size_t c = 0; c + 1 < boundaries_.size(); ++c) {
    const std::size_t count = store_changes(c, true).size();
    if (count <= kMostVaried && count > most) most = count, command = c;
  }
  Figures figures;
  for (const bool store : {true, false}) {
    const std::vector<std::size_t> varied = store_changes(command, store);
    ASSERT_LE(varied.size(), kMostVaried) << "too many changes to try every subset";
    const std::size_t cut = boundaries_[command + 1];
    for (std::uint32_t subset = 0; subset < (1u << varied.size()); ++subset) {
      std::vector<bool> kept(cut, true);
      for (std::size_t bit = 0; bit < varied.size(); ++bit) kept[varied[bit]] = (subset >> bit & 1) != 0;
      Trial(cut, kept,
            std::string(store ? "store" : "today-file") + " subset " + std::to_string(subset) + " of command " +
                std::to_string(command),
            figures);
      if (HasFailure()) return;
    }
  }
  Report("every subset of the " + std::to_string(most) + " store changes of command " +
             std::to_string(command + 1) + " of the script, then of its today-file changes",
         figures);
}

}  // namespace
}  // namespace chimewell::host
