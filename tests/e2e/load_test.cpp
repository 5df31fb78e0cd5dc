// Load and soak: 10,000 mixed commands back to back from chimectl. The final
// store equals the model the test keeps, resident memory after 10,000
// commands stays within 1 MB of what it was after 1,000, and no file
// descriptor is left open.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "process_runner.h"
#include "reminder_model.h"
#include "service_rig.h"

namespace chimewell::e2e {
namespace {

using Kind = ModelCommand::Kind;

// Appends, updates, deletes, alerts and the odd clear, over four calendars
// whose rows share ItemIDs (so alerts reach across calendars). The table
// holds some tens of rows, up to a few hundred.
ModelCommand NextCommand(const ReminderModel& model, std::mt19937& random, std::size_t n,
                         std::int64_t now) {
  static const char* const kCalendars[] = {"A", "B", "work", "Work"};
  ModelCommand command{};
  const auto pick = random() % 100;
  command.calendar = kCalendars[random() % 4];
  command.item = "i" + std::to_string(random() % 60);
  if (pick < 1) {
    command.kind = Kind::kClear;
  } else if (pick < 10) {
    command.kind = Kind::kAlert;
  } else if (pick < 50 || model.Empty()) {
    command.kind = Kind::kAppend;
    command.row.type = static_cast<int>(random() % 2);
  } else {
    auto it = model.Rows().begin();
    std::advance(it, random() % model.Rows().size());
    command.calendar = it->first.first;
    command.item = it->first.second;
    command.kind = pick < 75 ? Kind::kUpdate : Kind::kDelete;
    command.row.type = it->second.type;
  }
  command.row.enabled = 1;
  command.row.start = command.row.type == 0 ? 1000 + static_cast<std::int64_t>(n) : now;
  command.row.repeat = command.row.type == 0 ? 1 : 5;
  return command;
}

TEST(Load, TenThousandMixedCommandsKeepTheStoreMemoryAndDescriptorsInStep) {
  // Sanitized builds are slower and keep freed memory in quarantine: fewer
  // commands, and the memory figures are not judged.
  const std::size_t total = kSanitized ? 1'000 : 10'000;
  constexpr std::size_t kBatch = 1'000;  // commands per chimectl send
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();

  ServiceRig rig;
  rig.Start();
  ASSERT_TRUE(rig.WaitUntilServing());
  const std::size_t fds_at_start = rig.OpenFileDescriptors();
  // A sender's last connection may still be open in the service for a moment
  // after its answer (the peer's close is read on the next turn of the loop):
  // look again until the count settles back, for a bounded while.
  const auto settled_fds = [&] {
    std::size_t count = rig.OpenFileDescriptors();
    for (int attempt = 0; attempt < 100 && count != fds_at_start; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      count = rig.OpenFileDescriptors();
    }
    return count;
  };
  ReminderModel model;
  long rss_after_first = 0, rss_after_last = 0;
  std::size_t fds_after_first = 0;
  const auto started = std::chrono::steady_clock::now();
  for (std::size_t sent = 0; sent < total; sent += kBatch) {
    std::vector<std::string> arguments = {CHIMECTL_PATH, "send"};
    for (std::size_t n = sent; n < sent + kBatch; ++n) {
      const ModelCommand command = NextCommand(model, random, n, now);
      model.Apply(command);
      arguments.push_back(command.Text());
    }
    const ProcessOutcome outcome =
        RunProcess(arguments, "", {{"XDG_RUNTIME_DIR", rig.Root()}}, std::chrono::seconds(120));
    ASSERT_EQ(outcome.exit_code, 0) << outcome.err;
    const std::vector<std::string> results = SplitLines(outcome.out);
    ASSERT_EQ(results.size(), kBatch);
    EXPECT_EQ(std::count(results.begin(), results.end(), "-1"), static_cast<long>(kBatch));
    if (sent == 0) {
      rss_after_first = rig.ResidentKiB();
      fds_after_first = settled_fds();
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  rss_after_last = rig.ResidentKiB();
  const std::size_t fds_after_last = settled_fds();

  EXPECT_EQ(NormalizeAlerts(rig.Rows()), model.Render());
  EXPECT_EQ(rig.IntegrityCheck(), "ok");
  // An alert does not rebuild the today files: rebuild once more so that they
  // show the final store. Every timed row repeats daily; those alerted today
  // are not listed.
  const ProcessOutcome rebuild =
      RunProcess({CHIMECTL_PATH, "timechange"}, "", {{"XDG_RUNTIME_DIR", rig.Root()}});
  ASSERT_EQ(rebuild.exit_code, 0) << rebuild.err;
  std::vector<std::string> due;
  for (const auto& [key, row] : model.Rows()) {
    if (row.type == 0 && !row.alerted) due.push_back(key.second);
  }
  TodayFileCheck listed = CheckTodayFile(rig.TodayDir() + "reminder.json");
  EXPECT_EQ(listed.error, "");
  std::sort(due.begin(), due.end());
  std::sort(listed.items.begin(), listed.items.end());
  EXPECT_EQ(listed.items, due);
  EXPECT_EQ(CheckTodayFile(rig.TodayDir() + "daysmatter.json").error, "");

  EXPECT_EQ(fds_after_first, fds_at_start);
  EXPECT_EQ(fds_after_last, fds_at_start);
  if (!kSanitized) {
    EXPECT_LE(rss_after_last - rss_after_first, 1024) << "KiB of growth";
  }
  EXPECT_TRUE(rig.Close());
  EXPECT_EQ(rig.WaitForExit(), 0);

  std::printf("%zu commands in %.1f s (%.0f/s); %zu rows at the end; RSS %ld KiB after %zu, "
              "%ld KiB after %zu; %zu fds throughout\n",
              total, seconds, static_cast<double>(total) / seconds, model.Rows().size(),
              rss_after_first, kBatch, rss_after_last, total, fds_at_start);
  RecordProperty("rss_after_first_kib", static_cast<int>(rss_after_first));
  RecordProperty("rss_after_last_kib", static_cast<int>(rss_after_last));
}

}  // namespace
}  // namespace chimewell::e2e
