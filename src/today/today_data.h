// Writing the today data files from the due-today statements.
#pragma once

#include <string>

#include "platform/files.h"
#include "store/connection.h"

namespace chimewell::today {

// Where one rebuild writes: the today folder and the user's cache folder
// (for the statement dumps), both ending with a separator.
struct TodayFolders {
  std::string today_dir;
  std::string user_cache_dir;
};

// Runs the timed statement and writes reminder.json (or deletes it when no
// row is due), through `files`. The new document replaces reminder.json by
// ReplaceFileAtomically (through "reminder.json~"), so the calendar never
// meets a missing or half-written file; when the move fails the old file
// stays, the "~" file keeps the new document and the failure is traced. Errors of the document stage are
// traced; errors before it (opening the store, running the statement) are
// thrown, with the connection closed. Returns true whenever it returns.
bool MakeTodayReminderData(store::DBConnection& connection, const TodayFolders& folders,
                           platform::FileSystem& files);

// The same for daysmatter.json and the day-level statement.
bool MakeTodayDaysMatterData(store::DBConnection& connection, const TodayFolders& folders,
                             platform::FileSystem& files);

}  // namespace chimewell::today
