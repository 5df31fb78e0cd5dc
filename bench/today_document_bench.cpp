// Grouping and serialising N rows of the timed data file: each row's element
// built as the rebuild builds it, then grouped by calendar.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "today/today_document.h"

namespace chimewell::today {
namespace {

struct Row {
  std::string calendar;
  std::string item;
  std::int64_t time;
  std::string time_text;
};

// Rows as the statement returns them: calendars interleave, so groups are
// short and some keys repeat, as they do in a real result.
std::vector<Row> MakeRows(std::size_t count) {
  std::vector<Row> rows;
  rows.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    rows.push_back({"Calendar-" + std::to_string(i % 7 == 0 ? i % 5 : i / 13 % 5),
                    "0b9e6c52-41d7-4c0f-" + std::to_string(100000 + i),
                    1765350000 + static_cast<std::int64_t>(i),
                    "2025-12-10 09:" + std::to_string(10 + i % 50) + ":00"});
  }
  return rows;
}

void BM_GroupAndSerialise(benchmark::State& state) {
  const auto rows = MakeRows(static_cast<std::size_t>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    TodayDocumentBuilder builder;
    for (const Row& row : rows) {
      builder.BeginRow(row.calendar);
      // As the rebuild writes an element: straight into the document.
      std::string& element = builder.NextElement();
      element += "{\"ItemID\":";
      AppendJsonString(element, row.item);
      element += ",\"RemindTime\":";
      element += std::to_string(row.time);
      element += ",\"RemindTimeStr\":";
      AppendJsonString(element, row.time_text);
      element += '}';
    }
    const std::string document = builder.Finish();
    bytes = document.size();
    benchmark::DoNotOptimize(document.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_GroupAndSerialise)->RangeMultiplier(10)->Range(10, 100000);

void BM_AppendJsonString(benchmark::State& state) {
  const std::string text = "Work/Home \"quoted\" 0b9e6c52-41d7-4c0f-9a51-2f3c8e1d7a64";
  std::string out;
  for (auto _ : state) {
    out.clear();
    AppendJsonString(out, text);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_AppendJsonString);

}  // namespace
}  // namespace chimewell::today
