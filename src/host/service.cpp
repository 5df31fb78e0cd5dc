#include "host/service.h"

#include <utility>

#include "store/reminder_store.h"
#include "trace/trace.h"

namespace chimewell::host {

TfrmChimewell::TfrmChimewell(platform::MessageLoop& loop, const platform::Clock& clock,
                             platform::FileSystem& files, LaunchValues launch, StoragePaths paths)
    : loop_(loop),
      clock_(clock),
      files_(files),
      launch_(std::move(launch)),
      paths_(std::move(paths)),
      tmrInit(loop.CreateTimer([this] { tmrInitTimer(); })),
      tmrDay(loop.CreateTimer([this] { tmrDayTimer(); })),
      day_timer_(*tmrDay, clock) {
  tmrInit->SetInterval(10);
  tmrInit->SetEnabled(true);
  FormCreate();
  window_ = loop.CreateHiddenWindow(kServiceWindowClass, kServiceWindowTitle, events_);
}

TfrmChimewell::~TfrmChimewell() { FormDestroy(); }

void TfrmChimewell::FormCreate() {
  loop_.AllowCopyDataFromOtherProcesses();
}

void TfrmChimewell::WMClose(std::uint32_t asker) {
  // The loop quits after this; an ordinary close traces nothing.
  if (asker != 0) {
    trace::WriteLogFmt("A newer service of this user (process %d) takes over: this one ends.",
                       static_cast<int>(asker));
  }
}

void TfrmChimewell::FormDestroy() { LDBConnection.reset(); }

store::PrepareDBContext TfrmChimewell::StoreContext() {
  return {files_, paths_.reminder_db, paths_.template_db, paths_.user_data_dir, [this] { loop_.Quit(); },
          clock_};
}

bool TfrmChimewell::PrepareDB() { return store::PrepareDB(LDBConnection, StoreContext()); }

bool TfrmChimewell::RepairDamagedStore() {
  if (!LDBConnection || !LDBConnection->DamageSeen()) return false;
  return store::RepairStore(*LDBConnection, store::RepairContext(StoreContext()),
                            "a unit of work met damage");
}

bool TfrmChimewell::RunUnitOfWork(const std::function<void()>& proc) {
  try {
    store::AccessDB(*LDBConnection, proc);
  } catch (const store::DBError& error) {
    // A commit that fails on damage is the repair's business; others go on.
    if (!LDBConnection->DamageSeen()) throw;
    trace::WriteException("AccessDB", error);
  }
  if (!RepairDamagedStore()) return false;
  store::AccessDB(*LDBConnection, proc);
  return true;
}

void TfrmChimewell::tmrInitTimer() {
  // Runs once: the start-up sequence is never repeated.
  tmrInit->SetEnabled(false);
  trace::WriteLog("Init Start.");
  if (!PrepareDB()) {
    trace::WriteError("PrepareDB failed.");
    loop_.Quit();
    return;
  }
  store_ready_ = true;
  trace::WriteLog("PrepareDB OK.");
  try {
    ReCreateReminderData();
  } catch (...) {
    // The day timer is armed whatever the rebuild did; its error then goes on.
    trace::WriteLogFmt("Start tmrDay after %d", day_timer_.Arm());
    throw;
  }
  trace::WriteLogFmt("Start tmrDay after %d", day_timer_.Arm());
}

}  // namespace chimewell::host
