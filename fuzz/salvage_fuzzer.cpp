// Fuzzes the salvage, which reads a damaged store's pages as bytes: each
// input is a store file, either taken as it is or as patches over a sound
// store of 200 reminders, four of them on overflow pages (made once from the
// template), so most inputs look
// like a store with some damage and reach the leaf, overflow and record
// readers.
//
// Input: first byte even: the rest is the file. Odd: the rest is patches,
// each a 3-byte offset into the sound store (modulo its size), a length byte
// and that many bytes.
//
// Beyond "no crash, no sanitizer report": the salvage either returns or
// throws the store's error, the fresh store passes PRAGMA integrity_check,
// and it never holds more reminders than the salvage says it kept.
#include <sqlite3.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "store/connection.h"
#include "store/salvage.h"

namespace {

namespace fs = std::filesystem;
using namespace chimewell;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "salvage_fuzzer: %s\n", what.c_str());
  std::abort();
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) Fail("cannot write " + path);
}

// Runs `sql` on a plain connection (the service's refuses nothing here, but
// the test needs no authorizer in its way either).
std::string Query(const std::string& path, const std::string& sql) {
  sqlite3* raw = nullptr;
  if (sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(raw);
    Fail("cannot open " + path);
  }
  std::string result;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(raw, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      result += text != nullptr ? reinterpret_cast<const char*>(text) : "";
    }
  } else {
    result = std::string("error: ") + sqlite3_errmsg(raw);
  }
  sqlite3_finalize(statement);
  sqlite3_close(raw);
  return result;
}

class Harness {
 public:
  Harness() {
    std::string pattern = (fs::temp_directory_path() / "cw-salvage-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) Fail("no temporary folder");
    root_ = pattern;
    const std::string sound = root_ + "/sound.db";
    WriteAll(sound, template_);
    // Every 50th id long enough that its row overflows its page.
    Query(sound,
          "with recursive n(i) as (select 1 union all select i + 1 from n where i < 200) "
          "insert into Reminders select 'Calendar-' || (i % 3), printf('item-%04d-', i) || "
          "hex(zeroblob(iif(i % 50 = 0, 3000, 4))), i % 2, 1, 1700000000 + i, i % 6, 0, nullif(i % 4, 0) "
          "from n");
    sound_ = ReadAll(sound);
    if (sound_.empty()) Fail("no sound store");
  }
  ~Harness() { fs::remove_all(root_); }

  void Run(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    std::string damaged;
    if (data[0] % 2 == 0) {
      damaged.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    } else {
      damaged = sound_;
      for (std::size_t at = 1; at + 4 <= size;) {
        const std::size_t offset =
            ((std::size_t{data[at]} << 16) | (std::size_t{data[at + 1]} << 8) | data[at + 2]) % damaged.size();
        const std::size_t length = data[at + 3];
        at += 4;
        for (std::size_t i = 0; i < length && at < size && offset + i < damaged.size(); ++i, ++at) {
          damaged[offset + i] = static_cast<char>(data[at]);
        }
      }
    }
    const std::string damaged_path = root_ + "/damaged.db";
    const std::string fresh_path = root_ + "/fresh.db";
    WriteAll(damaged_path, damaged);
    WriteAll(fresh_path, template_);
    store::SalvageCount count;
    try {
      count = store::SalvageRows(damaged_path, fresh_path);
    } catch (const store::DBError&) {
      return;  // the repair traces it and leaves the store as it was
    }
    if (Query(fresh_path, "PRAGMA integrity_check") != "ok") Fail("the fresh store is not integral");
    const std::string rows = Query(fresh_path, "select count(*) from Reminders");
    if (rows != std::to_string(count.kept)) {
      Fail("the fresh store holds " + rows + " reminders, the salvage says " + std::to_string(count.kept));
    }
  }

 private:
  std::string root_;
  const std::string template_ = ReadAll(CHIMEWELL_TEMPLATE_DB);
  std::string sound_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness harness;
  harness.Run(data, size);
  return 0;
}
