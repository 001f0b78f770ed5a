#include "types/utf8.h"

namespace quarn::utf8 {
namespace {

// Length of the well-formed sequence starting at s[i], or the error there.
// Follows the table of well-formed byte sequences: the second byte's range
// depends on the lead byte, later bytes are 80..BF.
struct Step {
  std::size_t len;       // bytes of a well-formed sequence (0 when bad)
  std::size_t bad_len;   // maximal ill-formed subsequence when bad
  bool incomplete;       // ran off the end while well formed so far
};

Step step(const unsigned char* s, std::size_t n, std::size_t i) noexcept {
  const unsigned char b0 = s[i];
  if (b0 < 0x80) return {1, 0, false};
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {0, 1, false};
  }
  for (std::size_t k = 1; k < need; ++k) {
    if (i + k >= n) return {0, k, true};
    const unsigned char b = s[i + k];
    const unsigned char l = (k == 1) ? lo : 0x80;
    const unsigned char h = (k == 1) ? hi : 0xBF;
    if (b < l || b > h) return {0, k, false};
  }
  return {need, 0, false};
}

}  // namespace

std::optional<Error> validate(std::string_view sv) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(sv.data());
  const std::size_t n = sv.size();
  std::size_t i = 0;
  while (i < n) {
    // ASCII fast path, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t w;
      __builtin_memcpy(&w, s + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    while (i < n && s[i] < 0x80) ++i;
    if (i >= n) break;
    Step st = step(s, n, i);
    if (st.len == 0) return Error{i, st.incomplete ? 0 : st.bad_len};
    i += st.len;
  }
  return std::nullopt;
}

std::string lossy(std::string_view sv) {
  const auto* s = reinterpret_cast<const unsigned char*>(sv.data());
  const std::size_t n = sv.size();
  std::string out;
  out.reserve(n);
  std::size_t i = 0;
  while (i < n) {
    Step st = step(s, n, i);
    if (st.len != 0) {
      out.append(sv.substr(i, st.len));
      i += st.len;
    } else {
      out.append("\xEF\xBF\xBD");
      i += st.bad_len;
    }
  }
  return out;
}

}  // namespace quarn::utf8
