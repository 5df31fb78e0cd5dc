// Prints the version resource of a Windows program as the system reads it,
// one NAME=VALUE line each: the fixed file and product versions, then the
// strings of the first language the resource names. The cross build has no
// test framework; the native wine_e2e_test runs this under Wine on the
// built programs and checks the lines.
//
//   version_info.exe PATH      exit 0, or 1 with the reason on stderr
#include "platform/win32/windows_api.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/win32/wide.h"

namespace chimewell::platform::win32 {
namespace {

// The version resource of one file, read whole.
class VersionResource {
 public:
  explicit VersionResource(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) throw std::runtime_error("no version resource (error " + std::to_string(::GetLastError()) + ")");
    data_.resize(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, data_.data())) {
      throw std::runtime_error("reading the version resource failed (error " + std::to_string(::GetLastError()) + ")");
    }
  }

  const VS_FIXEDFILEINFO& Fixed() const {
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(Query(L"\\", sizeof(VS_FIXEDFILEINFO)));
    if (fixed->dwSignature != VS_FFI_SIGNATURE) throw std::runtime_error("the fixed file info has a bad signature");
    return *fixed;
  }

  // The string block "LLLLCCCC" of the first translation the resource lists.
  std::wstring FirstStringBlock() const {
    const auto* translation = static_cast<const WORD*>(Query(L"\\VarFileInfo\\Translation", 2 * sizeof(WORD)));
    wchar_t block[40];
    std::swprintf(block, std::size(block), L"\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);
    return block;
  }

  // The string NAME of BLOCK, or nothing when the resource lacks it.
  std::wstring String(const std::wstring& block, const wchar_t* name) const {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring key = block + name;
    if (!::VerQueryValueW(data_.data(), key.c_str(), &value, &length) || length == 0) return {};
    // The length counts the terminating zero, where there is one.
    std::wstring text(static_cast<const wchar_t*>(value), length);
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
  }

 private:
  const void* Query(const wchar_t* key, UINT at_least) const {
    void* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data_.data(), key, &value, &length) || length < at_least) {
      throw std::runtime_error("the version resource has no " + Narrow(key));
    }
    return value;
  }

  std::vector<unsigned char> data_;
};

std::string FourPart(DWORD most, DWORD least) {
  return std::to_string(HIWORD(most)) + "." + std::to_string(LOWORD(most)) + "." + std::to_string(HIWORD(least)) +
         "." + std::to_string(LOWORD(least));
}

void Print(const std::wstring& path) {
  const VersionResource resource(path);
  const VS_FIXEDFILEINFO& fixed = resource.Fixed();
  std::printf("FixedFileVersion=%s\n", FourPart(fixed.dwFileVersionMS, fixed.dwFileVersionLS).c_str());
  std::printf("FixedProductVersion=%s\n", FourPart(fixed.dwProductVersionMS, fixed.dwProductVersionLS).c_str());
  const std::wstring block = resource.FirstStringBlock();
  for (const wchar_t* name : {L"ProductName", L"ProductVersion", L"FileVersion", L"FileDescription",
                              L"CompanyName", L"OriginalFilename"}) {
    std::printf("%s=%s\n", Narrow(name).c_str(), Narrow(resource.String(block, name)).c_str());
  }
}

}  // namespace
}  // namespace chimewell::platform::win32

int main(int argc, char** argv) {
  using namespace chimewell::platform;
  RecordArguments(argc, argv);
  const auto arguments = CommandLineArguments();
  if (arguments.size() != 2) {
    std::fprintf(stderr, "usage: version_info PATH\n");
    return 2;
  }
  try {
    win32::Print(win32::Widen(arguments[1]));
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "version_info: %s: %s\n", arguments[1].c_str(), error.what());
    return 1;
  }
}
