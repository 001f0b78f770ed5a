// Hexadecimal numbers as the split form's data file writes them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarn::split {

// 1 to 16 hexadecimal digits (either case), nothing else: no sign, no prefix.
inline std::optional<std::uint64_t> parse_hex(std::string_view s) noexcept {
  if (s.empty() || s.size() > 16) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else return std::nullopt;
    v = (v << 4) | d;
  }
  return v;
}

// A byte as two lower-case hexadecimal digits.
inline std::string hex2(unsigned byte) {
  constexpr char kDigits[] = "0123456789abcdef";
  return std::string{kDigits[(byte >> 4) & 15u], kDigits[byte & 15u]};
}

}  // namespace quarn::split
