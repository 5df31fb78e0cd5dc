// The debug trace: the system's only diagnostic channel. Lines go to the
// platform's debug-output channel while the environment variable isDebug
// switches the trace on; nothing is written to a file.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

#include "trace/trace_format.h"

namespace chimewell::trace {

// What a trace call needs from the outside world; tests pin it.
class TraceEnvironment {
 public:
  virtual ~TraceEnvironment() = default;
  virtual std::string DebugSwitch() const = 0;  // value of isDebug, "" when unset
  virtual platform::LocalDateTime LocalNow() const = 0;
  virtual std::uint32_t ProcessId() const = 0;   // recorded once at start
  virtual std::uint32_t ThreadId() const = 0;    // of the caller, each call
  virtual void Output(std::string_view piece) const = 0;  // one hand-over
  // The locale's time separator, which stands for each ':' of the timestamp;
  // ':' unless an environment says otherwise, as in the C locale.
  virtual std::string TimeSeparator() const { return ":"; }
};

// The real process: isDebug from the environment, the system clock, the debug
// output channel. isDebug and the user's time separator are read once, at the
// first trace call (a locale setting changed while the service runs shows from
// its next start).
const TraceEnvironment& ProcessTraceEnvironment();

// True when isDebug turns the trace on: anything but "", "0" or "false" in any
// letter case (the whole value; nothing trimmed).
bool TraceSwitchedOn(std::string_view debug_switch);

// "%30s %6d %6d %20s %s" of timestamp "YYYY-MM-DD HH:mm:ss:zzz", process id,
// thread id, an empty module name and the text. Each ':' of the timestamp is
// written as `time_separator`.
std::string FormatLogLine(const platform::LocalDateTime& when, std::uint32_t process_id,
                          std::uint32_t thread_id, std::string_view text,
                          std::string_view time_separator = ":");

// The line split into hand-overs of 220 UTF-16 code units each, the last one
// the rest. A surrogate pair that straddles a boundary is split into its two
// halves (WTF-8), as a UTF-16 channel would split it; an invalid byte arrives
// as U+FFFD.
std::vector<std::string> SplitIntoPieces(std::string_view line);

// With the gate closed, one read of isDebug and nothing else. Otherwise the
// line of FormatLogLine goes to env.Output whole, or as SplitIntoPieces when it
// is longer than 220 UTF-16 units. Throws only what allocation or env.Output throws.
void WriteLog(const TraceEnvironment& env, std::string_view text);
// WriteLog("Error!" + text).
void WriteError(const TraceEnvironment& env, std::string_view text);
// WriteError(text + ",Exception:" + error.what()).
void WriteException(const TraceEnvironment& env, std::string_view text, const std::exception& error);

// The gate is read once. Open: the text is formatted (trace_format.h) and
// handed over as by WriteLog. Closed: the format is only checked against its
// arguments, which builds no text (a traced step then costs next to nothing).
// When the check, the formatting or the hand-over fails, the raw text
// "Error! Trace[fmt:<format>] exception:<message>" is handed over once,
// whatever the gate says. Nothing is thrown to the caller.
template <typename... Args>
void WriteLogFmt(const TraceEnvironment& env, std::string_view format, const Args&... args) noexcept;
// WriteLogFmt with "Error!" put before the format.
template <typename... Args>
void WriteErrorFmt(const TraceEnvironment& env, std::string_view format, const Args&... args) noexcept;

// The same, on the real process.
void WriteLog(std::string_view text);
void WriteError(std::string_view text);
void WriteException(std::string_view text, const std::exception& error);
template <typename... Args>
void WriteLogFmt(std::string_view format, const Args&... args) noexcept;
template <typename... Args>
void WriteErrorFmt(std::string_view format, const Args&... args) noexcept;

namespace detail {

// WriteLog after the gate: the line of `text`, whole or in pieces.
void HandOverLine(const TraceEnvironment& env, std::string_view text);

// Hands over the raw failure text of WriteLogFmt, bypassing the gate; never throws.
void ReportFormatFailure(const TraceEnvironment& env, std::string_view format, std::string_view message) noexcept;

// "Error!" + format, or nullopt when even that cannot be allocated.
std::optional<std::string> ErrorFormat(std::string_view format) noexcept;

}  // namespace detail

template <typename... Args>
void WriteLogFmt(const TraceEnvironment& env, std::string_view format, const Args&... args) noexcept {
  try {
    const std::array<detail::FormatArg, sizeof...(Args)> packed{detail::MakeFormatArg(args)...};
    if (TraceSwitchedOn(env.DebugSwitch())) {
      detail::HandOverLine(env, detail::FormatArgs(format, packed));
    } else {
      detail::CheckFormatArgs(format, packed);
    }
  } catch (const std::exception& error) {
    detail::ReportFormatFailure(env, format, error.what());
  } catch (...) {
    detail::ReportFormatFailure(env, format, "unknown exception");
  }
}

template <typename... Args>
void WriteErrorFmt(const TraceEnvironment& env, std::string_view format, const Args&... args) noexcept {
  if (const auto error_format = detail::ErrorFormat(format)) WriteLogFmt(env, *error_format, args...);
}

template <typename... Args>
void WriteLogFmt(std::string_view format, const Args&... args) noexcept {
  WriteLogFmt(ProcessTraceEnvironment(), format, args...);
}

template <typename... Args>
void WriteErrorFmt(std::string_view format, const Args&... args) noexcept {
  WriteErrorFmt(ProcessTraceEnvironment(), format, args...);
}

}  // namespace chimewell::trace
