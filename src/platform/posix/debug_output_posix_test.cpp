#include "platform/debug_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace chimewell::platform {
namespace {

// What OutputDebugText writes to standard error, caught through a file.
std::string Written(std::string_view piece) {
  char path[] = "/tmp/cw-debug-XXXXXX";
  const int file = ::mkstemp(path);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(file, STDERR_FILENO);
  OutputDebugText(piece);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string out(4096, '\0');
  out.resize(static_cast<std::size_t>(::pread(file, out.data(), out.size(), 0)));
  ::close(file);
  ::unlink(path);
  return out;
}

// A record ends at the line feed the channel adds, and only there: text that
// holds one cannot forge a trace record of its own.
TEST(PosixDebugOutput, OnePieceIsOneRecord) {
  struct Case {
    std::string_view piece;
    std::string_view record;
  } cases[] = {
      {"plain", "plain\n"},
      {"", "\n"},
      {"a\n       2026-01-01 00:00:00:000      1      1      forged", "a\\n       2026-01-01 00:00:00:000      1      1      forged\n"},
      {"cr\r\nlf", "cr\\r\\nlf\n"},
      {"back\\slash stays", "back\\slash stays\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(Written(c.piece), c.record) << c.piece;
}

}  // namespace
}  // namespace chimewell::platform
