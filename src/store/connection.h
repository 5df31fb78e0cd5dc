// The store connection and its statements: a thin RAII layer over SQLite that
// fixes how the store is opened, how transactions begin and end, how values
// are bound and how rows are read. Every SQLite failure throws DBError with
// SQLite's own error text.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace chimewell::store {

class DBError : public std::runtime_error {
 public:
  explicit DBError(const std::string& message, int code = 0)
      : std::runtime_error(message), code_(code) {}
  // SQLite's extended result code; 0 when the failure did not come from SQLite.
  int Code() const noexcept { return code_; }

 private:
  int code_;
};

// True for the result codes that say the file is damaged or no database at
// all (SQLITE_CORRUPT, SQLITE_NOTADB and their extended forms).
bool IsDamageCode(int code);

// Bound text and read text lose trailing characters below 33 (blanks and
// control characters); bound text also makes the round trip through the ANSI
// code page first.
std::string_view TrimTrailingControls(std::string_view text);
std::string PrepareBoundText(std::string_view text);

struct DatabaseCloser {
  void operator()(sqlite3* db) const;
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const;
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Opens an SQLite database with the settings every connection of the service
// runs with, because the file is untrusted input (anyone who can write the
// user's folder, or a disk fault, chose its bytes): defensive mode, schema
// objects untrusted, no triggers, views or extension loading, and an
// authorizer that lets through only what the service itself does (reading
// and changing rows, transactions, the pragmas it sets or checks) and
// refuses the rest, ATTACH first of all. `flags` as for sqlite3_open_v2.
Database OpenDatabase(const std::string& path, int flags);

// The store connection: one per process, opened for each unit of work and
// closed at its end. Opening an open connection and closing a closed one do
// nothing.
class DBConnection {
 public:
  explicit DBConnection(std::string path);
  ~DBConnection();  // closes; a failing commit is lost here, so close first
  DBConnection(const DBConnection&) = delete;
  DBConnection& operator=(const DBConnection&) = delete;

  // Opens the existing store read-write (never creating it: a missing store
  // stays missing) and applies the fixed settings in order.
  void Open();
  // Commits a transaction that is still open, then closes. When that commit
  // fails the handle is closed all the same (SQLite then rolls the
  // transaction back) and the error is thrown: the connection is closed and
  // fit for the next unit of work either way.
  void Close();
  bool Connected() const { return db_ != nullptr; }

  // "BEGIN DEFERRED TRANSACTION t_<n>" / "COMMIT TRANSACTION t_<n>".
  void StartTransaction();
  void Commit();
  bool InTransaction() const;

  // Runs SQL without parameters or results.
  void ExecSQL(const std::string& sql);

  sqlite3* Handle() const { return db_.get(); }
  const std::string& Path() const { return path_; }
  // Throws DBError with the handle's error text and code, first noting
  // whether that code says the store is damaged.
  [[noreturn]] void Fail();

  // Whether any failure since the last ForgetDamage said the store is
  // damaged: the caller repairs it once its unit of work has ended.
  bool DamageSeen() const { return damage_seen_; }
  void ForgetDamage() { damage_seen_ = false; }

 private:
  [[noreturn]] void Fail(const std::string& message, int code);
  std::string path_;
  Database db_;
  std::uint64_t transaction_number_ = 0;
  bool damage_seen_ = false;
};

// One value of a result row. A text is a view of the query's own storage,
// valid while the query is open.
using DBValue = std::variant<std::monostate, std::int64_t, double, std::string_view>;

// A statement object of one unit of work: prepared from one SQL text, bound by
// parameter name (":Name"), then executed or opened as a query whose whole
// result is read at once.
class DBQuery {
 public:
  DBQuery(DBConnection& connection, const std::string& sql);
  ~DBQuery();
  DBQuery(const DBQuery&) = delete;
  DBQuery& operator=(const DBQuery&) = delete;

  void BindText(std::string_view name, std::string_view text);
  void BindInteger(std::string_view name, std::int64_t value);

  // Steps the statement to its end.
  void Execute();
  // Steps the statement to its end, keeping every row.
  void Open();

  std::size_t RecordCount() const { return row_count_; }
  std::size_t FieldCount() const { return names_.size(); }
  // The field's index by column name (first match, ASCII letter case
  // ignored); nullopt when there is no such column.
  std::optional<std::size_t> FieldIndex(std::string_view name) const;
  DBValue Value(std::size_t row, std::size_t field) const;
  // The value as text: NULL and empty both give "", trailing characters below
  // 33 removed; numbers in SQLite's own text form.
  std::string AsString(std::size_t row, std::size_t field) const;
  // AsString without a copy: a view of the stored text, or of `scratch`
  // holding a number's text. Valid while the query and `scratch` are.
  std::string_view AsStringView(std::size_t row, std::size_t field, std::string& scratch) const;

 private:
  int ParameterIndex(std::string_view name) const;
  DBConnection& connection_;
  sqlite3_stmt* statement_ = nullptr;  // owned; finalized by the destructor
  // A stored text: where it sits in its chunk's text.
  struct TextSpan {
    std::size_t offset;
    std::size_t size;
  };
  using Cell = std::variant<std::monostate, std::int64_t, double, TextSpan>;
  // The rows in chunks of kRowsPerChunk rows, FieldCount() cells each, one
  // after the other, and the texts of those rows one after the other: a few
  // allocations per chunk instead of one per row and text (the heap is slow
  // on some platforms, and a listed row holds several texts), and no
  // doubling of one big buffer (a result of 100,000 rows would then briefly
  // need room for three times its values).
  struct Chunk {
    std::vector<Cell> cells;
    std::string text;
  };
  static constexpr std::size_t kRowsPerChunk = 256;
  static constexpr std::size_t kTextBytesPerRow = 64;  // first guess; grows as needed
  std::vector<std::string> names_;
  std::vector<Chunk> chunks_;
  std::size_t row_count_ = 0;
};

}  // namespace chimewell::store
