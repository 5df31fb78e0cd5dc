// One trace call, switched off and switched on. "Off" is what every traced
// step costs the service in normal use; "on" is the cost while diagnosing.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "trace/trace.h"

namespace chimewell::trace {
namespace {

// The real process environment, except that the switch is fixed and the
// lines go nowhere: the benchmark measures the trace, not the terminal.
class DiscardingEnvironment final : public TraceEnvironment {
 public:
  explicit DiscardingEnvironment(std::string debug_switch) : switch_(std::move(debug_switch)) {}
  std::string DebugSwitch() const override { return switch_; }
  platform::LocalDateTime LocalNow() const override { return ProcessTraceEnvironment().LocalNow(); }
  std::uint32_t ProcessId() const override { return ProcessTraceEnvironment().ProcessId(); }
  std::uint32_t ThreadId() const override { return ProcessTraceEnvironment().ThreadId(); }
  void Output(std::string_view piece) const override { benchmark::DoNotOptimize(piece.data()); }

 private:
  std::string switch_;
};

// The line the rebuild traces for every due reminder.
void TraceRow(const TraceEnvironment& env) {
  WriteLogFmt(env, "  >> Item CalendarID : %s , ItemID : %s , RemindTime : %d , RemindTimeStr : %s",
              std::string("Work-7f3a"), std::string("0b9e6c52-41d7-4c0f-9a51-2f3c8e1d7a64"),
              std::int64_t{1765350000}, std::string("2025-12-10 09:15:00"));
}

void BM_TraceOff(benchmark::State& state) {
  const DiscardingEnvironment env("");
  for (auto _ : state) TraceRow(env);
}
BENCHMARK(BM_TraceOff);

void BM_TraceOn(benchmark::State& state) {
  const DiscardingEnvironment env("1");
  for (auto _ : state) TraceRow(env);
}
BENCHMARK(BM_TraceOn);

// Off in the real process: the switch is read from the environment each call.
void BM_TraceOffProcessEnvironment(benchmark::State& state) {
  ::unsetenv("isDebug");
  for (auto _ : state) TraceRow(ProcessTraceEnvironment());
}
BENCHMARK(BM_TraceOffProcessEnvironment);

// A plain text line (no formatting), off and on.
void BM_PlainLine(benchmark::State& state) {
  const DiscardingEnvironment env(state.range(0) != 0 ? "1" : "");
  for (auto _ : state) WriteLog(env, "MakeTodayReminderData >");
}
BENCHMARK(BM_PlainLine)->Arg(0)->Arg(1);

}  // namespace
}  // namespace chimewell::trace
