// Crash safety: the service is killed with SIGKILL at random moments while the
// calendar sends commands that change the store and rebuild the today files.
// After every kill the today files are absent or complete documents, the
// store passes integrity_check, and every command answered -1 before the kill
// is in the store (the one in flight may or may not be).
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "reminder_model.h"
#include "service_rig.h"

namespace chimewell::e2e {
namespace {

using Kind = ModelCommand::Kind;
using Clock = std::chrono::steady_clock;

// Commands that rebuild: appends of new items, updates and deletes of
// existing ones, picked from what the store holds after the earlier ones.
// Timed rows repeat daily and day-level rows yearly from today, so both
// files have content.
std::vector<ModelCommand> MakeBatch(ReminderModel model, std::mt19937& random, int cycle,
                                    std::size_t size) {
  static const char* const kCalendars[] = {"A", "B", "work", "Work"};
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  std::vector<ModelCommand> batch;
  for (std::size_t n = 0; n < size; ++n) {
    ModelCommand command{};
    const auto pick = random() % 10;
    if (model.Empty() || pick < 4) {
      command.kind = Kind::kAppend;
      command.calendar = kCalendars[random() % 4];
      command.item = "k" + std::to_string(cycle) + "_" + std::to_string(n);
      command.row.type = static_cast<int>(random() % 2);
    } else {
      auto it = model.Rows().begin();
      std::advance(it, random() % model.Rows().size());
      command.kind = pick < 7 ? Kind::kUpdate : Kind::kDelete;
      command.calendar = it->first.first;
      command.item = it->first.second;
      command.row.type = it->second.type;
    }
    command.row.enabled = 1;
    command.row.start = command.row.type == 0 ? 1000 + static_cast<std::int64_t>(random() % 86000) : now;
    command.row.repeat = command.row.type == 0 ? 1 : 5;
    model.Apply(command);
    batch.push_back(std::move(command));
  }
  return batch;
}

TEST(CrashSafety, KillNineAtRandomMomentsLosesNoAnsweredCommand) {
  // Sanitized builds run several times slower: fewer kills in the same time.
  const int wanted_kills = kSanitized ? 40 : 200;
  const auto budget = std::chrono::seconds(60);
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  ServiceRig rig;
  ReminderModel model;
  int kills = 0, in_start_up = 0, in_flight_kept = 0, in_flight_lost = 0;
  std::size_t answered_total = 0;
  const auto started = Clock::now();
  while (kills < wanted_kills && Clock::now() - started < budget) {
    const std::vector<ModelCommand> batch = MakeBatch(model, random, kills, 60);
    const int notified_before = rig.Notifications();
    rig.Start();

    std::atomic<bool> stop{false};
    std::atomic<std::size_t> attempted{0}, answered{0};
    std::thread calendar([&] {
      // Commands go out once start-up has notified: earlier ones are refused
      // by design (the store is not prepared yet) and answer -1 all the same.
      while (rig.Notifications() == notified_before) {
        if (stop) return;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      for (const ModelCommand& command : batch) {
        if (stop) return;
        ++attempted;
        const auto result = rig.Send(command.Text());
        if (!result) return;
        EXPECT_EQ(*result, -1);
        ++answered;
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 120'000));
    rig.Kill9();
    stop = true;
    calendar.join();
    ASSERT_EQ(rig.WaitForExit(), 128 + SIGKILL);
    ++kills;
    if (rig.Notifications() == notified_before) ++in_start_up;
    answered_total += answered;

    for (const char* name : {"reminder.json", "daysmatter.json"}) {
      const TodayFileCheck file = CheckTodayFile(rig.TodayDir() + name);
      ASSERT_EQ(file.error, "") << name << " after kill " << kills;
    }
    if (!std::filesystem::exists(rig.Store())) {
      // Killed before the first start made the store: nothing was answered.
      ASSERT_EQ(answered, 0u);
      ASSERT_TRUE(model.Empty());
      continue;
    }
    ASSERT_EQ(rig.IntegrityCheck(), "ok") << "after kill " << kills;
    ReminderModel expected = model;
    for (std::size_t n = 0; n < answered; ++n) expected.Apply(batch[n]);
    const StoreRows rows = rig.Rows();
    if (rows != expected.Render() && attempted > answered) {
      // The command in flight was carried out, only its answer was lost.
      expected.Apply(batch[answered]);
      ++in_flight_kept;
    } else if (attempted > answered) {
      ++in_flight_lost;
    }
    ASSERT_EQ(rows, expected.Render()) << "after kill " << kills << ", " << answered
                                       << " commands answered";
    model = expected;
  }
  EXPECT_GE(kills, wanted_kills) << "the time budget ran out";

  // A clean start after all that serves from the surviving store.
  rig.Start();
  ASSERT_TRUE(rig.WaitUntilServing());
  std::vector<std::string> timed;
  for (const auto& [key, row] : model.Rows()) {
    if (row.type == 0) timed.push_back(key.second);
  }
  const TodayFileCheck reminders = CheckTodayFile(rig.TodayDir() + "reminder.json");
  EXPECT_EQ(reminders.error, "");
  std::vector<std::string> listed = reminders.items;
  std::sort(listed.begin(), listed.end());
  std::sort(timed.begin(), timed.end());
  EXPECT_EQ(listed, timed);
  EXPECT_TRUE(rig.Close());
  EXPECT_EQ(rig.WaitForExit(), 0);

  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::printf("kills %d (%d during start-up) in %.1f s; %zu commands answered; "
              "in flight at the kill: %d carried out, %d not; %zu rows at the end\n",
              kills, in_start_up, seconds, answered_total, in_flight_kept, in_flight_lost,
              model.Rows().size());
  RecordProperty("kills", kills);
  RecordProperty("answered", static_cast<int>(answered_total));
}

}  // namespace
}  // namespace chimewell::e2e
