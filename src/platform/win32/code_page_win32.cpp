#include "platform/win32/windows_api.h"

#include "platform/code_page.h"
#include "platform/utf.h"
#include "platform/win32/wide.h"

namespace chimewell::platform {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;

// `bytes` as UTF-16, or nothing when they are not valid in the code page.
bool DecodeStrict(UINT code_page, std::string_view bytes, std::wstring& out) {
  if (bytes.empty()) return true;
  const int size = static_cast<int>(bytes.size());
  const int length =
      ::MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
  if (length <= 0) return false;
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(length));
  ::MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes.data(), size, out.data() + at,
                        length);
  return true;
}

// Character by character, so that each invalid byte alone becomes U+FFFD
// (the system's own fallback would give '?' or skip it, depending on the code page).
std::wstring DecodeLenient(UINT code_page, std::string_view bytes) {
  std::wstring out;
  if (DecodeStrict(code_page, bytes, out)) return out;
  out.clear();
  for (std::size_t at = 0; at < bytes.size();) {
    const bool lead = ::IsDBCSLeadByteEx(code_page, static_cast<BYTE>(bytes[at])) != FALSE;
    if (lead && at + 1 < bytes.size() && DecodeStrict(code_page, bytes.substr(at, 2), out)) {
      at += 2;
    } else if (!lead && DecodeStrict(code_page, bytes.substr(at, 1), out)) {
      at += 1;
    } else {
      out.push_back(kReplacement);
      at += 1;
    }
  }
  return out;
}

std::string Encode(UINT code_page, std::wstring_view text, DWORD flags) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length =
      ::WideCharToMultiByte(code_page, flags, text.data(), size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string out(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(code_page, flags, text.data(), size, out.data(), length, nullptr, nullptr);
  return out;
}

}  // namespace

std::string AnsiToUtf8(std::string_view ansi) {
  const UINT code_page = ::GetACP();
  if (code_page == CP_UTF8) return StrictUtf8(ansi);
  return win32::Narrow(DecodeLenient(code_page, ansi));
}

std::string Utf8ToAnsi(std::string_view utf8) {
  const UINT code_page = ::GetACP();
  const std::wstring text = win32::Widen(utf8);
  // No "best fit": a look-alike ASCII letter in place of a missing character
  // could turn a full-width quote into a real one inside a JSON command.
  if (code_page == CP_UTF8) return Encode(code_page, text, 0);
  std::string out = Encode(code_page, text, WC_NO_BEST_FIT_CHARS);
  if (out.empty() && ::GetLastError() == ERROR_INVALID_FLAGS) out = Encode(code_page, text, 0);
  return out;
}

}  // namespace chimewell::platform
