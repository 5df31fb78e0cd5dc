// Hostile input through the real channel: identifiers that hold SQL text are
// stored and matched literally and never touch another row, payloads of
// 64 MB are answered without the service dying or growing, links planted
// where the service writes are replaced, never written through, and another
// user can not take the bus folder's name first.
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "platform/posix/bus.h"
#include "process_runner.h"
#include "reminder_model.h"
#include "service_rig.h"
#include "testing/temp_folder.h"

namespace chimewell::e2e {
namespace {

using Kind = ModelCommand::Kind;

ModelCommand Make(Kind kind, std::string calendar, std::string item, std::int64_t start = 1000) {
  return ModelCommand{kind, std::move(calendar), std::move(item), {0, 1, start, 1, 0, false}};
}

TEST(HostileInput, IdentifiersHoldingSqlAreStoredAndMatchedLiterally) {
  // Quotes, semicolons, comments, LIKE wildcards, and texts aimed at the one
  // statement built from text: the alert's "ItemID in ('a','b')" list.
  const std::string hostile[] = {
      "x' or '1'='1",
      "'; delete from Reminders; --",
      "a\"; drop table Reminders; --",
      "i1' --",
      "/* comment */ i1",
      "i1;",
      "%",
      "_",
      "Work' or CalendarID like '%",
      "''",
      "\\",
      "i1) or (1=1",
      "i1'),('i2",
      "i1') or ItemID like ('%",
  };
  ServiceRig rig;
  rig.Start();
  ASSERT_TRUE(rig.WaitUntilServing());
  ReminderModel model;
  const auto run = [&](const ModelCommand& command) {
    SCOPED_TRACE(command.Text());
    EXPECT_EQ(rig.Send(command.Text()), -1);
    model.Apply(command);
    ASSERT_EQ(NormalizeAlerts(rig.Rows()), model.Render());
  };
  for (const char* calendar : {"Work", "Home"}) {
    for (const char* item : {"i1", "i2"}) run(Make(Kind::kAppend, calendar, item));
  }
  // Each hostile text as an ItemID and as a CalendarID: appended, updated,
  // alerted; the seeded rows never change.
  for (const std::string& text : hostile) {
    run(Make(Kind::kAppend, "Work", text));
    run(Make(Kind::kAppend, text, "i1"));
    run(Make(Kind::kUpdate, "Work", text, 2000));
    run(Make(Kind::kUpdate, text, "i1", 3000));
    run(Make(Kind::kAlert, "", text));
  }
  // A rebuild lists exactly the rows not alerted today, hostile ItemIDs
  // written and read back byte for byte.
  run(Make(Kind::kUpdate, "Work", "i1"));
  std::vector<std::string> due;
  for (const auto& [key, row] : model.Rows()) {
    if (!row.alerted) due.push_back(key.second);
  }
  TodayFileCheck listed = CheckTodayFile(rig.TodayDir() + "reminder.json");
  EXPECT_EQ(listed.error, "");
  std::sort(due.begin(), due.end());
  std::sort(listed.items.begin(), listed.items.end());
  EXPECT_EQ(listed.items, due);
  // Deletes and clears by hostile text remove exactly their own rows.
  for (const std::string& text : hostile) {
    run(Make(Kind::kDelete, "Work", text));
    run(Make(Kind::kClear, text, ""));
  }
  EXPECT_EQ(rig.Rows(), (StoreRows{"Home|i1|0|1|1000|1|0|-", "Home|i2|0|1|1000|1|0|-",
                                   "Work|i1|0|1|1000|1|0|-", "Work|i2|0|1|1000|1|0|-"}));
  EXPECT_EQ(rig.IntegrityCheck(), "ok");
  EXPECT_TRUE(rig.Close());
  EXPECT_EQ(rig.WaitForExit(), 0);
}

// Another program of the user's plants links at every name the service
// writes before the first start: the template copy, the dumps, the today
// file's replacement and the today file itself. The service puts its own
// files there; no link target changes.
TEST(HostileInput, LinksPlantedWhereTheServiceWritesAreReplaced) {
  namespace fs = std::filesystem;
  ServiceRig rig;
  const std::string data_dir = fs::path(rig.Store()).parent_path().string() + "/";
  const std::string planted[] = {
      data_dir + "reminder.db~",           rig.CacheDir() + "~~reminder.dat",
      rig.CacheDir() + "~~DaysMatter.dat", rig.CacheDir() + "~~Alert.dat",
      rig.TodayDir() + "reminder.json~",   rig.TodayDir() + "reminder.json",
  };
  const std::string victims = rig.Root() + "/victims/";
  fs::create_directories(victims);
  fs::create_directories(data_dir);
  fs::create_directories(rig.TodayDir());
  for (std::size_t i = 0; i < std::size(planted); ++i) {
    std::ofstream(victims + std::to_string(i)) << "victim " << i;
    fs::create_symlink(victims + std::to_string(i), planted[i]);
  }

  rig.Start();
  ASSERT_TRUE(rig.WaitUntilServing());
  // A daily reminder due today (the today file and its replacement), then an
  // alert of another item (the alert's dump).
  ASSERT_EQ(rig.Send(Make(Kind::kAppend, "Work", "i1").Text()), -1);
  ASSERT_EQ(rig.Send(Make(Kind::kAlert, "", "gone").Text()), -1);

  for (std::size_t i = 0; i < std::size(planted); ++i) {
    SCOPED_TRACE(planted[i]);
    EXPECT_EQ(testing_support::ReadFile(victims + std::to_string(i)), "victim " + std::to_string(i));
    EXPECT_FALSE(fs::is_symlink(planted[i]));
  }
  // The service's own files took their places.
  EXPECT_EQ(rig.Rows(), StoreRows{"Work|i1|0|1|1000|1|0|-"});
  EXPECT_FALSE(fs::exists(planted[0])) << "the template copy was moved into place";
  EXPECT_NE(testing_support::ReadFile(planted[1]).find("SELECT"), std::string::npos);
  EXPECT_NE(testing_support::ReadFile(planted[3]).find("'gone'"), std::string::npos);
  EXPECT_FALSE(fs::exists(planted[4])) << "the replacement was moved into place";
  EXPECT_EQ(CheckTodayFile(planted[5]).items, std::vector<std::string>{"i1"});
  EXPECT_TRUE(rig.Close());
  EXPECT_EQ(rig.WaitForExit(), 0);
}

// Without XDG_RUNTIME_DIR the bus falls back to a folder under the user's own
// home, which no other user can make first: a folder of another user, open to
// all, at the old shared fallback name in /tmp changes nothing, and a home so
// deep that the sockets' paths pass sockaddr_un's limit still works. The
// service, the calendar (this test) and chimectl all meet there.
TEST(HostileInput, WithoutARuntimeFolderTheBusIsUnderHomeWhereNoOtherUserCanTakeIt) {
  namespace fs = std::filesystem;
  const std::string old_bus = "/tmp/chimewell-bus-" + std::to_string(::geteuid());
  const bool planted_here = ::mkdir(old_bus.c_str(), 0777) == 0;
  if (planted_here) {
    ::chmod(old_bus.c_str(), 0777);
    if (::geteuid() == 0) {
      EXPECT_EQ(::chown(old_bus.c_str(), 65534, 65534), 0);
    }
  }
  testing_support::TempFolder home_root{"cw-home"};
  const std::string home = home_root.Path() + "/" + std::string(40, 'h') + "/" + std::string(40, 'o');
  fs::create_directories(home);
  {
    ServiceRig rig(home);
    const std::string bus = platform::posix::BusDirectory();
    EXPECT_EQ(bus.rfind(home + "/.cache/chimewell/bus-", 0), 0u) << bus;
    EXPECT_GE(platform::posix::WindowSocketPath(bus, rig.View()).size(), sizeof(sockaddr_un::sun_path));
    rig.Start();
    ASSERT_TRUE(rig.WaitUntilServing());
    EXPECT_EQ(rig.Send(Make(Kind::kAppend, "Work", "i1").Text()), -1);
    const ProcessOutcome chimectl =
        RunProcess({CHIMECTL_PATH, "send", Make(Kind::kAppend, "Work", "i2").Text()}, "",
                   {{"XDG_RUNTIME_DIR", std::nullopt}, {"HOME", home}});
    EXPECT_EQ(chimectl.exit_code, 0) << chimectl.err;
    EXPECT_EQ(chimectl.out, "-1\n");
    EXPECT_EQ(rig.Rows(), (StoreRows{"Work|i1|0|1|1000|1|0|-", "Work|i2|0|1|1000|1|0|-"}));
    for (const std::string& folder : {bus, home + "/.cache/chimewell"}) {
      struct stat info {};
      ASSERT_EQ(::lstat(folder.c_str(), &info), 0) << folder;
      EXPECT_EQ(info.st_mode & 0777, 0700u) << folder;
    }
    EXPECT_TRUE(rig.Close());
    EXPECT_EQ(rig.WaitForExit(), 0);
  }
  if (planted_here) ::rmdir(old_bus.c_str());
}

TEST(HostileInput, SixtyFourMegabytePayloadsAreAnsweredWithoutGrowth) {
  // The sanitizer build (unoptimized, instrumented) is some twenty times
  // slower on these: 2 MB there, enough for its memory checks of the path.
  constexpr std::size_t kSize = (kSanitized ? 2u : 64u) << 20;
  struct Case {
    const char* name;
    std::string payload;
    std::intptr_t result;
  };
  const std::string clear = R"({"method":"Reminder.Clear","data":{"CalendarID":"Gone"}})";
  const std::string alert_head = R"({"method":"Reminder.Alert","data":{"Items":[")";
  const std::string alert_tail = "\"]}}";
  const Case cases[] = {
      // Not JSON, and every byte invalid in the ANSI code page (UTF-8 on
      // POSIX): each becomes U+FFFD, three bytes, the costliest text there is.
      {"invalid bytes only", std::string(kSize, '\xff'), -1},
      // A command followed by megabytes of white space is a command: carried out.
      {"a clear padded with white space", clear + std::string(kSize - clear.size(), ' '), -1},
      // One huge ItemID: the alert statement and its dump are that long.
      {"an alert of one ItemID that long",
       alert_head + std::string(kSize - alert_head.size() - alert_tail.size(), 'i') + alert_tail, -1},
  };
  ServiceRig rig;
  rig.Start();
  ASSERT_TRUE(rig.WaitUntilServing());
  ASSERT_EQ(rig.Send(Make(Kind::kAppend, "Gone", "g").Text()), -1);
  ASSERT_EQ(rig.Send(Make(Kind::kAppend, "Kept", "k").Text()), -1);
  const long rss_before = rig.ResidentKiB();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.Send(c.payload), c.result);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    // The service is still there and serves the next command.
    EXPECT_EQ(rig.Send(Make(Kind::kUpdate, "Kept", "k", 4000).Text()), -1);
    std::printf("%zu MB, %s: answered in %.2f s; RSS %ld KiB after, peak so far %ld KiB\n",
                kSize >> 20, c.name, seconds, rig.ResidentKiB(), rig.PeakResidentKiB());
  }
  EXPECT_EQ(rig.Rows(), StoreRows{"Kept|k|0|1|4000|1|0|-"});
  // The service keeps what it freed for reuse, up to a limit (64 MB with
  // glibc), so RSS is compared at the same point twice: the payload that
  // ended the round, sent again, must not take more.
  const long rss_after_first_round = rig.ResidentKiB();
  const Case& last = cases[std::size(cases) - 1];
  EXPECT_EQ(rig.Send(last.payload), last.result);
  // Answered means handled, not yet released: the next answer means both.
  EXPECT_EQ(rig.Send(Make(Kind::kUpdate, "Kept", "k", 4000).Text()), -1);
  const long rss_after_second_round = rig.ResidentKiB();
  std::printf("RSS %ld KiB before the payloads, %ld KiB after them, %ld KiB after the last again; "
              "peak %ld KiB\n",
              rss_before, rss_after_first_round, rss_after_second_round, rig.PeakResidentKiB());
  if (!kSanitized) {
    EXPECT_LE(rss_after_second_round - rss_after_first_round, 1024) << "KiB of growth";
  }
  EXPECT_TRUE(rig.Close());
  EXPECT_EQ(rig.WaitForExit(), 0);
}

}  // namespace
}  // namespace chimewell::e2e
