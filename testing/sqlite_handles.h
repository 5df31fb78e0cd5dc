// Owning handles for the raw SQLite objects that test code opens directly.
#pragma once

#include <memory>

#include <sqlite3.h>

namespace chimewell::testing_support {

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct FinalizeStatement {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

}  // namespace chimewell::testing_support
