// What one command costs before it reaches the store: parsing its JSON text
// and reading its fields with the getters.
#include <benchmark/benchmark.h>

#include <string>

#include "channel/json.h"

namespace chimewell::channel {
namespace {

// An Update as the calendar sends it.
constexpr char kTypicalCommand[] =
    R"({"method":"Reminder.Update","data":{"CalendarID":"Work-7f3a","ItemID":)"
    R"("0b9e6c52-41d7-4c0f-9a51-2f3c8e1d7a64","ReminderType":0,"Enabled":1,)"
    R"("StartTime":1765350000,"Repeat":2,"RepeatEnd":0}})";

void BM_ParseTypicalCommand(benchmark::State& state) {
  const std::string text = kTypicalCommand;
  for (auto _ : state) {
    auto document = ParseJsonObject(text);
    benchmark::DoNotOptimize(document);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ParseTypicalCommand);

// Every getter call the command protocol makes for an Update, in its order.
void BM_GettersOfAnUpdate(benchmark::State& state) {
  const auto document = ParseJsonObject(kTypicalCommand);
  for (auto _ : state) {
    std::string method = JsonGetStr(&*document, "method", "");
    const JsonNode* data = JsonFindMember(&*document, "data");
    std::string item = JsonGetStr(data, "ItemID", "");
    std::string calendar = JsonGetStr(data, "CalendarID", "");
    std::int32_t type = JsonGetInt(data, "ReminderType", 0);
    std::int64_t start = JsonGetInt64(data, "StartTime", 0);
    std::int32_t enabled = JsonGetInt(data, "Enabled", 0);
    std::int32_t repeat = JsonGetInt(data, "Repeat", 0);
    std::int64_t end = JsonGetInt64(data, "RepeatEnd", 0);
    benchmark::DoNotOptimize(method);
    benchmark::DoNotOptimize(item);
    benchmark::DoNotOptimize(calendar);
    benchmark::DoNotOptimize(type + enabled + repeat);
    benchmark::DoNotOptimize(start + end);
  }
}
BENCHMARK(BM_GettersOfAnUpdate);

// A number's display text (the path JsonGetStr takes for numbers).
void BM_NumberDisplayText(benchmark::State& state) {
  for (auto _ : state) {
    auto text = JsonNumberDisplayText("1765350000.25");
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_NumberDisplayText);

}  // namespace
}  // namespace chimewell::channel
