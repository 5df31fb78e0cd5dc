// Noticing a damaged store and making it whole again.
//
// The store runs without syncs, so a power cut or a system crash can leave
// any mix of a transaction's old and new pages on disk. Such a store is kept
// aside for whoever wants to look at it, and a fresh store made from the
// template, holding every row that can still be read, takes its place.
#pragma once

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

// Puts a copy of the template at `store_path` in one step; `fill`, when
// given, works on the copy before it takes the name. A failure leaves no
// partial copy behind and its FileError goes to the caller.
void MakeStoreFromTemplate(platform::FileSystem& files, const std::string& template_path,
                           const std::string& store_path,
                           const std::function<void(const std::string& copy)>& fill = {});

struct StoreRepairContext {
  platform::FileSystem& files;
  std::string reminder_db_path;
  std::string template_path;
  platform::LocalDateTime now;  // names the kept copy
};

// Closes `connection`, keeps the damaged store under DamagedCopyName, and puts
// a fresh store from the template with the salvaged rows in its place in one
// step (the store's name always holds the damaged store or the repaired one,
// never neither). Each step is traced as an error; `reason` says what was
// found. Clears the connection's damage note. True when the fresh store is in
// place; a step that fails is traced and gives false, the store then stays
// as it was.
bool RepairStore(DBConnection& connection, const StoreRepairContext& context, const std::string& reason);

}  // namespace chimewell::store
