#include "session.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/code_page.h"
#include "platform/process.h"

namespace chimectl {

namespace platform = chimewell::platform;

std::optional<platform::WindowHandle> FindServiceWindow(std::chrono::milliseconds wait,
                                                        const std::string& class_name) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (auto handle = platform::FindWindowByClass(class_name)) return handle;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

namespace {

std::string FolderOf(const std::string& path) {
  const auto cut = path.find_last_of("/\\");
  return cut == std::string::npos ? std::string(".") : path.substr(0, cut);
}

bool FileExists(const std::string& path) { return std::ifstream(path).good(); }

}  // namespace

std::string DefaultServiceExecutable() {
  const std::string self = platform::ExecutablePath();
  const std::string extension = self.size() > 4 && self.substr(self.size() - 4) == ".exe" ? ".exe" : "";
  const std::string folder = FolderOf(self);
  for (const std::string& candidate :
       {folder + "/chimewell" + extension, folder + "/../../src/host/chimewell" + extension,
        folder + "/../src/host/chimewell" + extension}) {
    if (FileExists(candidate)) return std::filesystem::weakly_canonical(candidate).string();
  }
  return "chimewell" + extension;
}

std::chrono::milliseconds SecondsToMilliseconds(double seconds) {
  return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
}

std::string JsonEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::intptr_t ViewWindowPrinter::OnCopyData(std::uint64_t code, std::string_view payload) {
  ++received_;
  PrintLine(prefix_ + "{\"code\":" + std::to_string(code) + ",\"text\":\"" +
            JsonEscape(platform::AnsiToUtf8(payload)) + "\"}");
  return 0;
}

void PrintLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace chimectl
