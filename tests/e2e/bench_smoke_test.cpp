// chimewell_bench on a small store: the bench keeps working, and, since its
// floor writes the today files with an implementation of its own, the
// service's files must come out equal to the floor's after the same commands
// on a store with every kind of reminder: a second opinion on the rebuild.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "process_runner.h"
#include "testing/temp_folder.h"

namespace chimewell::e2e {
namespace {

namespace fs = std::filesystem;

// The column of a tab-separated header and row.
std::string Column(const std::string& header, const std::string& row, const std::string& name) {
  std::istringstream names(header), values(row);
  for (std::string key, value; std::getline(names, key, '\t') && std::getline(values, value, '\t');) {
    if (key == name) return value;
  }
  ADD_FAILURE() << "no column " << name;
  return "";
}

TEST(BenchSmoke, ServiceFilesEqualTheFloorsOnAMixedStore) {
  const testing_support::TempFolder folder("cw-bench");
  const std::string& root = folder.Path();
  fs::create_directory(root + "/Documents");
  const std::string results = root + "/results.tsv";
  const ProcessOutcome outcome =
      RunProcess({CHIMEWELL_BENCH_PATH, "--exe", CHIMEWELL_PATH, "--sizes", "400", "--rounds", "3",
                  "--warmup", "0", "--pause", "0", "--out", results},
                 "", {{"XDG_RUNTIME_DIR", root}, {"XDG_DOCUMENTS_DIR", root + "/Documents"}, {"HOME", root}},
                 std::chrono::seconds(60));
  EXPECT_EQ(outcome.exit_code, 0) << outcome.out << outcome.err;

  std::ifstream in(results);
  std::string header, row;
  ASSERT_TRUE(std::getline(in, header) && std::getline(in, row)) << outcome.out << outcome.err;
  EXPECT_EQ(Column(header, row, "size"), "400");
  EXPECT_EQ(Column(header, row, "files_equal"), "1") << outcome.out;
  // The mix lists reminders in both files, so the comparison compared something.
  EXPECT_GT(std::stoi(Column(header, row, "due_reminders")), 0);
  EXPECT_GT(std::stoi(Column(header, row, "due_daysmatter")), 0);
  // The bench user's folders are gone again.
  EXPECT_TRUE(fs::is_empty(root + "/Documents/Pelicorda/Calendar/Data/users"));
}

}  // namespace
}  // namespace chimewell::e2e
