// Pieces the verbs and chimewell_bench share: finding the service window,
// printing what a view window receives, JSON text escaping.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/message_loop.h"

namespace chimectl {

inline constexpr char kServiceClass[] = "ChimewellWnd";
inline constexpr char kViewClass[] = "ChimectlView";

// Exit codes of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoServiceWindow = 3;
inline constexpr int kExitSendFailed = 4;

// A window of `class_name` (default: the service's), looking again every few
// milliseconds for up to `wait`.
std::optional<chimewell::platform::WindowHandle> FindServiceWindow(
    std::chrono::milliseconds wait, const std::string& class_name = kServiceClass);

// The service beside this tool, or where the build tree puts it (seen from
// tools/chimectl/ or from bench/). The tool's own extension (".exe" or none)
// is the service's too.
std::string DefaultServiceExecutable();

std::chrono::milliseconds SecondsToMilliseconds(double seconds);

// `text` as the inside of a JSON string.
std::string JsonEscape(std::string_view text);

// A stand-in for the calendar's view window: prints every copy-data message
// it receives as one JSON line {"code":N,"text":"..."} (after `prefix`),
// flushed at once, and answers 0.
class ViewWindowPrinter : public chimewell::platform::WindowHandler {
 public:
  explicit ViewWindowPrinter(std::string prefix) : prefix_(std::move(prefix)) {}
  std::intptr_t OnCopyData(std::uint64_t code, std::string_view payload) override;
  // How many messages the window has received so far.
  std::size_t Received() const { return received_; }

 private:
  std::string prefix_;
  std::size_t received_ = 0;
};

// Prints one line to standard output and flushes it.
void PrintLine(const std::string& line);

}  // namespace chimectl
