// Type-safe printf-style formatting for trace texts: %s, %d, %x and a minimum
// width between "%" and the letter. A directive whose argument is missing or of
// a kind it does not take throws FormatError.
#pragma once

#include <array>
#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/utf.h"

namespace chimewell::trace {

// A format that cannot be applied to its arguments.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace detail {

// One argument as the formatter sees it. Strings are borrowed, never copied.
struct FormatArg {
  enum class Kind : unsigned char { kString, kInteger, kOther };
  Kind kind = Kind::kOther;
  std::string_view text;      // kString
  std::int64_t value = 0;     // kInteger; a 64-bit unsigned value wraps to signed
  bool narrow = false;        // kInteger: the type is at most 32 bits wide
};

// Integers a directive may take. Character types and bool are left out: as
// numbers they are nearly always a mistake at the call site.
template <typename T>
concept FormatInteger = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> &&
                        !std::same_as<T, wchar_t> && !std::same_as<T, char8_t> &&
                        !std::same_as<T, char16_t> && !std::same_as<T, char32_t>;

template <typename T>
FormatArg MakeFormatArg(const T& arg) {
  using Plain = std::remove_cv_t<T>;
  if constexpr (FormatInteger<Plain>) {
    return {FormatArg::Kind::kInteger, {}, static_cast<std::int64_t>(arg), sizeof(Plain) <= 4};
  } else if constexpr (std::is_array_v<Plain> &&
                       std::same_as<std::remove_cv_t<std::remove_extent_t<Plain>>, char>) {
    // A character array ends at its first NUL, or at its end if it has none.
    const std::string_view whole(arg, std::extent_v<Plain>);
    return {FormatArg::Kind::kString, whole.substr(0, whole.find('\0'))};
  } else if constexpr (std::same_as<Plain, const char*> || std::same_as<Plain, char*>) {
    if (arg == nullptr) return {};  // a null text is a caller's bug; let the directive refuse it
    return {FormatArg::Kind::kString, std::string_view(arg)};
  } else if constexpr (std::is_convertible_v<const Plain&, std::string_view>) {
    return {FormatArg::Kind::kString, std::string_view(arg)};
  } else {
    return {};
  }
}

[[noreturn]] inline void ThrowIncompatible(std::string_view directive) {
  throw FormatError("Format '" + std::string(directive) + "' invalid or incompatible with argument");
}

inline void AppendPadded(std::string& out, std::size_t width, std::size_t length, std::string_view value) {
  if (width > length) out.append(width - length, ' ');
  out.append(value);
}

// Applies one %s, %d or %x directive to its argument; with `out` null only
// checks that the directive takes the argument.
inline void AppendDirective(std::string* out, char letter, std::size_t width, const FormatArg& arg,
                            std::string_view directive) {
  if (letter == 's') {
    if (arg.kind != FormatArg::Kind::kString) ThrowIncompatible(directive);
    if (out == nullptr) return;
    // Width counts UTF-16 units, the unit in which the trace is measured.
    AppendPadded(*out, width, width == 0 ? 0 : platform::Utf16Length(arg.text), arg.text);
    return;
  }
  if (arg.kind != FormatArg::Kind::kInteger) ThrowIncompatible(directive);
  // %x reads a 32-bit integer as unsigned: -1 is FFFFFFFF. Wider types would lose bits.
  if (letter == 'x' && !arg.narrow) ThrowIncompatible(directive);
  if (out == nullptr) return;
  std::array<char, 24> digits{};
  std::to_chars_result written{};
  if (letter == 'd') {
    written = std::to_chars(digits.data(), digits.data() + digits.size(), arg.value);
  } else {
    written = std::to_chars(digits.data(), digits.data() + digits.size(), static_cast<std::uint32_t>(arg.value), 16);
    for (char* digit = digits.data(); digit != written.ptr; ++digit) {
      if (*digit >= 'a' && *digit <= 'f') *digit = static_cast<char>(*digit - 'a' + 'A');
    }
  }
  const auto length = static_cast<std::size_t>(written.ptr - digits.data());
  AppendPadded(*out, width, length, std::string_view(digits.data(), length));
}

// A width beyond this is a typo, not a layout.
inline constexpr std::size_t kMaxWidth = 4096;

// Expands `format` with `args` into `*out` in one pass; each directive takes
// the next argument, arguments left over are ignored. With `out` null the same
// pass only checks, throwing exactly where the expansion would.
inline void ExpandFormat(std::string* out, std::string_view format, std::span<const FormatArg> args) {
  std::size_t next_arg = 0;
  std::size_t at = 0;
  while (at < format.size()) {
    const std::size_t percent = format.find('%', at);
    if (percent == std::string_view::npos) {
      if (out != nullptr) out->append(format.substr(at));
      break;
    }
    if (out != nullptr) out->append(format.substr(at, percent - at));

    std::size_t cursor = percent + 1;
    std::size_t width = 0;
    bool too_wide = false;
    while (cursor < format.size() && format[cursor] >= '0' && format[cursor] <= '9') {
      if (!too_wide) {
        width = width * 10 + static_cast<std::size_t>(format[cursor] - '0');
        too_wide = width > kMaxWidth;
      }
      ++cursor;
    }
    if (cursor == format.size()) ThrowIncompatible(format.substr(percent));
    const char letter = format[cursor];
    const std::string_view directive = format.substr(percent, cursor + 1 - percent);
    at = cursor + 1;
    if (too_wide) ThrowIncompatible(directive);

    if (letter == '%' && directive.size() == 2) {
      if (out != nullptr) out->push_back('%');
      continue;
    }
    if (letter != 's' && letter != 'd' && letter != 'x') ThrowIncompatible(directive);
    if (next_arg == args.size()) {
      throw FormatError("No argument for format '" + std::string(directive) + "'");
    }
    AppendDirective(out, letter, width, args[next_arg++], directive);
  }
}

inline std::string FormatArgs(std::string_view format, std::span<const FormatArg> args) {
  std::string out;
  out.reserve(format.size() + 16 * args.size());
  ExpandFormat(&out, format, args);
  return out;
}

// Throws what FormatArgs would throw, without building any text.
inline void CheckFormatArgs(std::string_view format, std::span<const FormatArg> args) {
  ExpandFormat(nullptr, format, args);
}

}  // namespace detail

// printf-style text from `format`:
//   %s  a string (std::string, std::string_view, const char*, char array)
//   %d  an integer up to 64 bits, written as signed decimal (a 64-bit
//       unsigned value above the signed range wraps)
//   %x  an integer up to 32 bits, read as unsigned, in upper-case hex with no
//       prefix or leading zeros (-1 gives FFFFFFFF)
//   %%  a percent sign
// A number between "%" and the letter is a minimum width, blank-filled on the
// left; a longer value is written whole. Throws FormatError for an unknown
// directive, a missing argument or an argument the directive does not take.
template <typename... Args>
std::string Format(std::string_view format, const Args&... args) {
  const std::array<detail::FormatArg, sizeof...(Args)> packed{detail::MakeFormatArg(args)...};
  return detail::FormatArgs(format, packed);
}

}  // namespace chimewell::trace
