#include "module/quote.h"

#include <algorithm>
#include <iterator>

#include "module/grapheme_extend_table.h"
#include "module/ref.h"

namespace quarn {
namespace {

// Whether `c` has the Unicode property Grapheme_Extend (combining marks and
// the few other characters that extend the grapheme before them).
bool grapheme_extend(char32_t c) {
  auto it = std::upper_bound(kGraphemeExtend.begin(), kGraphemeExtend.end(), c,
                             [](char32_t v, const auto& r) { return v < r.first; });
  return it != kGraphemeExtend.begin() && c <= std::prev(it)->second;
}

void append_escape(std::string& out, char32_t c) {
  static constexpr char kHex[] = "0123456789abcdef";
  char digits[8];
  int n = 0;
  do {
    digits[n++] = kHex[c & 0xF];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  while (n > 0) out += digits[--n];
  out += '}';
}

// The code point at `s[i]` of well-formed UTF-8 and its length in bytes.
char32_t decode_at(std::string_view s, std::size_t i, std::size_t& len) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  if (b(0) < 0x80) { len = 1; return b(0); }
  if (b(0) < 0xE0) { len = 2; return char32_t(b(0) & 0x1F) << 6 | (b(1) & 0x3F); }
  if (b(0) < 0xF0) {
    len = 3;
    return char32_t(b(0) & 0x0F) << 12 | char32_t(b(1) & 0x3F) << 6 | (b(2) & 0x3F);
  }
  len = 4;
  return char32_t(b(0) & 0x07) << 18 | char32_t(b(1) & 0x3F) << 12 | char32_t(b(2) & 0x3F) << 6 |
         (b(3) & 0x3F);
}

}  // namespace

std::string quote_name(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out += '"';
  for (std::size_t i = 0, len = 0; i < name.size(); i += len) {
    const char32_t c = decode_at(name, i, len);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\0': out += "\\0"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      default: break;
    }
    // Not printable: Cc Cf Cs Co Cn Zl Zp, and Zs but the space.
    const bool escape = !Py_UNICODE_ISPRINTABLE(c) || (c >= 0x80 && grapheme_extend(c));
    if (escape)
      append_escape(out, c);
    else
      out.append(name.substr(i, len));
  }
  out += '"';
  return out;
}

}  // namespace quarn
