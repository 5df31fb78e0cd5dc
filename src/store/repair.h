// Noticing a damaged store and making it whole again.
//
// The store runs without syncs, so a power cut or a system crash can leave
// any mix of a transaction's old and new pages on disk. Such a store is kept
// aside for whoever wants to look at it, and a fresh store made from the
// template, holding every row that can still be read, takes its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "store/connection.h"
#include "store/salvage.h"

namespace chimewell::store {

// The schema of the template store at `path`, one text per entry (type, name,
// table, SQL) in a fixed order. Throws DBError when it cannot be read.
std::vector<std::string> TemplateSchema(const std::string& path);

// What is wrong with an open connection's store, nullopt when nothing is:
// a schema other than `template_schema` (a table, column or index missing or
// different, any other table, view, trigger or index), else what the store's
// own check (PRAGMA integrity_check) finds, its first lines joined. An empty
// `template_schema` (the template could not be read) compares nothing. A
// check that cannot run throws DBError (the connection notes a damage code).
std::optional<std::string> FindStoreDamage(DBConnection& connection,
                                           const std::vector<std::string>& template_schema);

// The name the damaged store is kept under: the store's name with
// ".damaged-YYYYMMDD-HHMMSS" (local time), and "-2", "-3"... when a copy of
// that second exists already.
std::string DamagedCopyName(platform::FileSystem& files, const std::string& store_path,
                            const platform::LocalDateTime& now);

// How many kept copies of damaged stores a user's folder holds at most: the
// oldest go first.
inline constexpr std::size_t kMostDamagedCopies = 3;

// Keeps the store at `store_path` aside under DamagedCopyName: a second name
// for the same file where the file system allows it (no room needed, a
// sparse file stays sparse), else a copy. Returns the name. A copy that
// fails is removed and its FileError goes to the caller.
std::string KeepDamagedStore(platform::FileSystem& files, const std::string& store_path,
                             const platform::LocalDateTime& now);

// Removes the oldest kept copies of the store at `store_path` (by the time
// in their names) until at most kMostDamagedCopies are left. A copy that
// cannot be removed is traced and left.
void RemoveOldDamagedCopies(platform::FileSystem& files, const std::string& store_path);

// Puts a copy of the template at `store_path` in one step; `fill`, when
// given, works on the copy before it takes the name. A failure leaves no
// partial copy behind and its exception goes to the caller.
void MakeStoreFromTemplate(platform::FileSystem& files, const std::string& template_path,
                           const std::string& store_path,
                           const std::function<void(const std::string& copy)>& fill = {});

struct StoreRepairContext {
  platform::FileSystem& files;
  std::string reminder_db_path;
  std::string template_path;
  platform::LocalDateTime now;  // names the kept copy
};

// Closes `connection`, makes a fresh store from the template beside the
// store with the salvaged rows, keeps the damaged store aside
// (KeepDamagedStore; not a zero-length one) and puts the fresh store in its
// place in one step (the store's name always holds the damaged store or the
// repaired one, never neither); then removes old copies beyond the bound.
// Each step is traced as an error; `reason` says what was found. Clears the
// connection's damage note. True when the fresh store is in place; a step
// that fails (no template, a full disk) is traced and gives false, and then
// the store stays as it was and no copy is left behind.
bool RepairStore(DBConnection& connection, const StoreRepairContext& context, const std::string& reason);

}  // namespace chimewell::store
