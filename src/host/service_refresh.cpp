// The refresh cycle of the service object: rebuilding the today data files,
// telling the calendar, the day rollover and clock changes.
#include <string>

#include "channel/notify_host.h"
#include "host/service.h"
#include "platform/files.h"
#include "platform/process.h"
#include "today/today_data.h"
#include "trace/trace.h"

namespace chimewell::host {
namespace {

constexpr char kTodayDataRefreshed[] = "{\"method\":\"ToayReminderDataRefreshed\"}";

}  // namespace

void TfrmChimewell::ReCreateReminderData() {
  RebuildTodayFiles();
  // Damage met while reading, or by the unit of work before: the files are
  // rebuilt from the repaired store.
  if (RepairDamagedStore()) RebuildTodayFiles();
}

void TfrmChimewell::RebuildTodayFiles() {
  trace::WriteLog("ReCreateReminderData >");
  const std::string& user_cache_dir = paths_.user_cache_dir;
  const std::string today_dir = user_cache_dir + "today" + platform::PathSeparator();
  try {
    if (!files_.DirectoryExists(today_dir)) files_.CreateDirectories(today_dir);
  } catch (const platform::FileError&) {
    trace::WriteErrorFmt("Make dir %s failed.", today_dir);
    loop_.Quit();
    return;
  }
  trace::WriteLogFmt("ReCreateReminderData make dir %s ok.", today_dir);
  try {
    const today::TodayFolders folders{today_dir, user_cache_dir};
    if (today::MakeTodayReminderData(*LDBConnection, folders, files_) &&
        today::MakeTodayDaysMatterData(*LDBConnection, folders, files_)) {
      NotifyTodayDataRefreshed();
    }
  } catch (const std::exception& error) {
    trace::WriteException("ReCreateReminderData", error);
  }
}

void TfrmChimewell::NotifyCalendar(const std::string& text) {
  const platform::WindowHandle view = launch_.calendar_view_wnd;
  if (!platform::IsWindow(view)) {
    trace::WriteError("NotifyCalendar failed.");
    return;
  }
  channel::NotifyHost(loop_, view, channel::HOST_NOTIFY_CODE, text);
  trace::WriteLog("NotifyCalendar over.");
}

void TfrmChimewell::NotifyTodayDataRefreshed() { NotifyCalendar(kTodayDataRefreshed); }

void TfrmChimewell::tmrDayTimer() {
  trace::WriteLog("tmrDay >");
  day_timer_.Disable();
  if (day_timer_.DayChanged()) {
    trace::WriteLog("tmrDayTimer-Auto-ReCreateReminderData");
    try {
      ReCreateReminderData();
    } catch (const std::exception& error) {
      trace::WriteException("tmrDayTimer-Auto-ReCreateReminderData", error);
    }
  }
  trace::WriteLogFmt("ReStart tmrDay after %d", day_timer_.Arm());
}

void TfrmChimewell::ResumeFromSleep() {
  // Timers do not count while the machine sleeps: after a night asleep the
  // midnight firing would come hours late, so check the day at once.
  if (day_timer_.Armed()) tmrDayTimer();
}

void TfrmChimewell::WMTimeChange() {
  trace::WriteLog("Handle Timechanged.");
  if (!store_ready_) {
    // The store is not prepared yet: the start-up rebuild comes anyway.
    trace::WriteError("Store not prepared yet: nothing rebuilt.");
    return;
  }
  try {
    ReCreateReminderData();
  } catch (const std::exception& error) {
    trace::WriteException("Handle-Timechanged-ReCreateReminderData", error);
  }
}

}  // namespace chimewell::host
