// The debug-output channel: where trace text goes for a debugger or viewer.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string_view>

namespace chimewell::platform {

// Hands one piece of text (UTF-8) to the channel; the outcome is ignored.
// Windows: OutputDebugStringW. POSIX: one write() to standard error followed by
// a line feed, the channel's record separator; a line feed or carriage return
// inside the piece is written as the two characters \n or \r, so a piece stays
// one record.
void OutputDebugText(std::string_view text) noexcept;

}  // namespace chimewell::platform

namespace chimewell::platform {

// Receives the records that processes of this session write to a shared
// debug-output channel, calling `on_record` with the writer's process id and
// the text (UTF-8), until it returns false or `stop` is requested. A record
// handed over before the stop request is still delivered. `on_open` runs once
// the channel is open: a process heard at all must start writing after that
// (Windows: a writer looks for a listener once, at its first write). Returns
// true when it ends. Returns false at once, calling neither, where there is no
// shared channel (POSIX: each process's trace is its own standard error).
// Throws std::runtime_error when the channel can not be opened, or when another
// listener has it (it serves one: two would each get some of the records).
bool ListenToDebugOutput(
    const std::function<bool(std::uint32_t process_id, std::string_view text)>& on_record,
    std::stop_token stop = {}, const std::function<void()>& on_open = {});

}  // namespace chimewell::platform
