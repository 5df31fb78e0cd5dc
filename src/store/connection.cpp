#include "store/connection.h"

#include <sqlite3.h>

#include <string_view>
#include <utility>

#include "platform/code_page.h"
#include "platform/utf.h"

namespace chimewell::store {
namespace {

// The settings every open applies, in this order.
constexpr const char* kOpenPragmas[] = {
    "PRAGMA encoding = \"UTF-8\"",
    "PRAGMA cache_size = 10000",
    "PRAGMA locking_mode = Exclusive",
    "PRAGMA synchronous = Off",
    "PRAGMA journal_mode = Delete",
    "PRAGMA foreign_keys = On",
};

// The pragmas the service sets or checks; any other is refused.
constexpr std::string_view kAllowedPragmas[] = {
    "encoding", "cache_size", "locking_mode", "synchronous", "journal_mode", "foreign_keys",
    "integrity_check",
};

int Authorize(void*, int action, const char* name, const char*, const char*, const char*) {
  switch (action) {
    case SQLITE_SELECT:
    case SQLITE_READ:
    case SQLITE_INSERT:
    case SQLITE_UPDATE:
    case SQLITE_DELETE:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE:
    case SQLITE_TRANSACTION:
      return SQLITE_OK;
    case SQLITE_PRAGMA:
      for (const std::string_view allowed : kAllowedPragmas) {
        if (name != nullptr && platform::EqualsIgnoringAsciiCase(name, allowed)) return SQLITE_OK;
      }
      return SQLITE_DENY;
    default:  // ATTACH, DETACH, schema changes, savepoints, ANALYZE, REINDEX...
      return SQLITE_DENY;
  }
}

[[noreturn]] void FailOpen(sqlite3* db, int result) {
  const std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(result);
  const int code = db != nullptr ? sqlite3_extended_errcode(db) : result;
  throw DBError(message, code);
}

}  // namespace

void DatabaseCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

void StatementFinalizer::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

Database OpenDatabase(const std::string& path, int flags) {
  sqlite3* raw = nullptr;
  const int result = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Database db(raw);
  if (result != SQLITE_OK) FailOpen(db.get(), result);
  sqlite3_extended_result_codes(db.get(), 1);
  constexpr std::pair<int, int> kSettings[] = {
      {SQLITE_DBCONFIG_DEFENSIVE, 1},
      {SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0},
      {SQLITE_DBCONFIG_ENABLE_TRIGGER, 0},
      {SQLITE_DBCONFIG_ENABLE_VIEW, 0},
      {SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0},
  };
  for (const auto& [option, value] : kSettings) {
    int now = -1;
    const int set = sqlite3_db_config(db.get(), option, value, &now);
    if (set != SQLITE_OK) FailOpen(db.get(), set);
    if (now != value) throw DBError("SQLite refused a defensive setting (" + std::to_string(option) + ")");
  }
  const int authorized = sqlite3_set_authorizer(db.get(), Authorize, nullptr);
  if (authorized != SQLITE_OK) FailOpen(db.get(), authorized);
  return db;
}

std::string_view TrimTrailingControls(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.back()) < 33) text.remove_suffix(1);
  return text;
}

std::string PrepareBoundText(std::string_view text) {
  return std::string(TrimTrailingControls(platform::AnsiToUtf8(platform::Utf8ToAnsi(text))));
}

DBConnection::DBConnection(std::string path) : path_(std::move(path)) {}

DBConnection::~DBConnection() = default;

bool IsDamageCode(int code) {
  const int primary = code & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

void DBConnection::Fail() {
  if (db_ == nullptr) Fail("no database connection", 0);
  Fail(sqlite3_errmsg(db_.get()), sqlite3_extended_errcode(db_.get()));
}

void DBConnection::Fail(const std::string& message, int code) {
  if (IsDamageCode(code)) damage_seen_ = true;
  throw DBError(message, code);
}

void DBConnection::Open() {
  if (db_ != nullptr) return;
  try {
    db_ = OpenDatabase(path_, SQLITE_OPEN_READWRITE);
  } catch (const DBError& error) {
    Fail(error.what(), error.Code());
  }
  try {
    for (const char* pragma : kOpenPragmas) ExecSQL(pragma);
  } catch (...) {
    db_.reset();
    throw;
  }
}

void DBConnection::Close() {
  if (db_ == nullptr) return;
  std::optional<DBError> failure;
  if (InTransaction()) {
    try {
      ExecSQL("COMMIT TRANSACTION t_" + std::to_string(transaction_number_));
    } catch (const DBError& error) {
      failure = error;
    }
  }
  db_.reset();
  if (failure) throw *failure;
}

void DBConnection::StartTransaction() {
  ++transaction_number_;
  ExecSQL("BEGIN DEFERRED TRANSACTION t_" + std::to_string(transaction_number_));
}

void DBConnection::Commit() {
  ExecSQL("COMMIT TRANSACTION t_" + std::to_string(transaction_number_));
}

bool DBConnection::InTransaction() const {
  return db_ != nullptr && sqlite3_get_autocommit(db_.get()) == 0;
}

void DBConnection::ExecSQL(const std::string& sql) {
  if (db_ == nullptr) Fail();
  if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail();
}

DBQuery::DBQuery(DBConnection& connection, const std::string& sql) : connection_(connection) {
  if (!connection.Connected()) connection.Fail();
  if (sqlite3_prepare_v2(connection.Handle(), sql.c_str(), static_cast<int>(sql.size()),
                         &statement_, nullptr) != SQLITE_OK) {
    connection.Fail();
  }
}

DBQuery::~DBQuery() { sqlite3_finalize(statement_); }

int DBQuery::ParameterIndex(std::string_view name) const {
  const std::string key = ":" + std::string(name);
  const int index = sqlite3_bind_parameter_index(statement_, key.c_str());
  if (index == 0) throw DBError("Parameter '" + std::string(name) + "' not found");
  return index;
}

void DBQuery::BindText(std::string_view name, std::string_view text) {
  const std::string bound = PrepareBoundText(text);
  // An empty text stays text, never NULL: SQLITE_TRANSIENT with a valid pointer.
  if (sqlite3_bind_text(statement_, ParameterIndex(name), bound.c_str(),
                        static_cast<int>(bound.size()), SQLITE_TRANSIENT) != SQLITE_OK) {
    connection_.Fail();
  }
}

void DBQuery::BindInteger(std::string_view name, std::int64_t value) {
  if (sqlite3_bind_int64(statement_, ParameterIndex(name), value) != SQLITE_OK) connection_.Fail();
}

void DBQuery::Execute() {
  for (;;) {
    const int result = sqlite3_step(statement_);
    if (result == SQLITE_DONE) return;
    if (result != SQLITE_ROW) connection_.Fail();
  }
}

void DBQuery::Open() {
  const int columns = sqlite3_column_count(statement_);
  names_.clear();
  chunks_.clear();
  row_count_ = 0;
  for (int i = 0; i < columns; ++i) names_.emplace_back(sqlite3_column_name(statement_, i));
  for (;;) {
    const int result = sqlite3_step(statement_);
    if (result == SQLITE_DONE) return;
    if (result != SQLITE_ROW) connection_.Fail();
    if (row_count_ % kRowsPerChunk == 0) {
      Chunk& chunk = chunks_.emplace_back();
      chunk.cells.reserve(kRowsPerChunk * names_.size());
      chunk.text.reserve(kRowsPerChunk * kTextBytesPerRow);
    }
    Chunk& chunk = chunks_.back();
    for (int i = 0; i < columns; ++i) {
      switch (sqlite3_column_type(statement_, i)) {
        case SQLITE_INTEGER: chunk.cells.emplace_back(std::int64_t{sqlite3_column_int64(statement_, i)}); break;
        case SQLITE_FLOAT: chunk.cells.emplace_back(sqlite3_column_double(statement_, i)); break;
        case SQLITE_NULL: chunk.cells.emplace_back(std::monostate{}); break;
        default: {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, i));
          const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement_, i));
          chunk.cells.emplace_back(TextSpan{chunk.text.size(), size});
          chunk.text.append(text, size);
        }
      }
    }
    ++row_count_;
  }
}

DBValue DBQuery::Value(std::size_t row, std::size_t field) const {
  const Chunk& chunk = chunks_[row / kRowsPerChunk];
  const Cell& cell = chunk.cells[row % kRowsPerChunk * names_.size() + field];
  if (const auto* span = std::get_if<TextSpan>(&cell)) {
    return std::string_view(chunk.text).substr(span->offset, span->size);
  }
  if (const auto* integer = std::get_if<std::int64_t>(&cell)) return *integer;
  if (const auto* real = std::get_if<double>(&cell)) return *real;
  return std::monostate{};
}

std::optional<std::size_t> DBQuery::FieldIndex(std::string_view name) const {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (platform::EqualsIgnoringAsciiCase(names_[i], name)) return i;
  }
  return std::nullopt;
}

std::string DBQuery::AsString(std::size_t row, std::size_t field) const {
  std::string scratch;
  return std::string(AsStringView(row, field, scratch));
}

std::string_view DBQuery::AsStringView(std::size_t row, std::size_t field, std::string& scratch) const {
  const DBValue value = Value(row, field);
  if (const auto* text = std::get_if<std::string_view>(&value)) return TrimTrailingControls(*text);
  if (const auto* integer = std::get_if<std::int64_t>(&value)) {
    scratch = std::to_string(*integer);
  } else if (const auto* real = std::get_if<double>(&value)) {
    // SQLite's own text form of a real, as CAST(x AS TEXT) gives it.
    char text[64];
    sqlite3_snprintf(sizeof text, text, "%!.15g", *real);
    scratch = text;
  } else {
    scratch.clear();
  }
  return scratch;
}

}  // namespace chimewell::store
