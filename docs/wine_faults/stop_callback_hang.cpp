// Minimal program for the chimectl hang at the end of a session: a thread
// waits on a Win32 event that a std::stop_callback sets; the owner calls
// request_stop() and joins (as ~TraceRelay does). With the mingw-w64 GCC 12
// libstdc++ (no futex: atomic waits go through a mutex and condition variable),
// ~stop_callback in the woken thread may wait for the running callback's
// completion and miss its wakeup, and the join never returns.
//
// Build: x86_64-w64-mingw32-g++ -std=c++20 -O2 -static -o stop_callback_hang.exe stop_callback_hang.cpp
// Run:   wine stop_callback_hang.exe [rounds]   (prints the round that hung, exit 3)
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stop_token>
#include <thread>

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
  std::atomic<int> round{0};
  std::atomic<bool> joined{false};
  // Reports a join that takes more than 5 s, with the thread states, and ends the process.
  std::thread watchdog([&] {
    int last = -1;
    auto since = std::chrono::steady_clock::now();
    while (!joined.load()) {
      const int now = round.load();
      if (now != last) {
        last = now;
        since = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - since > std::chrono::seconds(5)) {
        std::printf("round %d: join still waiting after 5 s\n", now);
        std::fflush(stdout);
        std::_Exit(3);
      }
      Sleep(100);
    }
  });
  for (int i = 0; i < rounds; ++i) {
    round.store(i);
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::jthread listener([started](std::stop_token stop) {
      HANDLE stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      {
        const std::stop_callback on_stop(stop, [stopped] { SetEvent(stopped); });
        SetEvent(started);
        WaitForSingleObject(stopped, INFINITE);
      }  // ~stop_callback: may wait for request_stop() in the other thread to finish the callback
      CloseHandle(stopped);
    });
    WaitForSingleObject(started, INFINITE);
    CloseHandle(started);
    listener.request_stop();
  }  // ~jthread: join
  joined.store(true);
  watchdog.join();
  std::printf("%d rounds, no hang\n", rounds);
  return 0;
}
