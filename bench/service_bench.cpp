// chimewell_bench: the service's costs beside their floor, measured in the
// same run so that every figure is a ratio that survives a noisy machine.
//
// For each store size the bench seeds a fresh store, launches the service,
// and then, round after round, times a command at the service and the same
// work at the floor: (a) the transport alone, a copy-data round trip with a
// nested reply to a minimal window in another process ("chimewell_bench
// --peer"); (b) the store work alone (StoreFloor), on a copy of the same store.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/code_page.h"
#include "platform/documents.h"
#include "platform/files.h"
#include "platform/message_loop.h"
#include "platform/process.h"
#include "service_bench.h"
#include "session.h"
#include "store_floor.h"

namespace chimewell::bench {
namespace {

// The pieces it shares with chimectl: finding windows, printing, the command line.
using chimectl::DefaultServiceExecutable;
using chimectl::FindServiceWindow;
using chimectl::kExitOk;
using chimectl::kViewClass;
using chimectl::ParseInteger;
using chimectl::PrintLine;
using chimectl::UsageError;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kPeerClass[] = "ChimectlBenchPeer";
constexpr char kRefreshedText[] = R"({"method":"ToayReminderDataRefreshed"})";
constexpr std::uint64_t kQueryCode = 10;
constexpr std::uint64_t kNotifyCode = 2;
// The peer answers this code without a nested notification, as the service
// answers an Alert.
constexpr std::uint64_t kPlainCode = 1;

double Milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

// --- the transport floor's peer ------------------------------------------------

// A minimal window that answers as the service does: copies the payload,
// notifies the view window inside the send and answers -1.
class PeerWindow final : public platform::WindowHandler {
 public:
  PeerWindow(platform::MessageLoop& loop, platform::WindowHandle view) : loop_(loop), view_(view) {}
  std::intptr_t OnCopyData(std::uint64_t code, std::string_view payload) override {
    const std::string copy(payload);  // the payload lives only during the call
    static_cast<void>(copy);
    if (code != kPlainCode) Notify();
    return -1;
  }
  void OnTimeChange() override { Notify(); }

 private:
  void Notify() { loop_.SendCopyData(view_, kNotifyCode, platform::Utf8ToAnsi(kRefreshedText)); }
  platform::MessageLoop& loop_;
  platform::WindowHandle view_;
};

int RunPeer(platform::WindowHandle view) {
  auto loop = platform::CreateMessageLoop();
  PeerWindow peer(*loop, view);
  auto window = loop->CreateHiddenWindow(kPeerClass, "bench peer", peer);
  // Ends with the bench: its view window going away is the signal.
  auto watch = loop->CreateTimer([&] {
    if (!platform::IsWindow(view)) loop->Quit();
  });
  watch->SetInterval(1000);
  watch->SetEnabled(true);
  loop->Run();
  return kExitOk;
}

// --- statistics ----------------------------------------------------------------

class Samples {
 public:
  void Add(double ms) { values_.push_back(ms); }
  std::size_t Count() const { return values_.size(); }
  double Median() const { return Quantile(0.5); }
  // Nearest rank: with fewer than 100 samples this is the largest.
  double P99() const { return Quantile(0.99); }

 private:
  double Quantile(double q) const {
    if (values_.empty()) return 0;
    std::vector<double> sorted = values_;
    std::sort(sorted.begin(), sorted.end());
    if (q == 0.5 && sorted.size() % 2 == 0) {
      return (sorted[sorted.size() / 2 - 1] + sorted[sorted.size() / 2]) / 2;
    }
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::max<std::size_t>(rank, 1) - 1];
  }
  std::vector<double> values_;
};

// One measured operation: the service's time and its floor's, per round.
struct Pair {
  Samples service;
  Samples floor;
  // Each round's service / floor: the two were measured moments apart, so a
  // slow spell of the machine touches both sides of most of these.
  Samples round_ratios;
  void Add(double service_ms, double floor_ms) {
    service.Add(service_ms);
    floor.Add(floor_ms);
    round_ratios.Add(floor_ms > 0 ? service_ms / floor_ms : 0);
  }
  double Ratio() const { return floor.Median() > 0 ? service.Median() / floor.Median() : 0; }
};

struct SizeResult {
  std::size_t size = 0;
  std::size_t rounds = 0;
  bench::TodayCounts due;
  Pair update, append_delete, alert, rebuild;
  // The floor's parts.
  Samples transport, transport_plain, store_unit, store_rebuild;
  // The store rebuild as the service must make it: two units of work.
  Samples store_rebuild_two_units;
  double launch_ms = 0;
  std::optional<std::uint64_t> peak_bytes;
  bool files_equal = false;
};

// --- the bench's own window ------------------------------------------------------

// The calendar's view window: counts notifications; while a launch is
// awaited, the first one ends the loop.
class BenchView final : public platform::WindowHandler {
 public:
  explicit BenchView(platform::MessageLoop& loop) : loop_(loop) {}
  std::intptr_t OnCopyData(std::uint64_t code, std::string_view) override {
    if (code == kNotifyCode) {
      ++notifications_;
      if (awaiting_first_) {
        first_ = Clock::now();
        awaiting_first_ = false;
        loop_.Quit();
      }
    }
    return 0;
  }
  void AwaitFirst() {
    awaiting_first_ = true;
    first_.reset();
  }
  std::optional<Clock::time_point> First() const { return first_; }
  int Notifications() const { return notifications_; }

 private:
  platform::MessageLoop& loop_;
  int notifications_ = 0;
  bool awaiting_first_ = false;
  std::optional<Clock::time_point> first_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string UpdateCommand(const char* method, const Reminder& r) {
  return std::string(R"({"method":")") + method + R"(","data":{"CalendarID":")" + r.calendar +
         R"(","ItemID":")" + r.item + R"(","ReminderType":)" + std::to_string(r.type) +
         R"(,"Enabled":)" + std::to_string(r.enabled) + R"(,"StartTime":)" + std::to_string(r.start) +
         R"(,"Repeat":)" + std::to_string(r.repeat) + R"(,"RepeatEnd":)" + std::to_string(r.repeat_end) +
         "}}";
}

std::string DeleteCommand(const Reminder& r) {
  return R"({"method":"Reminder.Delete","data":{"CalendarID":")" + r.calendar + R"(","ItemID":")" +
         r.item + R"("}})";
}

std::string AlertCommand(const Reminder& r) {
  return R"({"method":"Reminder.Alert","data":{"CalendarID":")" + r.calendar + R"(","Items":[")" +
         r.item + R"("]}})";
}

template <typename F>
double Time(F&& work) {
  const auto start = Clock::now();
  work();
  return Milliseconds(Clock::now() - start);
}

struct BenchOptions {
  std::vector<std::size_t> sizes;
  std::optional<std::size_t> rounds;
  std::size_t warmup = 5;
  std::string exe;
  std::vector<std::string> launcher;
  std::uint64_t seed = 7;
  bool keep = false;
  // Quiet time before each measured operation, see Pause().
  std::chrono::milliseconds pause{20};
};

// Rounds by default: enough for a p99 where a round is cheap, fewer at
// 100,000 reminders where one round takes about a second.
std::size_t DefaultRounds(std::size_t size) {
  return std::clamp<std::size_t>(4'000'000 / std::max<std::size_t>(size, 1), 40, 200);
}

class BenchRun {
 public:
  explicit BenchRun(BenchOptions options) : options_(std::move(options)), loop_(platform::CreateMessageLoop()), view_(*loop_) {
    view_window_ = loop_->CreateHiddenWindow(kViewClass, "bench view", view_);
    peer_process_ = platform::LaunchProcess(platform::ExecutablePath(),
                                            {"--peer", std::to_string(view_window_->Handle())});
    const auto peer = FindServiceWindow(std::chrono::seconds(10), kPeerClass);
    if (!peer) throw std::runtime_error("the bench peer window did not appear");
    peer_ = *peer;
    documents_ = platform::DocumentsFolder();
    if (documents_.empty()) throw std::runtime_error("no Documents folder");
  }
  // Also after a failed measurement: no service or peer is left running and,
  // unless kept, no bench user's folders are left behind.
  ~BenchRun() {
    EndSize();
    if (peer_ != 0) loop_->SendClose(peer_);
    if (peer_process_ && !peer_process_->WaitForExit(std::chrono::seconds(5))) peer_process_->RequestTermination();
  }
  BenchRun(const BenchRun&) = delete;
  BenchRun& operator=(const BenchRun&) = delete;

  SizeResult Measure(std::size_t size);

 private:
  struct Paths {
    std::string user, data_dir, cache_dir, store, floor_store, floor_today, floor_today_2;
  };
  Paths PathsFor(std::size_t size) const;
  void Launch(const Paths& paths, SizeResult& result);
  // Closes the service of the size (terminating it if it does not exit) and
  // removes the size's folders unless they are kept; false when the service
  // had to be terminated.
  bool EndSize() noexcept;
  void Round(SizeResult* result);

  // Sends and checks the answer and the number of notifications that came
  // inside the send; returns the milliseconds the send took.
  double Send(platform::WindowHandle target, std::uint64_t code, const std::string& text, int notifications,
              const char* what);
  double SendTimeChange(platform::WindowHandle target, const char* what);
  // Each measured operation starts from quiet, as a command from a person
  // does: replacing a today file waits until the disk has the file's last
  // version (the old file cannot be let go before), so an operation that
  // came a few milliseconds after another would also pay for that one's
  // write, more or less by chance.
  void Pause() const { std::this_thread::sleep_for(options_.pause); }

  BenchOptions options_;
  std::unique_ptr<platform::MessageLoop> loop_;
  BenchView view_;
  std::unique_ptr<platform::Window> view_window_;
  std::unique_ptr<platform::ChildProcess> peer_process_;
  platform::WindowHandle peer_ = 0;
  std::string documents_;

  // The size being measured.
  std::optional<Paths> paths_;
  std::unique_ptr<platform::ChildProcess> service_;
  platform::WindowHandle service_window_ = 0;
  std::optional<bench::StoreFloor> floor_;
  std::optional<bench::StoreFloor> second_floor_;  // the same store, other files
  std::vector<Reminder> reminders_;
  std::mt19937_64 random_;
  std::size_t alerted_ = 0;  // the reminder alerted last round, updated (so un-alerted) next
  std::size_t round_ = 0;
};

BenchRun::Paths BenchRun::PathsFor(std::size_t size) const {
  const std::string sep(1, platform::PathSeparator());
  std::string root = documents_;
  if (root.back() != sep[0]) root += sep;
  root += "Pelicorda" + sep + "Calendar" + sep;
  Paths paths;
  paths.user = "bench-" + std::to_string(platform::CurrentProcessId()) + "-" + std::to_string(size);
  paths.data_dir = root + "Data" + sep + "users" + sep + paths.user + sep;
  paths.cache_dir = root + "Cache" + sep + "users" + sep + paths.user + sep;
  paths.store = paths.data_dir + "reminder.db";
  paths.floor_store = paths.data_dir + "floor.db";
  paths.floor_today = paths.cache_dir + "floor-today" + sep;
  paths.floor_today_2 = paths.cache_dir + "floor-today-2" + sep;
  return paths;
}

double BenchRun::Send(platform::WindowHandle target, std::uint64_t code, const std::string& text, int notifications,
                   const char* what) {
  const int before = view_.Notifications();
  const auto start = Clock::now();
  const platform::SendResult sent = loop_->SendCopyData(target, code, text);
  const double ms = Milliseconds(Clock::now() - start);
  if (!sent.delivered || sent.result != -1) {
    throw std::runtime_error(std::string(what) + ": not answered -1");
  }
  if (view_.Notifications() - before != notifications) {
    throw std::runtime_error(std::string(what) + ": " + std::to_string(view_.Notifications() - before) +
                             " notifications inside the send, expected " + std::to_string(notifications));
  }
  return ms;
}

double BenchRun::SendTimeChange(platform::WindowHandle target, const char* what) {
  const int before = view_.Notifications();
  const auto start = Clock::now();
  const platform::SendResult sent = loop_->SendTimeChange(target);
  const double ms = Milliseconds(Clock::now() - start);
  if (!sent.delivered || view_.Notifications() - before != 1) {
    throw std::runtime_error(std::string(what) + ": no notification inside the send");
  }
  return ms;
}

void BenchRun::Launch(const Paths& paths, SizeResult& result) {
  std::vector<std::string> arguments(options_.launcher.begin() + (options_.launcher.empty() ? 0 : 1),
                                     options_.launcher.end());
  if (!options_.launcher.empty()) arguments.push_back(options_.exe);
  arguments.push_back(paths.user + "|" + std::to_string(view_window_->Handle()));
  const std::string program = options_.launcher.empty() ? options_.exe : options_.launcher.front();

  // Polls for an early exit and gives up after a while; the first
  // notification ends the loop.
  auto ticker = loop_->CreateTimer([&] {
    if (service_ && service_->WaitForExit(std::chrono::milliseconds(0))) loop_->Quit();
  });
  ticker->SetInterval(5);
  auto give_up = loop_->CreateTimer([&] { loop_->Quit(); });
  give_up->SetInterval(300'000);  // generous: a profiler may run the service
  view_.AwaitFirst();
  const auto start = Clock::now();
  // The trace stays off whatever this process's environment says.
  service_ = platform::LaunchProcess(program, arguments, {{"isDebug", ""}});
  ticker->SetEnabled(true);
  give_up->SetEnabled(true);
  loop_->Run();
  const auto first = view_.First();
  if (!first) throw std::runtime_error("no notification from the service after its launch");
  result.launch_ms = Milliseconds(*first - start);
  std::fprintf(stderr, "  service process %u\n", service_->Id());
  // The window exists before the start-up timer fires, so it is there now.
  const auto window = FindServiceWindow(std::chrono::seconds(5));
  if (!window) throw std::runtime_error("the service window did not appear");
  service_window_ = *window;
}

// One round: every operation at the service, then the same at the floor.
// `result` is null for warm-up rounds.
void BenchRun::Round(SizeResult* result) {
  const std::size_t round = round_++;
  auto pick = std::uniform_int_distribution<std::size_t>(0, reminders_.size() - 1);

  // Update the reminder alerted last round (which clears its alert, so
  // alerts do not pile up over the run), moving it a minute back and forth.
  Reminder& target = reminders_[alerted_];
  target.start += round % 2 == 0 ? -60 : 60;
  const std::string update = platform::Utf8ToAnsi(UpdateCommand("Reminder.Update", target));
  Pause();
  const double update_ms = Send(service_window_, kQueryCode, update, 1, "Update");
  Pause();
  const double transport = Send(peer_, kQueryCode, update, 1, "transport");
  const double unit = Time([&] { floor_->RunUnit(bench::kUpdateSql, bench::UpdateBindings(target)); });
  const double rebuild = Time([&] { floor_->Rebuild(); });

  // A new reminder due today, appended and deleted again.
  Reminder fresh;
  fresh.calendar = target.calendar;
  fresh.item = "bench-new-" + std::to_string(round);
  fresh.start = platform::SystemClock().UnixSeconds() - 3600 - 86400;
  fresh.repeat = 1;
  const std::string append = platform::Utf8ToAnsi(UpdateCommand("Reminder.Append", fresh));
  const std::string remove = platform::Utf8ToAnsi(DeleteCommand(fresh));
  Pause();
  const double pair_ms = Send(service_window_, kQueryCode, append, 1, "Append") +
                         Send(service_window_, kQueryCode, remove, 1, "Delete");
  Pause();
  double pair_floor = Send(peer_, kQueryCode, append, 1, "transport");
  pair_floor += Time([&] {
    floor_->RunUnit(bench::kInsertSql, bench::InsertBindings(fresh));
    floor_->Rebuild();
  });
  pair_floor += Send(peer_, kQueryCode, remove, 1, "transport");
  pair_floor += Time([&] {
    floor_->RunUnit(bench::kDeleteSql, bench::DeleteBindings(fresh));
    floor_->Rebuild();
  });

  // An alert: one statement, no rebuild, no notification.
  alerted_ = pick(random_);
  const Reminder& alerted = reminders_[alerted_];
  const std::string alert = platform::Utf8ToAnsi(AlertCommand(alerted));
  Pause();
  const double alert_ms = Send(service_window_, kQueryCode, alert, 0, "Alert");
  Pause();
  const double plain = Send(peer_, kPlainCode, alert, 0, "transport");
  const double alert_unit =
      Time([&] { floor_->RunUnit(bench::AlertSql(platform::SystemClock().UnixSeconds(), alerted.item), {}); });

  // A rebuild alone: the clock-change notice.
  Pause();
  const double rebuild_ms = SendTimeChange(service_window_, "time change");
  Pause();
  const double rebuild_transport = SendTimeChange(peer_, "transport");
  const double rebuild_alone = Time([&] { floor_->Rebuild(); });
  // Into files of its own: replacing a file whose last version is still
  // being written back to disk waits for that write, which would charge
  // this rebuild for the one just before it.
  Pause();
  const double rebuild_two_units = Time([&] { second_floor_->RebuildInTwoUnits(); });

  if (result == nullptr) return;
  result->update.Add(update_ms, transport + unit + rebuild);
  result->append_delete.Add(pair_ms, pair_floor);
  result->alert.Add(alert_ms, plain + alert_unit);
  result->rebuild.Add(rebuild_ms, rebuild_transport + rebuild_alone);
  result->transport.Add(transport);
  result->transport_plain.Add(plain);
  result->store_unit.Add(unit);
  result->store_rebuild.Add(rebuild_alone);
  result->store_rebuild_two_units.Add(rebuild_two_units);
}

SizeResult BenchRun::Measure(std::size_t size) {
  SizeResult result;
  result.size = size;
  result.rounds = options_.rounds.value_or(DefaultRounds(size));
  const Paths& paths = paths_.emplace(PathsFor(size));
  fs::remove_all(fs::u8path(paths.data_dir));
  fs::remove_all(fs::u8path(paths.cache_dir));
  platform::FileSystem& files = platform::RealFileSystem();
  files.CreateDirectories(paths.data_dir);
  files.CreateDirectories(paths.floor_today);
  files.CreateDirectories(paths.floor_today_2);
  const std::string sep(1, platform::PathSeparator());
  const std::string exe_dir = options_.exe.substr(0, options_.exe.find_last_of("/\\") + 1);
  const std::string template_db = exe_dir + "templates" + sep + "base.db";
  files.CopyFileReplacing(template_db, paths.store);
  random_.seed(options_.seed + size);
  const platform::LocalDateTime local = platform::SystemClock().LocalNow();
  const bench::SeedTime when{platform::SystemClock().UnixSeconds(),
                             local.hour * 3600 + local.minute * 60 + local.second};
  std::fprintf(stderr, "%zu reminders: seeding %s\n", size, paths.store.c_str());
  reminders_ = bench::SeedStore(paths.store, size, when, random_);
  files.CopyFileReplacing(paths.store, paths.floor_store);
  floor_.emplace(paths.floor_store, paths.floor_today);
  second_floor_.emplace(paths.floor_store, paths.floor_today_2);
  alerted_ = 0;
  round_ = 0;

  Launch(paths, result);
  std::fprintf(stderr, "  launch to first notification %.1f ms; %zu warm-up and %zu measured rounds\n",
               result.launch_ms, options_.warmup, result.rounds);
  for (std::size_t i = 0; i < options_.warmup; ++i) Round(nullptr);
  for (std::size_t i = 0; i < result.rounds; ++i) Round(&result);
  result.peak_bytes = service_->PeakResidentBytes();
  result.due = floor_->Rebuild();

  // The floor did the same work: after the same commands its files are the
  // service's, byte for byte.
  SendTimeChange(service_window_, "time change");
  const std::string today = paths.cache_dir + "today" + sep;
  result.files_equal = ReadFile(today + "reminder.json") == ReadFile(floor_->ReminderFile()) &&
                       ReadFile(today + "daysmatter.json") == ReadFile(floor_->DaysMatterFile());

  if (!EndSize()) throw std::runtime_error("the service did not exit after the close request");
  return result;
}

bool BenchRun::EndSize() noexcept {
  bool closed = true;
  try {
    if (service_) {
      if (service_window_ != 0) loop_->SendClose(service_window_);
      if (!service_->WaitForExit(std::chrono::seconds(10))) {
        service_->RequestTermination();
        service_->WaitForExit(std::chrono::seconds(5));
        closed = false;
      }
    }
    if (paths_ && !options_.keep) {
      std::error_code ignored;
      fs::remove_all(fs::u8path(paths_->data_dir), ignored);
      fs::remove_all(fs::u8path(paths_->cache_dir), ignored);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "chimewell_bench: ending a size: %s\n", error.what());
  }
  service_.reset();
  service_window_ = 0;
  paths_.reset();
  return closed;
}

// --- reporting -------------------------------------------------------------------

void PrintTable(const std::vector<SizeResult>& results) {
  PrintLine("all times in ms; floor = transport (a) + store work (b), measured in the same rounds;");
  PrintLine("ratio = median / floor median; paired = median of each round's service / floor");
  PrintLine("");
  char line[256];
  std::snprintf(line, sizeof line, "%-8s %-14s %9s %9s %9s %9s %7s %7s", "size", "operation", "median", "p99",
                "floor", "floor p99", "ratio", "paired");
  PrintLine(line);
  for (const SizeResult& r : results) {
    const std::pair<const char*, const Pair*> rows[] = {
        {"update", &r.update}, {"append+delete", &r.append_delete}, {"alert", &r.alert}, {"rebuild", &r.rebuild}};
    for (const auto& [name, pair] : rows) {
      std::snprintf(line, sizeof line, "%-8zu %-14s %9.3f %9.3f %9.3f %9.3f %7.3f %7.3f", r.size, name,
                    pair->service.Median(), pair->service.P99(), pair->floor.Median(), pair->floor.P99(),
                    pair->Ratio(), pair->round_ratios.Median());
      PrintLine(line);
    }
    std::snprintf(line, sizeof line,
                  "%-8zu due today %zu + %zu; rebuild %.3f us per reminder (floor %.3f); floor parts: "
                  "transport %.3f, plain %.3f, unit %.3f, rebuild %.3f (in two units %.3f)",
                  r.size, r.due.reminders, r.due.days_matter, 1000 * r.rebuild.service.Median() / static_cast<double>(r.size),
                  1000 * r.rebuild.floor.Median() / static_cast<double>(r.size), r.transport.Median(),
                  r.transport_plain.Median(), r.store_unit.Median(), r.store_rebuild.Median(),
                  r.store_rebuild_two_units.Median());
    PrintLine(line);
    std::snprintf(line, sizeof line, "%-8zu launch to first notification %.1f ms; peak resident %s; %zu rounds; files %s",
                  r.size, r.launch_ms,
                  r.peak_bytes ? (std::to_string(static_cast<double>(*r.peak_bytes) / 1e6).substr(0, 5) + " MB").c_str()
                               : "unknown",
                  r.rounds, r.files_equal ? "equal to the floor's" : "DIFFER from the floor's");
    PrintLine(line);
  }
}

// One line per size, tab-separated, for docs/performance.md and its plot.
void WriteResults(const std::string& path, const std::vector<SizeResult>& results) {
  std::ofstream out(path, std::ios::binary);
  out << "size\trounds\tdue_reminders\tdue_daysmatter"
         "\tupdate_med\tupdate_p99\tupdate_floor_med\tupdate_floor_p99"
         "\tpair_med\tpair_p99\tpair_floor_med\tpair_floor_p99"
         "\talert_med\talert_p99\talert_floor_med\talert_floor_p99"
         "\trebuild_med\trebuild_p99\trebuild_floor_med\trebuild_floor_p99"
         "\ttransport_med\ttransport_plain_med\tstore_unit_med\tstore_rebuild_med"
         "\tlaunch_ms\tpeak_mb\tfiles_equal"
         "\tupdate_ratio\tpair_ratio\talert_ratio\trebuild_ratio\tstore_rebuild_two_units_med\n";
  for (const SizeResult& r : results) {
    out << r.size << '\t' << r.rounds << '\t' << r.due.reminders << '\t' << r.due.days_matter;
    for (const Pair* pair : {&r.update, &r.append_delete, &r.alert, &r.rebuild}) {
      out << '\t' << pair->service.Median() << '\t' << pair->service.P99() << '\t' << pair->floor.Median() << '\t'
          << pair->floor.P99();
    }
    out << '\t' << r.transport.Median() << '\t' << r.transport_plain.Median() << '\t' << r.store_unit.Median()
        << '\t' << r.store_rebuild.Median() << '\t' << r.launch_ms << '\t'
        << (r.peak_bytes ? static_cast<double>(*r.peak_bytes) / 1e6 : -1.0) << '\t' << (r.files_equal ? 1 : 0);
    // The paired ratios: the median of each round's service / floor.
    for (const Pair* pair : {&r.update, &r.append_delete, &r.alert, &r.rebuild}) {
      out << '\t' << pair->round_ratios.Median();
    }
    out << '\t' << r.store_rebuild_two_units.Median() << '\n';
  }
  if (!out) throw std::runtime_error("can not write " + path);
}

std::vector<std::size_t> ParseSizes(const std::string& text) {
  std::vector<std::size_t> sizes;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    const std::int64_t size = ParseInteger(item, "--sizes");
    if (size < 1) throw UsageError("--sizes takes positive numbers");
    sizes.push_back(static_cast<std::size_t>(size));
  }
  if (sizes.empty()) throw UsageError("--sizes needs at least one size");
  return sizes;
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

}  // namespace

int Bench(chimectl::Arguments arguments) {
  if (const auto peer = arguments.TakeValue("--peer")) {
    return RunPeer(static_cast<platform::WindowHandle>(ParseInteger(*peer, "--peer")));
  }
  BenchOptions options;
  options.sizes = ParseSizes(arguments.TakeValue("--sizes").value_or("1000,10000,100000"));
  if (const auto rounds = arguments.TakeValue("--rounds")) {
    const std::int64_t value = ParseInteger(*rounds, "--rounds");
    if (value < 1) throw UsageError("--rounds must be at least 1");
    options.rounds = static_cast<std::size_t>(value);
  }
  if (const auto warmup = arguments.TakeValue("--warmup")) {
    const std::int64_t value = ParseInteger(*warmup, "--warmup");
    if (value < 0) throw UsageError("--warmup must not be negative");
    options.warmup = static_cast<std::size_t>(value);
  }
  if (const auto pause = arguments.TakeValue("--pause")) {
    const std::int64_t value = ParseInteger(*pause, "--pause");
    if (value < 0) throw UsageError("--pause must not be negative");
    options.pause = std::chrono::milliseconds(value);
  }
  if (const auto seed = arguments.TakeValue("--seed")) {
    options.seed = static_cast<std::uint64_t>(ParseInteger(*seed, "--seed"));
  }
  options.exe = arguments.TakeValue("--exe").value_or(DefaultServiceExecutable());
  options.launcher = SplitWords(arguments.TakeValue("--launcher").value_or(""));
  const auto out = arguments.TakeValue("--out");
  options.keep = arguments.TakeSwitch("--keep");
  if (!arguments.Positionals().empty()) throw UsageError("the bench takes no positional arguments");

  // The floor keeps its freed memory as the service does: faulting pages in
  // again is not work a rebuild needs.
  platform::KeepFreedMemoryForReuse();
  std::vector<SizeResult> results;
  {
    BenchRun bench(options);
    for (const std::size_t size : options.sizes) results.push_back(bench.Measure(size));
  }
  PrintTable(results);
  if (out) WriteResults(*out, results);
  return kExitOk;
}

}  // namespace chimewell::bench
