#include "trace/trace.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/utf.h"
#include "testing/scoped_environment.h"

namespace chimewell::trace {
namespace {

// Pins every outside fact and records what the trace hands over.
class FakeEnvironment final : public TraceEnvironment {
 public:
  std::string debug_switch = "1";
  platform::LocalDateTime now{2026, 3, 5, 9, 4, 7, 8};
  std::uint32_t process_id = 123;
  std::uint32_t thread_id = 45;
  std::string time_separator = ":";

  mutable std::vector<std::string> pieces;
  mutable int switch_reads = 0;
  mutable int other_reads = 0;

  std::string DebugSwitch() const override {
    ++switch_reads;
    return debug_switch;
  }
  platform::LocalDateTime LocalNow() const override {
    ++other_reads;
    return now;
  }
  std::uint32_t ProcessId() const override {
    ++other_reads;
    return process_id;
  }
  std::uint32_t ThreadId() const override {
    ++other_reads;
    return thread_id;
  }
  std::string TimeSeparator() const override { return time_separator; }
  void Output(std::string_view piece) const override {
    if (failing_outputs_left_ > 0) {
      --failing_outputs_left_;
      throw std::runtime_error("viewer gone");
    }
    pieces.emplace_back(piece);
  }
  // The next `count` hand-overs throw.
  void ArmFailures(int count) { failing_outputs_left_ = count; }

 private:
  mutable int failing_outputs_left_ = 0;
};

// Everything before the text: 30 + 1 + 6 + 1 + 6 + 1 + 20 + 1.
constexpr std::size_t kPrefixUnits = 66;

std::string LineOf(const FakeEnvironment& env, std::string_view text) {
  return FormatLogLine(env.now, env.process_id, env.thread_id, text);
}

std::string Repeat(std::string_view text, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

// ---- the gate -------------------------------------------------------------

TEST(TraceGate, OnlyEmptyZeroAndFalseSwitchTheTraceOff) {
  struct Case {
    std::string value;
    bool on;
  };
  const Case cases[] = {
      {"", false},      {"0", false},     {"false", false},  {"FALSE", false},
      {"fAlSe", false}, {"1", true},      {"true", true},    {"yes", true},
      {"no", true},     {"00", true},     {" 0", true},      {"0 ", true},
      {" false", true}, {"false\n", true}, {"f", true},      {"falsee", true},
      {"fal\xC5\xBF" "e", true},  // only ASCII letters fold: a long s is not an s
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TraceSwitchedOn(c.value), c.on) << "[" << c.value << "]";

    FakeEnvironment env;
    env.debug_switch = c.value;
    WriteLog(env, "x");
    EXPECT_EQ(env.pieces.size(), c.on ? 1u : 0u) << "[" << c.value << "]";
  }
}

TEST(TraceGate, ClosedGateCostsOneReadAndBuildsNothing) {
  FakeEnvironment env;
  env.debug_switch = "0";
  WriteLog(env, "x");
  WriteError(env, "x");
  WriteException(env, "x", std::runtime_error("m"));
  EXPECT_EQ(env.switch_reads, 3);
  EXPECT_EQ(env.other_reads, 0);
  EXPECT_TRUE(env.pieces.empty());
}

TEST(TraceGate, IsReadAfreshAtEveryCall) {
  FakeEnvironment env;
  for (const char* value : {"0", "1", "", "true", "false"}) {
    env.debug_switch = value;
    WriteLog(env, value);
  }
  EXPECT_EQ(env.pieces, (std::vector<std::string>{LineOf(env, "1"), LineOf(env, "true")}));
}

// ---- the line -------------------------------------------------------------

TEST(FormatLogLine, LaysOutTimestampIdsModuleAndText) {
  struct Case {
    platform::LocalDateTime when;
    std::uint32_t process_id;
    std::uint32_t thread_id;
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {{2026, 3, 5, 9, 4, 7, 8}, 123, 45, "x",
       "       2026-03-05 09:04:07:008    123     45                      x"},
      {{1999, 12, 31, 23, 59, 59, 999}, 1, 0, "",
       "       1999-12-31 23:59:59:999      1      0                      "},
      // Longer values are written whole; a 32-bit id stays unsigned.
      {{2026, 1, 2, 0, 0, 0, 0}, 4294967295u, 1234567, "a b",
       "       2026-01-02 00:00:00:000 4294967295 1234567                      a b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatLogLine(c.when, c.process_id, c.thread_id, c.text), c.expected);
  }
}

// Every ':' of the timestamp is the locale's time separator, the one before
// the milliseconds too; a longer one widens the timestamp.
TEST(FormatLogLine, WritesTheLocalesTimeSeparator) {
  FakeEnvironment env;
  env.time_separator = ".";
  WriteLog(env, "x");
  env.time_separator = " h ";
  WriteLog(env, "y");
  EXPECT_EQ(env.pieces, (std::vector<std::string>{
                            "       2026-03-05 09.04.07.008    123     45                      x",
                            " 2026-03-05 09 h 04 h 07 h 008    123     45                      y"}));
}

TEST(WriteLog, HandsOverTheLineOfTheCallingThread) {
  FakeEnvironment env;
  WriteLog(env, "first");
  env.thread_id = 46;
  WriteLog(env, "second");
  EXPECT_EQ(env.pieces, (std::vector<std::string>{
                            "       2026-03-05 09:04:07:008    123     45                      first",
                            "       2026-03-05 09:04:07:008    123     46                      second"}));
}

// ---- pieces of 220 UTF-16 units ------------------------------------------

TEST(WriteLog, SplitsLongLinesIntoPiecesOf220Units) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::size_t> piece_units;
  };
  const std::string e_acute = "\xC3\xA9";  // one unit, two bytes
  const Case cases[] = {
      {"220", std::string(220 - kPrefixUnits, 'a'), {220}},
      {"221", std::string(221 - kPrefixUnits, 'a'), {220, 1}},
      {"440", std::string(440 - kPrefixUnits, 'a'), {220, 220}},
      {"441", std::string(441 - kPrefixUnits, 'a'), {220, 220, 1}},
      {"220 units, more bytes", Repeat(e_acute, 220 - kPrefixUnits), {220}},
      {"221 units, more bytes", Repeat(e_acute, 221 - kPrefixUnits), {220, 1}},
      {"pair ending at 220", std::string(218 - kPrefixUnits, 'a') + "\xF0\x9F\x98\x80", {220}},
  };
  for (const Case& c : cases) {
    FakeEnvironment env;
    WriteLog(env, c.text);
    std::vector<std::size_t> units;
    std::string joined;
    for (const std::string& piece : env.pieces) {
      units.push_back(platform::Utf16Length(piece));
      joined += piece;
    }
    EXPECT_EQ(units, c.piece_units) << c.name;
    EXPECT_EQ(joined, LineOf(env, c.text)) << c.name;
  }
}

TEST(WriteLog, SplitsAStraddlingPairIntoItsHalves) {
  FakeEnvironment env;
  const std::string head(219 - kPrefixUnits, 'a');
  WriteLog(env, head + "\xF0\x9F\x98\x80" "b");  // U+1F600 takes units 220 and 221

  ASSERT_EQ(env.pieces.size(), 2u);
  const std::string line = LineOf(env, head);
  EXPECT_EQ(env.pieces[0], line + "\xED\xA0\xBD");  // high half D83D
  EXPECT_EQ(env.pieces[1], "\xED\xB8\x80" "b");     // low half DE00
}

// A long line is decoded a slice of many pieces at a time: the pieces must be
// those of cutting the whole line's UTF-16 form every 220 units, also where a
// pair, a lone half or an invalid byte falls on a slice or piece boundary.
TEST(WriteLog, LongLinesArePiecedAsTheirWholeUtf16Form) {
  const std::string pair = "\xF0\x9F\x98\x80";  // U+1F600, two units
  std::string text;
  for (int n = 0; text.size() < 200'000; ++n) {
    text += std::string(static_cast<std::size_t>(n % 223), 'a');
    text += n % 3 == 0 ? pair : n % 3 == 1 ? "\xED\xA0\xBD\xC3" : "\xFF\xC3\xA9";
  }
  FakeEnvironment env;
  WriteLog(env, text);
  const std::u16string units = platform::Utf8ToUtf16(LineOf(env, text));
  std::vector<std::string> whole_cut;
  for (std::size_t at = 0; at < units.size(); at += 220) {
    whole_cut.push_back(platform::Utf16ToUtf8(std::u16string_view(units).substr(at, 220)));
  }
  ASSERT_GT(whole_cut.size(), 64u * 3);
  EXPECT_EQ(env.pieces, whole_cut);
}

// ---- error texts ----------------------------------------------------------

TEST(WriteError, MarksTheTextAndAppendsTheException) {
  FakeEnvironment env;
  WriteError(env, "x");
  WriteException(env, "AccessDB", std::runtime_error("m"));
  WriteErrorFmt(env, "n=%d", 5);
  WriteLogFmt(env, "%s:%x", "id", 255);
  EXPECT_EQ(env.pieces, (std::vector<std::string>{LineOf(env, "Error!x"), LineOf(env, "Error!AccessDB,Exception:m"),
                                                  LineOf(env, "Error!n=5"), LineOf(env, "id:FF")}));
}

TEST(WriteLogFmt, FormatFailureIsHandedOverRawWhateverTheGate) {
  const std::string long_format = std::string(300, 'f') + "%d";
  struct Case {
    const char* name;
    std::function<void(const TraceEnvironment&)> call;
    std::string raw;
  };
  const Case cases[] = {
      {"log, wrong kind", [](const TraceEnvironment& env) { WriteLogFmt(env, "n=%d", "text"); },
       "Error! Trace[fmt:n=%d] exception:Format '%d' invalid or incompatible with argument"},
      {"error, missing argument", [](const TraceEnvironment& env) { WriteErrorFmt(env, "n=%d"); },
       "Error! Trace[fmt:Error!n=%d] exception:No argument for format '%d'"},
      {"log, long raw text is not split",
       [&](const TraceEnvironment& env) { WriteLogFmt(env, long_format, std::string("s")); },
       "Error! Trace[fmt:" + long_format + "] exception:Format '%d' invalid or incompatible with argument"},
  };
  for (const Case& c : cases) {
    for (const char* gate : {"0", "1"}) {
      FakeEnvironment env;
      env.debug_switch = gate;
      c.call(env);
      EXPECT_EQ(env.pieces, std::vector<std::string>{c.raw}) << c.name << ", isDebug=" << gate;
    }
  }
}

TEST(WriteLogFmt, FailureOfWriteLogIsHandedOverRawAndNothingEscapes) {
  FakeEnvironment env;
  env.ArmFailures(1);
  WriteLogFmt(env, "hello %s", "you");
  EXPECT_EQ(env.pieces, std::vector<std::string>{"Error! Trace[fmt:hello %s] exception:viewer gone"});

  // The fallback itself fails: still nothing reaches the caller.
  FakeEnvironment dead;
  dead.ArmFailures(1);  // the raw text of the format failure
  WriteErrorFmt(dead, "%d");
  dead.ArmFailures(2);  // the line, then the raw text
  WriteLogFmt(dead, "hello %s", "you");
  EXPECT_TRUE(dead.pieces.empty());
}

TEST(WriteLogFmt, GoodFormatWithClosedGateHandsOverNothing) {
  FakeEnvironment env;
  env.debug_switch = "false";
  WriteLogFmt(env, "n=%d", 5);
  EXPECT_TRUE(env.pieces.empty());
  EXPECT_EQ(env.other_reads, 0);
  EXPECT_EQ(env.switch_reads, 1);
}

// ---- formatting -----------------------------------------------------------

TEST(Format, ExpandsDirectives) {
  const std::string text = "ab";
  const std::string_view view = "cd";
  const char* pointer = "ef";
  struct Case {
    std::string actual;
    std::string expected;
  };
  const Case cases[] = {
      {Format(""), ""},
      {Format("plain"), "plain"},
      {Format("%s|%s|%s|%s", text, view, pointer, "gh"), "ab|cd|ef|gh"},
      {Format("[%5s]", text), "[   ab]"},
      {Format("[%1s]", "abc"), "[abc]"},
      {Format("[%3s]", "\xC3\xA9"), "[  \xC3\xA9]"},  // width counts UTF-16 units
      {Format("[%20s]", ""), "[                    ]"},
      {Format("%d", std::int32_t{42}), "42"},
      {Format("%d", std::int32_t{-7}), "-7"},
      {Format("%d", std::numeric_limits<std::int32_t>::min()), "-2147483648"},
      {Format("%d", std::int64_t{5000000000}), "5000000000"},
      {Format("%d", std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {Format("%d", std::numeric_limits<std::uint32_t>::max()), "4294967295"},
      {Format("%d", std::numeric_limits<std::uint64_t>::max()), "-1"},
      {Format("%d", std::int16_t{-3}), "-3"},
      {Format("[%6d]", 42), "[    42]"},
      {Format("[%6d]", -42), "[   -42]"},
      {Format("[%2d]", 12345), "[12345]"},
      {Format("%x", 0x1A2B), "1A2B"},
      {Format("%x", 0), "0"},
      {Format("%x", std::int32_t{-1}), "FFFFFFFF"},
      {Format("%x", std::uint32_t{0xDEADBEEF}), "DEADBEEF"},
      {Format("[%6x]", 255), "[    FF]"},
      {Format("100%%"), "100%"},
      {Format("%%d%s", "x"), "%dx"},
      {Format("%s=%d", "a", 1, "unused", 2.5), "a=1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.actual, c.expected);
  }
}

TEST(Format, RefusesBadDirectivesAndArguments) {
  const char* null_text = nullptr;
  const std::string incompatible = " invalid or incompatible with argument";
  struct Case {
    std::function<std::string()> call;
    std::string message;
  };
  const Case cases[] = {
      {[] { return Format("%d"); }, "No argument for format '%d'"},
      {[] { return Format("%d %6d", 1); }, "No argument for format '%6d'"},
      {[] { return Format("%d", "x"); }, "Format '%d'" + incompatible},
      {[] { return Format("%s", 5); }, "Format '%s'" + incompatible},
      {[&] { return Format("%s", null_text); }, "Format '%s'" + incompatible},
      {[] { return Format("%x", std::int64_t{1}); }, "Format '%x'" + incompatible},
      {[] { return Format("%6x", std::uint64_t{1}); }, "Format '%6x'" + incompatible},
      {[] { return Format("%x", "ff"); }, "Format '%x'" + incompatible},
      {[] { return Format("%d", 1.5); }, "Format '%d'" + incompatible},
      {[] { return Format("%d", true); }, "Format '%d'" + incompatible},
      {[] { return Format("%d", 'c'); }, "Format '%d'" + incompatible},
      {[] { return Format("%q", 1); }, "Format '%q'" + incompatible},
      {[] { return Format("%-5d", 1); }, "Format '%-'" + incompatible},
      {[] { return Format("%5%"); }, "Format '%5%'" + incompatible},
      {[] { return Format("tail%"); }, "Format '%'" + incompatible},
      {[] { return Format("tail%12"); }, "Format '%12'" + incompatible},
      {[] { return Format("%99999999999999999999999d", 1); }, "Format '%99999999999999999999999d'" + incompatible},
  };
  for (const Case& c : cases) {
    try {
      const std::string result = c.call();
      ADD_FAILURE() << "no error for [" << c.message << "], got [" << result << "]";
    } catch (const FormatError& error) {
      EXPECT_EQ(error.what(), c.message);
    }
  }
}

// ---- the real process -----------------------------------------------------

#ifndef _WIN32
// Run with isDebug=1 (the test registration sets it). The switch is read once
// per process, so a later change of the variable does not close the gate.
TEST(ProcessTrace, WritesToStandardErrorWhileIsDebugIsOnAndReadsTheSwitchOnce) {
  const TraceEnvironment& process = ProcessTraceEnvironment();
  EXPECT_EQ(process.ProcessId(), platform::CurrentProcessId());
  EXPECT_EQ(process.ThreadId(), platform::CurrentThreadId());
  ASSERT_EQ(process.DebugSwitch(), "1") << "run this test with isDebug=1";
  const testing_support::ScopedEnvironmentVariable off("isDebug", std::nullopt);
  EXPECT_EQ(process.DebugSwitch(), "1");
  testing::internal::CaptureStderr();
  WriteLog("hello");
  WriteLogFmt("n=%d", 7);
  const std::string written = testing::internal::GetCapturedStderr();
  const std::string ids = Format(" %6d %6d ", platform::CurrentProcessId(), platform::CurrentThreadId());
  EXPECT_NE(written.find(ids + std::string(20, ' ') + " hello\n"), std::string::npos) << written;
  EXPECT_NE(written.find(ids + std::string(20, ' ') + " n=7\n"), std::string::npos) << written;
}
#endif

}  // namespace
}  // namespace chimewell::trace
