#include "trace/trace.h"

#include <algorithm>
#include <string>

#include "platform/debug_output.h"
#include "platform/locale.h"
#include "platform/process.h"
#include "platform/utf.h"

namespace chimewell::trace {
namespace {

// The most a debug-output viewer takes in one hand-over, in UTF-16 units.
constexpr std::size_t kPieceUnits = 220;

constexpr std::string_view kErrorMarker = "Error!";

class ProcessEnvironment final : public TraceEnvironment {
 public:
  // Read once: a process's environment changes only from inside it, and the
  // service never sets isDebug, so this is the value every read would see.
  // (Each read costs a system call's worth on Windows, and a traced rebuild
  // reads it once per listed row.)
  std::string DebugSwitch() const override { return debug_switch_; }
  platform::LocalDateTime LocalNow() const override { return platform::SystemClock().LocalNow(); }
  std::uint32_t ProcessId() const override { return process_id_; }
  std::uint32_t ThreadId() const override { return platform::CurrentThreadId(); }
  void Output(std::string_view piece) const override { platform::OutputDebugText(piece); }
  std::string TimeSeparator() const override { return time_separator_; }

 private:
  const std::string debug_switch_ = platform::GetEnvironmentVariable("isDebug");
  const std::uint32_t process_id_ = platform::CurrentProcessId();
  const std::string time_separator_ = platform::LocaleTimeSeparator();
};

// Appends `value` as at least `digits` decimal digits.
void AppendZeroPadded(std::string& out, int value, int digits) {
  std::string number = std::to_string(value);
  if (value >= 0 && number.size() < static_cast<std::size_t>(digits)) {
    out.append(static_cast<std::size_t>(digits) - number.size(), '0');
  }
  out += number;
}

// "YYYY-MM-DD HH:mm:ss:zzz"; each ':' is the time separator, the one before
// the milliseconds too.
std::string FormatTimestamp(const platform::LocalDateTime& when, std::string_view separator) {
  std::string out;
  out.reserve(20 + 3 * separator.size());
  AppendZeroPadded(out, when.year, 4);
  out.push_back('-');
  AppendZeroPadded(out, when.month, 2);
  out.push_back('-');
  AppendZeroPadded(out, when.day, 2);
  out.push_back(' ');
  AppendZeroPadded(out, when.hour, 2);
  out += separator;
  AppendZeroPadded(out, when.minute, 2);
  out += separator;
  AppendZeroPadded(out, when.second, 2);
  out += separator;
  AppendZeroPadded(out, when.millisecond, 3);
  return out;
}

}  // namespace

const TraceEnvironment& ProcessTraceEnvironment() {
  static const ProcessEnvironment environment;
  return environment;
}

bool TraceSwitchedOn(std::string_view debug_switch) {
  return !debug_switch.empty() && debug_switch != "0" && !platform::EqualsIgnoringAsciiCase(debug_switch, "false");
}

std::string FormatLogLine(const platform::LocalDateTime& when, std::uint32_t process_id, std::uint32_t thread_id,
                          std::string_view text, std::string_view time_separator) {
  constexpr std::string_view kModuleName;  // the process has a single module
  return Format("%30s %6d %6d %20s %s", FormatTimestamp(when, time_separator), process_id, thread_id,
                kModuleName, text);
}

namespace {

// Calls `hand_over` with each piece of SplitIntoPieces in turn. The line is
// decoded a slice at a time and a piece is handed over as soon as it is
// whole: a line of a command of many megabytes then costs a few kilobytes
// beyond itself instead of its UTF-16 copy and every piece at once.
template <typename HandOver>
void ForEachPiece(std::string_view line, HandOver&& hand_over) {
  constexpr std::size_t kSliceUnits = 64 * kPieceUnits;
  std::u16string units;    // decoded and not yet handed over from `offset` on
  std::size_t offset = 0;
  std::size_t at = 0;      // bytes of `line` decoded so far
  for (;;) {
    while (units.size() - offset < kPieceUnits && at < line.size()) {
      // Slices end between characters, so each decodes as inside the whole line.
      const std::string_view rest = line.substr(at);
      const std::size_t cut = platform::Utf8OffsetOfUtf16Units(rest, kSliceUnits);
      units.erase(0, offset);
      offset = 0;
      units += platform::Utf8ToUtf16(rest.substr(0, cut));
      at += cut;
    }
    // Cutting the UTF-16 form is what a UTF-16 channel does, pair halves included.
    const std::size_t take = std::min(kPieceUnits, units.size() - offset);
    hand_over(platform::Utf16ToUtf8(std::u16string_view(units).substr(offset, take)));
    offset += take;
    if (offset == units.size() && at == line.size()) return;
  }
}

}  // namespace

std::vector<std::string> SplitIntoPieces(std::string_view line) {
  std::vector<std::string> pieces;
  ForEachPiece(line, [&](std::string piece) { pieces.push_back(std::move(piece)); });
  return pieces;
}

void WriteLog(const TraceEnvironment& env, std::string_view text) {
  if (!TraceSwitchedOn(env.DebugSwitch())) return;
  detail::HandOverLine(env, text);
}

void detail::HandOverLine(const TraceEnvironment& env, std::string_view text) {
  const std::string line = FormatLogLine(env.LocalNow(), env.ProcessId(), env.ThreadId(), text, env.TimeSeparator());
  if (platform::Utf16Length(line) <= kPieceUnits) {
    env.Output(line);
    return;
  }
  ForEachPiece(line, [&](const std::string& piece) { env.Output(piece); });
}

void WriteError(const TraceEnvironment& env, std::string_view text) {
  std::string marked(kErrorMarker);
  marked += text;
  WriteLog(env, marked);
}

void WriteException(const TraceEnvironment& env, std::string_view text, const std::exception& error) {
  std::string described(text);
  described += ",Exception:";
  described += error.what();
  WriteError(env, described);
}

void WriteLog(std::string_view text) { WriteLog(ProcessTraceEnvironment(), text); }

void WriteError(std::string_view text) { WriteError(ProcessTraceEnvironment(), text); }

void WriteException(std::string_view text, const std::exception& error) {
  WriteException(ProcessTraceEnvironment(), text, error);
}

namespace detail {

void ReportFormatFailure(const TraceEnvironment& env, std::string_view format, std::string_view message) noexcept {
  try {
    std::string raw = "Error! Trace[fmt:";
    raw += format;
    raw += "] exception:";
    raw += message;
    env.Output(raw);
  } catch (...) {
    // The trace has no channel left to report its own failure on.
  }
}

std::optional<std::string> ErrorFormat(std::string_view format) noexcept {
  try {
    std::string marked(kErrorMarker);
    marked += format;
    return marked;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace detail

}  // namespace chimewell::trace
