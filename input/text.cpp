#include "input/text.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace vexel::input {

namespace {

bool isTrimmed(UChar32 c) {
  return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR;
}

std::int32_t length32(std::string_view s) {
  return static_cast<std::int32_t>(s.size());
}

}  // namespace

std::string toValidUtf8(std::string bytes) {
  // U8_NEXT works with 32-bit offsets; longer input is taken in slices cut at
  // sequence boundaries, which never split a well-formed character.
  std::string out;
  std::size_t base = 0;
  bool copied = false;
  while (base < bytes.size()) {
    constexpr std::size_t kSlice = std::size_t{1} << 30;
    std::size_t sliceEnd = std::min(bytes.size(), base + kSlice);
    while (sliceEnd < bytes.size() && U8_IS_TRAIL(static_cast<std::uint8_t>(bytes[sliceEnd])) &&
           sliceEnd > base + 1) {
      --sliceEnd;
    }
    const std::string_view slice = std::string_view(bytes).substr(base, sliceEnd - base);
    const auto* s = reinterpret_cast<const std::uint8_t*>(slice.data());
    const std::int32_t n = length32(slice);
    std::int32_t i = 0;
    while (i < n) {
      const std::int32_t start = i;
      UChar32 c = 0;
      U8_NEXT(s, i, n, c);
      if (c >= 0) {
        if (copied) out.append(slice.substr(start, i - start));
        continue;
      }
      if (!copied) {
        out.reserve(bytes.size() + 8);
        out.append(bytes, 0, base + start);
        copied = true;
      }
      out.append("\xEF\xBF\xBD");
    }
    base = sliceEnd;
  }
  if (copied) return out;
  return bytes;
}

std::string_view trimSpaces(std::string_view utf8) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const auto n = static_cast<std::int64_t>(utf8.size());
  std::int64_t begin = 0;
  while (begin < n) {
    std::int32_t i = 0;
    UChar32 c = 0;
    const auto rest = static_cast<std::int32_t>(std::min<std::int64_t>(n - begin, 4));
    U8_NEXT(s + begin, i, rest, c);
    if (c < 0 || !isTrimmed(c)) break;
    begin += i;
  }
  std::int64_t end = n;
  while (end > begin) {
    const auto window = static_cast<std::int32_t>(std::min<std::int64_t>(end - begin, 4));
    const std::uint8_t* tail = s + end - window;
    std::int32_t i = window;
    UChar32 c = 0;
    U8_PREV(tail, 0, i, c);
    if (c < 0 || !isTrimmed(c)) break;
    end -= window - i;
  }
  return utf8.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

std::string toLower(std::string_view utf8) {
  std::string out;
  icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), length32(utf8)))
      .toLower(icu::Locale::getRoot())
      .toUTF8String(out);
  return out;
}

std::u16string toUtf16(std::string_view utf8) {
  const icu::UnicodeString text =
      icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), length32(utf8)));
  return {reinterpret_cast<const char16_t*>(text.getBuffer()),
          static_cast<std::size_t>(text.length())};
}

}  // namespace vexel::input
