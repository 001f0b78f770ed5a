// Well-formed UTF-8 as Unicode defines it: no overlong forms, no surrogates,
// nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarn::utf8 {

struct Error {
  std::size_t index;      // where the offending sequence starts
  std::size_t bad_len;    // 1 to 3: the maximal ill-formed subsequence; 0 = incomplete at the end
};

// The first error in `s`, or nothing when it is well formed.
std::optional<Error> validate(std::string_view s) noexcept;

// `s` with each maximal ill-formed subsequence replaced by U+FFFD.
std::string lossy(std::string_view s);

}  // namespace quarn::utf8
