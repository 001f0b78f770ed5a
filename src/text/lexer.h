// Tokens of the text form, read one at a time from the bytes of a whole file.
//
// The lexer never copies: a token is a view into the input. It checks only
// what a token needs (UTF-8 inside strings and words, the grammar of a
// number), so a file's faults come out in the order of its tokens, and the
// first failure of a parse is the one in its earliest token. Line and column
// are worked out only for a message, from the offset, so the hot loop counts
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "types/cursor.h"
#include "types/result.h"

namespace quarn::text {

enum class Keyword : std::uint8_t {
  Header, Type, Sweep, Trace, Value, End, Prop,
  Float, Double, Complex, String, Struct, Array, Int, Byte, Long, Group,
};
std::string_view name_of(Keyword k) noexcept;

enum class Tok : std::uint8_t {
  Eof,      // the end of the input
  LParen,   // (
  RParen,   // )
  Star,     // *
  String,   // "…"; `text` is what lies between the quotes, escapes undone later
  Integer,  // a number without '.' and exponent
  Real,     // any other number, the special words included
  Keyword,
  Error,    // a lexical failure; the lexer holds its message
};

struct Token {
  Tok kind = Tok::Eof;
  Keyword keyword = Keyword::Header;  // for Tok::Keyword
  bool escaped = false;               // a string holding a backslash
  std::size_t pos = 0;                // offset of the token's first byte
  std::string_view text;              // the word, or a string's content
};

// "line L, column C" of an offset: lines by line feeds alone, columns in
// characters from 1. Every byte before `pos` must be well-formed UTF-8 apart
// from the offending sequence itself.
std::string where(std::string_view data, std::size_t pos);

// How a token is named in "found …": string "…", number 1.5, keyword TRACE,
// '(' or end of file. Long texts are cut at a character boundary.
std::string describe(const Token& t);

// A string token's text with `\"` and `\\` undone; any other backslash stays.
std::string unescape(const Token& t);

// A number token's value as a double: correctly rounded, ±inf on overflow,
// a subnormal or ±0 on underflow, and the sign kept on -0 and -nan.
double to_double(const Token& t) noexcept;
// An integer token's value, or nothing when it lies outside int64.
std::optional<std::int64_t> to_int64(const Token& t) noexcept;

class Lexer {
 public:
  explicit Lexer(Bytes data) noexcept
      : data_(reinterpret_cast<const char*>(data.data()), data.size()) {}

  // The next token; Tok::Error leaves the failure in `failure()`.
  Token next();
  Failure failure() const { return Failure{message_}; }
  std::string_view data() const noexcept { return data_; }
  std::size_t pos() const noexcept { return pos_; }

 private:
  Token error(std::size_t at, std::string_view what);
  Token string_token(std::size_t start);
  Token word_token(std::size_t start);

  std::string_view data_;
  std::size_t pos_ = 0;
  std::string message_;
};

}  // namespace quarn::text
