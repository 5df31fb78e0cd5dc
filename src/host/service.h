// The service object: owns the hidden service window, the timers and the
// store connection. Every event runs on the main thread. Its methods live
// beside this header, one file per topic (service_<topic>.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "host/launch.h"
#include "host/storage_paths.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/message_loop.h"
#include "store/connection.h"
#include "store/reminder_store.h"
#include "today/day_timer.h"

namespace chimewell::host {

inline constexpr char kServiceWindowClass[] = "ChimewellWnd";
inline constexpr char kServiceWindowTitle[] = "Chimewell";

class TfrmChimewell final {
 public:
  // Creates the timers (tmrInit enabled, tmrDay disabled), runs FormCreate and
  // creates the hidden window. Throws when the window cannot be made. The store
  // and the today files are reached through `files`, at `paths`.
  TfrmChimewell(platform::MessageLoop& loop, const platform::Clock& clock, platform::FileSystem& files,
                LaunchValues launch, StoragePaths paths);
  ~TfrmChimewell();  // FormDestroy
  TfrmChimewell(const TfrmChimewell&) = delete;
  TfrmChimewell& operator=(const TfrmChimewell&) = delete;

  platform::WindowHandle Handle() const { return window_->Handle(); }

  // Window messages, each under one name.
  std::intptr_t WMCopyData(std::uint64_t code, std::string_view payload);
  void WMTimeChange();
  // A close request; `asker` names the process of a newer service of this
  // user that takes over (0: any other close).
  void WMClose(std::uint32_t asker);
  // The machine resumed from sleep.
  void ResumeFromSleep();
  // Carries out one reminder command; -1 on every path that returns.
  std::int32_t ProcessQueryCommand(const std::string& text);

  // Rebuilds the today data files and tells the calendar view window.
  void ReCreateReminderData();
  void NotifyCalendar(const std::string& text);
  void NotifyTodayDataRefreshed();

 private:
  // Hands the window's messages to the form's handlers.
  class WindowEvents final : public platform::WindowHandler {
   public:
    explicit WindowEvents(TfrmChimewell& form) : form_(form) {}
    std::intptr_t OnCopyData(std::uint64_t code, std::string_view payload) override {
      return form_.WMCopyData(code, payload);
    }
    void OnTimeChange() override { form_.WMTimeChange(); }
    void OnResume() override { form_.ResumeFromSleep(); }
    void OnClose(std::uint32_t asker) override { form_.WMClose(asker); }

   private:
    TfrmChimewell& form_;
  };

  void FormCreate();
  void FormDestroy();
  void tmrInitTimer();
  void tmrDayTimer();
  bool PrepareDB();
  store::PrepareDBContext StoreContext();
  // Runs `proc` as one unit of work (store::AccessDB). When it meets a
  // damaged store, the store is repaired and `proc` runs once more on the
  // repaired one; true then, and the caller rebuilds the today files.
  bool RunUnitOfWork(const std::function<void()>& proc);
  // Repairs the store when a unit of work has met damage; true when it did.
  bool RepairDamagedStore();
  // The today data files from the store, and the calendar told.
  void RebuildTodayFiles();

  platform::MessageLoop& loop_;
  const platform::Clock& clock_;
  platform::FileSystem& files_;
  const LaunchValues launch_;
  const StoragePaths paths_;
  // The store connection: none until PrepareDB creates it.
  std::unique_ptr<store::DBConnection> LDBConnection;
  // Set once PrepareDB has succeeded: before that, commands and clock changes
  // must not reach the store.
  bool store_ready_ = false;
  std::unique_ptr<platform::Timer> tmrInit;
  std::unique_ptr<platform::Timer> tmrDay;
  today::DayTimer day_timer_;
  WindowEvents events_{*this};
  std::unique_ptr<platform::Window> window_;
};

// The worker hook of asynchronous commands (code 11): nothing to do yet.
void ProcessAsyncCommand(TfrmChimewell& form, const std::string& cmd);

}  // namespace chimewell::host
