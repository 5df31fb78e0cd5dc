// The service object: owns the hidden service window, the timers and (with the
// store) the database connection. Every event runs on the main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/message_loop.h"

namespace chimewell::host {

inline constexpr char kServiceWindowClass[] = "ChimewellWnd";
inline constexpr char kServiceWindowTitle[] = "Chimewell";

class TfrmChimewell final : public platform::WindowHandler {
 public:
  // Creates the timers (tmrInit enabled, tmrDay disabled), runs FormCreate and
  // creates the hidden window. Throws when the window cannot be made.
  explicit TfrmChimewell(platform::MessageLoop& loop);
  ~TfrmChimewell() override;  // FormDestroy
  TfrmChimewell(const TfrmChimewell&) = delete;
  TfrmChimewell& operator=(const TfrmChimewell&) = delete;

  platform::WindowHandle Handle() const { return window_->Handle(); }

  // Window messages.
  std::intptr_t OnCopyData(std::uint64_t code, std::string_view payload) override {
    return WMCopyData(code, payload);
  }
  void OnTimeChange() override { WMTimeChange(); }

  std::intptr_t WMCopyData(std::uint64_t code, std::string_view payload);
  void WMTimeChange();

 private:
  void FormCreate();
  void FormDestroy();
  void tmrInitTimer();
  void tmrDayTimer();

  platform::MessageLoop& loop_;
  std::unique_ptr<platform::Timer> tmrInit;
  std::unique_ptr<platform::Timer> tmrDay;
  std::unique_ptr<platform::Window> window_;
};

// The worker hook of asynchronous commands (code 11): nothing to do yet.
void ProcessAsyncCommand(TfrmChimewell& form, const std::string& cmd);

}  // namespace chimewell::host
