// The debug-output channel: where trace text goes for a debugger or viewer.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace chimewell::platform {

// Hands one piece of text (UTF-8) to the channel; the outcome is ignored.
// Windows: OutputDebugStringW. POSIX: one write() to standard error followed by
// a line feed, the channel's record separator.
void OutputDebugText(std::string_view text) noexcept;

}  // namespace chimewell::platform

namespace chimewell::platform {

// Receives the records that processes of this session write to a shared
// debug-output channel, calling `on_record` with the writer's process id and
// the text, until it returns false. Returns false at once where there is no
// shared channel (POSIX: each process's trace is its own standard error).
bool ListenToDebugOutput(
    const std::function<bool(std::uint32_t process_id, std::string_view text)>& on_record);

}  // namespace chimewell::platform
