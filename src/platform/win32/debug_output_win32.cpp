// The debug-output channel: OutputDebugStringW to write, and the system-wide
// listener protocol (a mutex, two events and a 4 KiB section, all named) to
// read what the processes of this session write.
#include "platform/win32/windows_api.h"

#include <cstring>
#include <memory>
#include <stdexcept>

#include "platform/code_page.h"
#include "platform/debug_output.h"
#include "platform/files.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"

namespace chimewell::platform {

void OutputDebugText(std::string_view text) noexcept {
  try {
    // Lone surrogates (WTF-8) go out as lone UTF-16 units, as a UTF-16 writer would.
    ::OutputDebugStringW(win32::Widen(text).c_str());
  } catch (...) {
    // Out of memory: the trace has no channel left to report it on.
  }
}

namespace {

constexpr DWORD kBufferSize = 4096;  // 4 bytes of process id, then NUL-terminated ANSI text
// How soon a listener notices a stop request while no record comes.
constexpr DWORD kStopPollMilliseconds = 10;

struct ViewUnmapper {
  void operator()(const void* view) const { ::UnmapViewOfFile(view); }
};
using UniqueView = std::unique_ptr<const void, ViewUnmapper>;

[[noreturn]] void ThrowLastError(const std::string& what) {
  throw std::runtime_error("Can not open the debug-output channel (" + what +
                           "): " + SystemErrorText(static_cast<int>(::GetLastError())));
}

win32::UniqueHandle MakeEvent(const wchar_t* name) {
  win32::UniqueHandle event(::CreateEventW(nullptr, FALSE, FALSE, name));
  if (!event.Valid()) ThrowLastError(win32::Narrow(name));
  return event;
}

// The objects a listener owns while it listens.
struct Channel {
  win32::UniqueHandle mutex;  // writers take turns on it; it only has to exist
  win32::UniqueHandle buffer_ready;
  win32::UniqueHandle data_ready;
  win32::UniqueHandle section;
  UniqueView view;
};

Channel OpenChannel() {
  Channel channel;
  channel.mutex.Reset(::CreateMutexW(nullptr, FALSE, L"DBWinMutex"));
  if (!channel.mutex.Valid()) ThrowLastError("DBWinMutex");
  channel.buffer_ready = MakeEvent(L"DBWIN_BUFFER_READY");
  channel.data_ready = MakeEvent(L"DBWIN_DATA_READY");
  channel.section.Reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                             kBufferSize, L"DBWIN_BUFFER"));
  if (!channel.section.Valid()) ThrowLastError("DBWIN_BUFFER");
  // Writers only open the buffer; it exists already while another listener
  // runs, and two listeners would each get some of the records.
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    throw std::runtime_error("Another debug-output listener is running; it would take records");
  }
  channel.view.reset(::MapViewOfFile(channel.section.Get(), FILE_MAP_READ, 0, 0, kBufferSize));
  if (!channel.view) ThrowLastError("DBWIN_BUFFER view");
  return channel;
}

// Copies the record out of the shared buffer before the next writer may touch it.
bool Deliver(const Channel& channel,
             const std::function<bool(std::uint32_t, std::string_view)>& on_record) {
  char record[kBufferSize];
  std::memcpy(record, channel.view.get(), kBufferSize);
  std::uint32_t process_id = 0;
  std::memcpy(&process_id, record, sizeof process_id);
  const char* text = record + sizeof process_id;
  const std::size_t length = ::strnlen(text, kBufferSize - sizeof process_id);
  return on_record(process_id, AnsiToUtf8(std::string_view(text, length)));
}

}  // namespace

bool ListenToDebugOutput(const std::function<bool(std::uint32_t, std::string_view)>& on_record,
                         std::stop_token stop, const std::function<void()>& on_open) {
  const Channel channel = OpenChannel();
  if (on_open) on_open();
  // The stop is polled, not signalled through a std::stop_callback: this
  // toolchain's C++ library waits for a running callback with a wait that can
  // miss its wake-up, so a listener destroying its callback while the
  // requester still ran it hung both threads for good.
  for (;;) {
    ::SetEvent(channel.buffer_ready.Get());
    // A record handed over before the stop is still delivered: a stop seen
    // while no record waited looks once more, since the record may have come
    // between the wait's time-out and the look at the stop (chimectl stops
    // when the service has exited, right after its last record).
    DWORD woken;
    while ((woken = ::WaitForSingleObject(channel.data_ready.Get(), kStopPollMilliseconds)) ==
           WAIT_TIMEOUT) {
      if (stop.stop_requested()) {
        woken = ::WaitForSingleObject(channel.data_ready.Get(), 0);
        if (woken == WAIT_TIMEOUT) return true;
        break;
      }
    }
    if (woken != WAIT_OBJECT_0) {
      throw std::runtime_error("Waiting for debug output failed: " +
                               SystemErrorText(static_cast<int>(::GetLastError())));
    }
    if (!Deliver(channel, on_record) || stop.stop_requested()) return true;
  }
}

}  // namespace chimewell::platform
