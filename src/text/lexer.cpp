#include "text/lexer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>

namespace quarn::text {
namespace {

constexpr std::array<std::string_view, 17> kKeywords = {
    "HEADER", "TYPE",    "SWEEP",  "TRACE",  "VALUE", "END", "PROP", "FLOAT", "DOUBLE",
    "COMPLEX", "STRING", "STRUCT", "ARRAY",  "INT",   "BYTE", "LONG", "GROUP"};

constexpr bool is_space(char c) noexcept { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// Byte classes for the scanning loops: what ends a word, and what a string's
// scan must stop at (its quote, a backslash, a byte of a multi-byte sequence).
constexpr unsigned char kWordEnd = 1, kStringStop = 2;
constexpr std::array<unsigned char, 256> kClass = [] {
  std::array<unsigned char, 256> t{};
  for (char c : {' ', '\n', '\t', '\r', '(', ')'}) t[static_cast<unsigned char>(c)] |= kWordEnd;
  t['"'] |= kStringStop;
  t['\\'] |= kStringStop;
  for (std::size_t c = 0x80; c < 256; ++c) t[c] |= kStringStop;
  return t;
}();
constexpr bool ends_word(char c) noexcept { return kClass[static_cast<unsigned char>(c)] & kWordEnd; }

// The end of the longest prefix of data[start..] that is a finite number (the
// grammar's first form), or `start` when none is; `real` tells its kind.
std::size_t scan_number(std::string_view data, std::size_t start, bool& real) noexcept {
  const std::size_t n = data.size();
  std::size_t i = start;
  if (data[i] == '+' || data[i] == '-') ++i;
  const std::size_t int_start = i;
  while (i < n && is_digit(data[i])) ++i;
  std::size_t digits = i - int_start;
  real = false;
  if (i < n && data[i] == '.') {
    const std::size_t frac_start = ++i;
    while (i < n && is_digit(data[i])) ++i;
    digits += i - frac_start;
    real = true;
  }
  if (digits == 0) return start;
  if (i < n && (data[i] == 'e' || data[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < n && (data[j] == '+' || data[j] == '-')) ++j;
    const std::size_t exp_start = j;
    while (j < n && is_digit(data[j])) ++j;
    if (j > exp_start) {  // otherwise the exponent is not part of the number
      real = true;
      i = j;
    }
  }
  return i;
}

// The length of the well-formed UTF-8 sequence at `p` (lead byte >= 0x80),
// or 0 when it is ill-formed or cut off within `avail` bytes.
std::size_t utf8_length(const unsigned char* p, std::size_t avail) noexcept {
  const unsigned char c = p[0];
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (avail < len || p[1] < lo || p[1] > hi) return 0;
  for (std::size_t k = 2; k < len; ++k)
    if (!is_continuation(p[k])) return 0;
  return len;
}

bool equals_lower(std::string_view s, std::string_view lower) noexcept {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// nan, inf or infinity in any letter case, without the sign.
enum class Special { None, Nan, Inf };
Special special_of(std::string_view unsigned_word) noexcept {
  if (equals_lower(unsigned_word, "nan")) return Special::Nan;
  if (equals_lower(unsigned_word, "inf") || equals_lower(unsigned_word, "infinity"))
    return Special::Inf;
  return Special::None;
}

// `w` is a word, so never empty.
std::string_view without_sign(std::string_view w) noexcept {
  if (w[0] == '+' || w[0] == '-') w.remove_prefix(1);
  return w;
}

// The decimal exponent of the first significant digit of a well-formed
// finite number (1.5 -> 0, 0.01 -> -2, 12e3 -> 4): past +-2^40 it saturates.
std::int64_t leading_exponent(std::string_view s) noexcept {
  std::int64_t position = 0;  // digits before the point, from the first significant one
  std::size_t i = 0;
  bool seen = false;
  for (; i < s.size() && is_digit(s[i]); ++i) {
    if (s[i] != '0') seen = true;
    if (seen) ++position;
  }
  if (i < s.size() && s[i] == '.') {
    for (++i; i < s.size() && is_digit(s[i]); ++i) {
      if (seen) continue;
      if (s[i] != '0') seen = true;
      else --position;
    }
  }
  std::int64_t exp = 0;
  if (i < s.size()) {  // the exponent
    ++i;
    bool negative = false;
    if (s[i] == '+' || s[i] == '-') negative = s[i++] == '-';
    constexpr std::int64_t kCap = std::int64_t{1} << 40;
    for (; i < s.size(); ++i) exp = std::min<std::int64_t>(kCap, exp * 10 + (s[i] - '0'));
    if (negative) exp = -exp;
  }
  return position + exp;
}

}  // namespace

std::string_view name_of(Keyword k) noexcept { return kKeywords[static_cast<std::size_t>(k)]; }

std::string where(std::string_view data, std::size_t pos) {
  const std::string_view before = data.substr(0, pos);
  const std::size_t lines = static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t nl = before.rfind('\n');
  const std::size_t line_start = nl == std::string_view::npos ? 0 : nl + 1;
  std::size_t column = 1;
  for (std::size_t i = line_start; i < pos; ++i)
    if (!is_continuation(static_cast<unsigned char>(data[i]))) ++column;
  return format("line {}, column {}", lines + 1, column);
}

namespace {

// Valid UTF-8 `s`, cut after 60 characters (at a character boundary) and marked "...".
std::string shortened(std::string_view s) {
  constexpr std::size_t kLimit = 60;
  std::size_t chars = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (is_continuation(static_cast<unsigned char>(s[i]))) continue;
    if (chars++ == kLimit) return std::string(s.substr(0, i)) + "...";
  }
  return std::string(s);
}

}  // namespace

std::string describe(const Token& t) {
  switch (t.kind) {
    case Tok::LParen: return "'('";
    case Tok::RParen: return "')'";
    case Tok::Star: return "'*'";
    case Tok::String: return "string \"" + shortened(unescape(t)) + "\"";
    case Tok::Integer:
    case Tok::Real: return "number " + shortened(t.text);
    case Tok::Keyword: return "keyword " + std::string(name_of(t.keyword));
    default: return "end of file";  // Tok::Error never reaches a message of the parser
  }
}

std::string unescape(const Token& t) {
  if (!t.escaped) return std::string(t.text);
  std::string out;
  out.reserve(t.text.size());
  const std::string_view s = t.text;
  for (std::size_t i = 0; i < s.size(); ++i) {
    // A backslash is never a string's last character: it would have escaped the quote.
    if (s[i] == '\\' && (s[i + 1] == '"' || s[i + 1] == '\\')) ++i;
    out.push_back(s[i]);
  }
  return out;
}

double to_double(const Token& t) noexcept {
  std::string_view w = t.text;
  const bool negative = w[0] == '-';
  const std::string_view s = without_sign(w);
  if (const Special sp = s.back() > '9' ? special_of(s) : Special::None; sp != Special::None) {
    const double v = sp == Special::Nan ? std::numeric_limits<double>::quiet_NaN()
                                        : std::numeric_limits<double>::infinity();
    return std::copysign(v, negative ? -1.0 : 1.0);
  }
  if (w[0] == '+') w.remove_prefix(1);  // from_chars takes '-' but not '+'
  double value = 0;
  const auto [end, ec] = std::from_chars(w.data(), w.data() + w.size(), value);
  (void)end;
  if (ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: which, the leading digit's place says.
    value = leading_exponent(s) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    value = std::copysign(value, negative ? -1.0 : 1.0);
  }
  return value;
}

std::optional<std::int64_t> to_int64(const Token& t) noexcept {
  std::string_view w = t.text;
  if (w[0] == '+') w.remove_prefix(1);
  std::int64_t value = 0;
  // The token is a well-formed integer, so only its range can fail.
  if (std::from_chars(w.data(), w.data() + w.size(), value).ec != std::errc{}) return std::nullopt;
  return value;
}

Token Lexer::error(std::size_t at, std::string_view what) {
  message_ = where(data_, at) + ": " + std::string(what);
  Token t;
  t.kind = Tok::Error;
  t.pos = at;
  return t;
}

Token Lexer::next() {
  const std::size_t n = data_.size();
  while (pos_ < n && is_space(data_[pos_])) ++pos_;
  Token t;
  t.pos = pos_;
  if (pos_ == n) return t;  // Tok::Eof
  switch (data_[pos_]) {
    case '(': t.kind = Tok::LParen; ++pos_; return t;
    case ')': t.kind = Tok::RParen; ++pos_; return t;
    case '*': t.kind = Tok::Star; ++pos_; return t;
    case '"': return string_token(pos_);
    default: return word_token(pos_);
  }
}

Token Lexer::string_token(std::size_t start) {
  const std::size_t n = data_.size();
  const auto* bytes = reinterpret_cast<const unsigned char*>(data_.data());
  bool escaped = false;
  std::size_t i = start + 1;
  while (i < n) {
    const unsigned char c = bytes[i];
    if (!(kClass[c] & kStringStop)) {
      ++i;
      continue;
    }
    if (c == '"') {
      Token t;
      t.kind = Tok::String;
      t.escaped = escaped;
      t.pos = start;
      t.text = data_.substr(start + 1, i - start - 1);
      pos_ = i + 1;
      return t;
    }
    if (c == '\\') {
      escaped = true;
      i += (i + 1 < n && (bytes[i + 1] == '"' || bytes[i + 1] == '\\')) ? 2 : 1;
    } else {
      const std::size_t len = utf8_length(bytes + i, n - i);
      if (len == 0) return error(i, "invalid UTF-8");
      i += len;
    }
  }
  return error(start, "unterminated string");
}

Token Lexer::word_token(std::size_t start) {
  const std::size_t n = data_.size();
  const auto* bytes = reinterpret_cast<const unsigned char*>(data_.data());
  Token t;
  t.pos = start;
  // Most words are numbers: scan one, then see whether the word ends there.
  bool real = false;
  const std::size_t number_end = scan_number(data_, start, real);
  std::size_t end = number_end;
  bool ascii = true;
  for (; end < n && !ends_word(data_[end]); ++end) ascii &= bytes[end] < 0x80;
  pos_ = end;
  t.text = data_.substr(start, end - start);
  if (end == number_end && number_end != start) {
    t.kind = real ? Tok::Real : Tok::Integer;
    return t;
  }
  if (!ascii) {
    for (std::size_t i = start; i < end;) {
      if (bytes[i] < 0x80) {
        ++i;
        continue;
      }
      const std::size_t len = utf8_length(bytes + i, end - i);
      if (len == 0) return error(i, "invalid UTF-8");
      i += len;
    }
  }
  if (t.text[0] >= 'A' && t.text[0] <= 'Z') {
    for (std::size_t k = 0; k < kKeywords.size(); ++k) {
      if (t.text == kKeywords[k]) {
        t.kind = Tok::Keyword;
        t.keyword = static_cast<Keyword>(k);
        return t;
      }
    }
  }
  if (special_of(without_sign(t.text)) != Special::None) {
    t.kind = Tok::Real;
    return t;
  }
  return error(start, "unexpected text '" + shortened(t.text) + "'");
}

}  // namespace quarn::text
