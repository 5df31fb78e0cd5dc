// The reminder command protocol: one decoded command changes the store and,
// for append, update and delete, rebuilds the today data files.
#include <string>

#include "channel/reminder_command.h"
#include "host/service.h"
#include "store/reminder_store.h"
#include "trace/trace.h"

namespace chimewell::host {

std::int32_t TfrmChimewell::ProcessQueryCommand(const std::string& text) {
  trace::WriteLogFmt("ProcessQueryCommand : %s", text);
  if (!store_ready_) {
    // Nothing may reach a store that start-up has not prepared.
    trace::WriteError("Store not prepared yet: command refused.");
    return -1;
  }
  const channel::DecodedReminderCommand decoded = channel::DecodeReminderCommand(text);
  const store::ReminderCommand& command = decoded.command;
  switch (decoded.method) {
    case channel::ReminderMethod::kNone:
      break;
    case channel::ReminderMethod::kAppend:
    case channel::ReminderMethod::kUpdate:
      RunUnitOfWork([&] {
        if (decoded.method == channel::ReminderMethod::kAppend) {
          store::InsertReminderProc(*LDBConnection, command);
        } else {
          store::UpdateReminderProc(*LDBConnection, command);
        }
      });
      ReCreateReminderData();
      break;
    case channel::ReminderMethod::kDelete:
      RunUnitOfWork([&] { store::DeleteReminderProc(*LDBConnection, command); });
      ReCreateReminderData();
      break;
    case channel::ReminderMethod::kClear:
      if (RunUnitOfWork([&] { store::ClearCalendarProc(*LDBConnection, command); })) {
        ReCreateReminderData();
      }
      break;
    case channel::ReminderMethod::kAlert:
      if (decoded.alert_has_items) {
        const std::string dump = paths_.user_cache_dir + "~~Alert.dat";
        if (RunUnitOfWork([&] {
              store::MarkAlertedProc(*LDBConnection, command, clock_.UnixSeconds(), files_, dump);
            })) {
          ReCreateReminderData();
        }
      }
      break;
  }
  return -1;
}

}  // namespace chimewell::host
