#include "store/salvage.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <vector>

#include "store/connection.h"

namespace chimewell::store {
namespace {

// The Reminders columns: CalendarID and ItemID are text, the other six
// integers or NULL.
constexpr int kColumnCount = 8;
constexpr int kTextColumns = 2;
constexpr char kInsert[] =
    "insert or ignore into Reminders (CalendarID,ItemID,ReminderType,Enabled,StartTime,Repeat,"
    "RepeatEnd,LastNotified) values (?1,?2,?3,?4,?5,?6,?7,?8)";
// A reminder is two ids and a few numbers: a longer row is none, and reading
// it would let the file choose how much is allocated.
constexpr std::uint64_t kMaxRowBytes = 1 << 20;

// The file's layout: the 100-byte header on page 1, then b-tree pages.
constexpr std::size_t kHeaderBytes = 100;
constexpr unsigned char kMagic[] = "SQLite format 3";
constexpr std::uint32_t kFallbackPageSize = 4096;
constexpr std::uint8_t kInteriorIndexPage = 2;
constexpr std::uint8_t kInteriorTablePage = 5;
constexpr std::uint8_t kLeafIndexPage = 10;
constexpr std::uint8_t kLeafTablePage = 13;
constexpr std::size_t kLeafHeaderBytes = 8;

std::uint32_t Be16(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }
std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// A varint from [at, end), moving `at` past it; nullopt when it runs past end.
std::optional<std::uint64_t> Varint(const std::uint8_t*& at, const std::uint8_t* end) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) {
    if (at >= end) return std::nullopt;
    const std::uint8_t byte = *at++;
    value = (value << 7) | (byte & 0x7f);
    if ((byte & 0x80) == 0) return value;
  }
  if (at >= end) return std::nullopt;
  return (value << 8) | *at++;
}

// The damaged file read a page at a time through SQLite's own file layer (the
// same UTF-8 paths and errors as a connection), without SQLite reading it as
// a database.
class PageFile {
 public:
  explicit PageFile(const std::string& path) : path_(path) {
    sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    if (vfs == nullptr) throw DBError("no SQLite file layer");
    storage_.resize(static_cast<std::size_t>(vfs->szOsFile) / sizeof(std::max_align_t) + 1);
    int opened_as = 0;
    const int result = vfs->xOpen(vfs, path_.c_str(), File(), SQLITE_OPEN_READONLY | SQLITE_OPEN_MAIN_DB,
                                  &opened_as);
    if (result != SQLITE_OK) {
      Close();
      throw DBError(std::string(sqlite3_errstr(result)) + ": " + path_, result);
    }
    sqlite3_int64 size = 0;
    const int sized = File()->pMethods->xFileSize(File(), &size);
    if (sized != SQLITE_OK) {
      Close();
      throw DBError(std::string(sqlite3_errstr(sized)) + ": " + path_, sized);
    }
    size_ = static_cast<std::uint64_t>(size);
  }
  ~PageFile() { Close(); }
  PageFile(const PageFile&) = delete;
  PageFile& operator=(const PageFile&) = delete;

  std::uint64_t Size() const { return size_; }
  // Reads `buffer.size()` bytes from `offset`; what lies past the end reads
  // as zeros. False when the read failed.
  bool Read(std::vector<std::uint8_t>& buffer, std::uint64_t offset) {
    const int result = File()->pMethods->xRead(File(), buffer.data(), static_cast<int>(buffer.size()),
                                               static_cast<sqlite3_int64>(offset));
    return result == SQLITE_OK || result == SQLITE_IOERR_SHORT_READ;
  }

 private:
  sqlite3_file* File() { return reinterpret_cast<sqlite3_file*>(storage_.data()); }
  void Close() {
    if (File()->pMethods != nullptr) File()->pMethods->xClose(File());
    File()->pMethods = nullptr;
  }
  const std::string path_;  // the file layer keeps a pointer to it while the file is open
  std::vector<std::max_align_t> storage_;
  std::uint64_t size_ = 0;
};

// What the header of the damaged file says, or what is assumed where it says
// nothing sound.
struct Layout {
  std::uint32_t page_size = kFallbackPageSize;
  std::uint32_t usable = kFallbackPageSize;  // page size less the reserved bytes
  int text_encoding = SQLITE_UTF8;
  std::uint32_t pages = 0;
  std::uint32_t freelist_trunk = 0;  // 0 when the header is not sound
};

std::optional<std::uint32_t> PageSizeOf(const std::vector<std::uint8_t>& header) {
  if (std::memcmp(header.data(), kMagic, sizeof kMagic) != 0) return std::nullopt;
  const std::uint32_t size = Be16(header.data() + 16) == 1 ? 65536 : Be16(header.data() + 16);
  if (size < 512 || size > 65536 || (size & (size - 1)) != 0) return std::nullopt;
  return size;
}

std::uint32_t TemplatePageSize(const std::string& template_copy) {
  PageFile file(template_copy);
  std::vector<std::uint8_t> header(kHeaderBytes);
  if (!file.Read(header, 0)) return kFallbackPageSize;
  return PageSizeOf(header).value_or(kFallbackPageSize);
}

Layout ReadLayout(PageFile& file, std::uint32_t fallback_page_size) {
  Layout layout;
  std::vector<std::uint8_t> header(kHeaderBytes);
  const bool read = file.Read(header, 0);
  const std::optional<std::uint32_t> page_size = read ? PageSizeOf(header) : std::nullopt;
  layout.page_size = page_size.value_or(fallback_page_size);
  layout.usable = layout.page_size;
  if (page_size) {
    if (layout.page_size - header[20] >= 480) layout.usable = layout.page_size - header[20];
    switch (Be32(header.data() + 56)) {
      case 2: layout.text_encoding = SQLITE_UTF16LE; break;
      case 3: layout.text_encoding = SQLITE_UTF16BE; break;
      default: break;
    }
    layout.freelist_trunk = Be32(header.data() + 32);
  }
  const std::uint64_t pages = (file.Size() + layout.page_size - 1) / layout.page_size;
  layout.pages = static_cast<std::uint32_t>(std::min<std::uint64_t>(pages, 0xfffffffe));
  return layout;
}

// The bytes a table leaf cell of a payload of `size` bytes keeps on its page.
std::uint64_t LocalPayload(std::uint64_t size, std::uint32_t usable) {
  const std::uint64_t most = usable - 35;
  if (size <= most) return size;
  const std::uint64_t least = (std::uint64_t{usable} - 12) * 32 / 255 - 23;
  const std::uint64_t local = least + (size - least) % (usable - 4);
  return local <= most ? local : least;
}

// The bytes of a record value of serial type `type`; nullopt for the types
// no record holds.
std::optional<std::uint64_t> ValueBytes(std::uint64_t type) {
  constexpr std::uint64_t kSizes[] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0};
  if (type < 10) return kSizes[type];
  if (type < 12) return std::nullopt;
  return (type - 12) / 2;
}

std::int64_t BigEndianInteger(const std::uint8_t* at, std::uint64_t bytes) {
  std::uint64_t value = (at[0] & 0x80) != 0 ? ~std::uint64_t{0} : 0;
  for (std::uint64_t i = 0; i < bytes; ++i) value = (value << 8) | at[i];
  return static_cast<std::int64_t>(value);
}

class Salvage {
 public:
  Salvage(PageFile& file, const Layout& layout, sqlite3* fresh)
      : file_(file),
        layout_(layout),
        fresh_(fresh),
        page_(layout.page_size),
        overflow_page_(layout.page_size),
        unknown_(std::size_t{layout.pages} + 1),
        overflow_(std::size_t{layout.pages} + 1),
        free_(std::size_t{layout.pages} + 1) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(fresh_, kInsert, -1, &raw, nullptr) != SQLITE_OK) Fail();
    insert_.reset(raw);
  }

  SalvageCount Run() {
    MarkFreelist();
    for (std::uint32_t number = 1; number <= layout_.pages; ++number) {
      if (!free_[number]) ReadPage(number);
    }
    for (std::uint32_t number = 1; number <= layout_.pages; ++number) {
      if (unknown_[number] && !overflow_[number]) ++count_.unreadable_pages;
    }
    return count_;
  }

 private:
  // What became of a cell: its row went to the fresh table (kept, or met
  // there already), it is no reminder, or it could not be read.
  enum class Fit { kInserted, kOtherShape, kDamaged };

  [[noreturn]] void Fail() { throw DBError(sqlite3_errmsg(fresh_), sqlite3_extended_errcode(fresh_)); }

  std::uint64_t Offset(std::uint32_t number) const { return std::uint64_t{number - 1} * layout_.page_size; }

  // Freed pages hold no rows (and what they held was deleted): left out, as
  // far as the free list can still be followed.
  void MarkFreelist() {
    std::uint32_t trunk = layout_.freelist_trunk;
    for (std::uint32_t hops = 0; trunk >= 1 && trunk <= layout_.pages && !free_[trunk] && hops < layout_.pages;
         ++hops) {
      if (!file_.Read(overflow_page_, Offset(trunk))) return;
      free_[trunk] = true;
      const std::uint32_t leaves = std::min<std::uint32_t>(Be32(overflow_page_.data() + 4), layout_.usable / 4 - 2);
      for (std::uint32_t i = 0; i < leaves; ++i) {
        const std::uint32_t leaf = Be32(overflow_page_.data() + 8 + 4 * i);
        if (leaf >= 1 && leaf <= layout_.pages) free_[leaf] = true;
      }
      trunk = Be32(overflow_page_.data());
    }
  }

  void ReadPage(std::uint32_t number) {
    if (!file_.Read(page_, Offset(number))) {
      unknown_[number] = true;
      return;
    }
    const std::size_t header = number == 1 ? kHeaderBytes : 0;
    switch (page_[header]) {
      case kLeafTablePage:
        // Page 1 holds the schema, whose rows are no data.
        if (number != 1 && !ReadLeaf(header)) ++count_.unreadable_pages;
        return;
      case kInteriorTablePage:
      case kInteriorIndexPage:
      case kLeafIndexPage:
        return;
      default:
        if (std::any_of(page_.begin() + static_cast<std::ptrdiff_t>(header), page_.end(),
                        [](std::uint8_t byte) { return byte != 0; })) {
          unknown_[number] = true;
        }
    }
  }

  // Reads the cells of the leaf page in page_; false when some cell could not
  // be read.
  bool ReadLeaf(std::size_t header) {
    const std::uint8_t* page = page_.data();
    const std::uint32_t usable = layout_.usable;
    const std::size_t cells = Be16(page + header + 3);
    const std::size_t pointers = header + kLeafHeaderBytes;
    if (pointers + 2 * cells > usable) return false;
    bool whole = true;
    for (std::size_t i = 0; i < cells; ++i) {
      const std::size_t cell = Be16(page + pointers + 2 * i);
      if (cell < pointers + 2 * cells || cell >= usable) {
        whole = false;
        continue;
      }
      const Fit fit = ReadCell(page + cell, page + usable);
      if (fit == Fit::kDamaged) whole = false;
      if (fit == Fit::kOtherShape) ++count_.other_shape;
    }
    return whole;
  }

  Fit ReadCell(const std::uint8_t* at, const std::uint8_t* end) {
    const std::optional<std::uint64_t> size = Varint(at, end);
    if (!size || !Varint(at, end)) return Fit::kDamaged;  // the rowid is not kept
    if (*size > kMaxRowBytes) return Fit::kOtherShape;
    const std::uint64_t local = LocalPayload(*size, layout_.usable);
    if (local > static_cast<std::uint64_t>(end - at)) return Fit::kDamaged;
    row_.assign(at, at + local);
    if (local < *size) {
      if (end - at - local < 4) return Fit::kDamaged;
      if (!ReadOverflow(Be32(at + local), *size - local)) return Fit::kDamaged;
    }
    return KeepRow();
  }

  // Appends `remaining` bytes from the overflow chain that starts at `next`.
  bool ReadOverflow(std::uint32_t next, std::uint64_t remaining) {
    while (remaining > 0) {
      if (next < 1 || next > layout_.pages || !file_.Read(overflow_page_, Offset(next))) return false;
      overflow_[next] = true;
      const std::uint64_t bytes = std::min<std::uint64_t>(remaining, layout_.usable - 4);
      row_.insert(row_.end(), overflow_page_.begin() + 4,
                  overflow_page_.begin() + 4 + static_cast<std::ptrdiff_t>(bytes));
      remaining -= bytes;
      next = Be32(overflow_page_.data());
    }
    return true;
  }

  // Decodes the record in row_ and inserts it when it has a reminder's shape.
  Fit KeepRow() {
    const std::uint8_t* at = row_.data();
    const std::uint8_t* const end = row_.data() + row_.size();
    const std::optional<std::uint64_t> header_size = Varint(at, end);
    if (!header_size || *header_size > row_.size()) return Fit::kDamaged;
    const std::uint8_t* const header_end = row_.data() + *header_size;
    if (at > header_end) return Fit::kDamaged;
    std::uint64_t types[kColumnCount] = {};
    int columns = 0;
    // Each value is checked against what is left of the body, so lengths the
    // file chose can not add up past the end by wrapping around.
    std::uint64_t body_left = static_cast<std::uint64_t>(end - header_end);
    while (at < header_end) {
      const std::optional<std::uint64_t> type = Varint(at, header_end);
      const std::optional<std::uint64_t> bytes = type ? ValueBytes(*type) : std::nullopt;
      if (!bytes || *bytes > body_left) return Fit::kDamaged;
      body_left -= *bytes;
      if (columns < kColumnCount) types[columns] = *type;
      ++columns;
    }
    if (columns != kColumnCount) return Fit::kOtherShape;
    sqlite3_stmt* insert = insert_.get();
    sqlite3_reset(insert);
    const std::uint8_t* value = header_end;
    for (int column = 0; column < kColumnCount; ++column) {
      const std::uint64_t type = types[column];
      const std::uint64_t bytes = *ValueBytes(type);
      int bound = SQLITE_OK;
      if (column < kTextColumns) {
        if (type < 13 || type % 2 == 0) return Fit::kOtherShape;
        bound = sqlite3_bind_text64(insert, column + 1, reinterpret_cast<const char*>(value), bytes,
                                    SQLITE_TRANSIENT, static_cast<unsigned char>(layout_.text_encoding));
      } else if (type == 0) {
        bound = sqlite3_bind_null(insert, column + 1);
      } else if (type == 8 || type == 9) {
        bound = sqlite3_bind_int64(insert, column + 1, type == 9 ? 1 : 0);
      } else if (type <= 6) {
        bound = sqlite3_bind_int64(insert, column + 1, BigEndianInteger(value, bytes));
      } else {
        return Fit::kOtherShape;
      }
      if (bound != SQLITE_OK) Fail();
      value += bytes;
    }
    if (sqlite3_step(insert) != SQLITE_DONE) Fail();
    if (sqlite3_changes(fresh_) > 0) {
      ++count_.kept;
    } else {
      ++count_.twice;
    }
    return Fit::kInserted;
  }

  PageFile& file_;
  const Layout layout_;
  sqlite3* fresh_;
  Statement insert_;
  std::vector<std::uint8_t> page_;
  std::vector<std::uint8_t> overflow_page_;
  std::vector<std::uint8_t> row_;
  // Per page number: neither empty nor a b-tree page; followed as an
  // overflow page; on the free list.
  std::vector<bool> unknown_;
  std::vector<bool> overflow_;
  std::vector<bool> free_;
  SalvageCount count_;
};

void Exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw DBError(sqlite3_errmsg(db), sqlite3_extended_errcode(db));
  }
}

}  // namespace

std::uint64_t StoreFileSize(const std::string& path) { return PageFile(path).Size(); }

SalvageCount SalvageRows(const std::string& damaged_path, const std::string& fresh_path) {
  const std::uint32_t fallback_page_size = TemplatePageSize(fresh_path);
  PageFile damaged(damaged_path);
  const Layout layout = ReadLayout(damaged, fallback_page_size);
  const Database fresh = OpenDatabase(fresh_path, SQLITE_OPEN_READWRITE);
  Exec(fresh.get(), "PRAGMA synchronous = Off");
  Exec(fresh.get(), "BEGIN");
  const SalvageCount count = Salvage(damaged, layout, fresh.get()).Run();
  Exec(fresh.get(), "COMMIT");
  return count;
}

}  // namespace chimewell::store
