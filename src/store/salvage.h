// Reading the rows a damaged store still holds, straight from its pages.
//
// The damaged file is untrusted: nothing it holds is run as SQL, not even
// its schema. Every table page is read as bytes, and a row is kept when it
// has the shape of a reminder (the template's columns, their types), whatever
// table it sat in; it goes into the fresh store with bound parameters.
#pragma once

#include <cstdint>
#include <string>

namespace chimewell::store {

// How many rows the salvage read, and what became of them.
struct SalvageCount {
  std::int64_t kept = 0;           // now in the fresh store
  std::int64_t other_shape = 0;    // not a reminder's columns or types (another table's rows)
  std::int64_t twice = 0;          // a calendar item kept already
  std::int64_t unreadable_pages = 0;  // neither a page of the file's structure nor empty
};

// The size of the file at `path` in bytes. Throws DBError when it cannot be
// opened.
std::uint64_t StoreFileSize(const std::string& path);

// Reads every row of the damaged store at `damaged_path` that fits the
// Reminders table into the store at `fresh_path` (a copy of the template,
// whose page size is used when the damaged header names none). Each calendar
// item is kept once, the first met. Throws DBError when a file cannot be read
// or the fresh store cannot be written.
SalvageCount SalvageRows(const std::string& damaged_path, const std::string& fresh_path);

}  // namespace chimewell::store
