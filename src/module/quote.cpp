#include "module/quote.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "module/ref.h"

namespace quarn {
namespace {

// Grapheme_Extend is the marks Mn and Me plus these few other characters
// (Other_Grapheme_Extend); the marks come from the runtime's tables.
constexpr std::array<std::pair<char32_t, char32_t>, 26> kOtherGraphemeExtend{{
    {0x09BE, 0x09BE}, {0x09D7, 0x09D7}, {0x0B3E, 0x0B3E}, {0x0B57, 0x0B57},
    {0x0BBE, 0x0BBE}, {0x0BD7, 0x0BD7}, {0x0CC2, 0x0CC2}, {0x0CD5, 0x0CD6},
    {0x0D3E, 0x0D3E}, {0x0D57, 0x0D57}, {0x0DCF, 0x0DCF}, {0x0DDF, 0x0DDF},
    {0x1B35, 0x1B35}, {0x200C, 0x200C}, {0x302E, 0x302F}, {0xFF9E, 0xFF9F},
    {0x1133E, 0x1133E}, {0x11357, 0x11357}, {0x114B0, 0x114B0}, {0x114BD, 0x114BD},
    {0x115AF, 0x115AF}, {0x11930, 0x11930}, {0x1D165, 0x1D165}, {0x1D16E, 0x1D172},
    {0xE0020, 0xE007F}, {0x1F3FB, 0x1F3FF},
}};

bool other_grapheme_extend(char32_t c) {
  return std::any_of(kOtherGraphemeExtend.begin(), kOtherGraphemeExtend.end(),
                     [c](auto r) { return c >= r.first && c <= r.second; });
}

// Whether `c` is a nonspacing or enclosing mark by the runtime's tables.
// Returns -1 with an exception set when the tables cannot be consulted.
int is_mark(PyObject* category, char32_t c) {
  Ref ch = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
  if (!ch) return -1;
  Ref cat = Ref::steal(PyObject_CallOneArg(category, ch.get()));
  if (!cat) return -1;
  const char* s = PyUnicode_AsUTF8(cat.get());
  if (s == nullptr) return -1;
  return s[0] == 'M' && (s[1] == 'n' || s[1] == 'e') ? 1 : 0;
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

bool quote_name(std::string_view name, std::string& out) {
  Ref category;  // unicodedata.category, looked up at the first non-ASCII character
  out.clear();
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
    bool escape = !Py_UNICODE_ISPRINTABLE(c);  // Cc Cf Cs Co Cn Zl Zp, Zs but the space
    if (!escape && c >= 0x80) {
      if (!category) {
        Ref unicodedata = Ref::steal(PyImport_ImportModule("unicodedata"));
        if (!unicodedata) return false;
        category = Ref::steal(PyObject_GetAttrString(unicodedata.get(), "category"));
        if (!category) return false;
      }
      int mark = is_mark(category.get(), c);
      if (mark < 0) return false;
      escape = mark == 1 || other_grapheme_extend(c);
    }
    if (escape)
      append_escape(out, c);
    else
      out.append(name.substr(i, len));
  }
  out += '"';
  return true;
}

}  // namespace quarn
