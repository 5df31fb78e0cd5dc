#include "host/frmChimewell.h"

#include "trace/uLog.h"

namespace chimewell::host {

TfrmChimewell::TfrmChimewell(platform::MessageLoop& loop)
    : loop_(loop),
      tmrInit(loop.CreateTimer([this] { tmrInitTimer(); })),
      tmrDay(loop.CreateTimer([this] { tmrDayTimer(); })) {
  tmrInit->SetInterval(10);
  tmrInit->SetEnabled(true);
  tmrDay->SetInterval(5000);
  FormCreate();
  window_ = loop.CreateHiddenWindow(kServiceWindowClass, kServiceWindowTitle, *this);
}

TfrmChimewell::~TfrmChimewell() { FormDestroy(); }

void TfrmChimewell::FormCreate() { loop_.AllowCopyDataFromOtherProcesses(); }

void TfrmChimewell::FormDestroy() {}

void TfrmChimewell::tmrInitTimer() {
  // Runs once: the start-up sequence is never repeated.
  tmrInit->SetEnabled(false);
  trace::WriteLog("Init Start.");
}

void TfrmChimewell::tmrDayTimer() { tmrDay->SetEnabled(false); }

void TfrmChimewell::WMTimeChange() { trace::WriteLog("Handle Timechanged."); }

}  // namespace chimewell::host
