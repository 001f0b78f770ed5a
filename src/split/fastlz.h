// The FastLZ decoder of the split form's data file (levels 1 and 2).
//
// A stream carries no length of its own: the caller knows the size it must
// decode to and hands over a buffer of exactly that size. Every read of the
// input and every copy into the output is checked first; a fault is a
// Failure whose message the caller prefixes with where the stream lies.
#pragma once

#include <cstddef>
#include <span>

#include "types/cursor.h"
#include "types/result.h"

namespace quarn::split {

// Decodes `src` into all of `out`: fails unless the stream is well formed and
// produces exactly out.size() bytes. Before the first instruction, a size more
// than the stream can produce (255 bytes per input byte, plus 264) is refused,
// so a caller may size `out` from a count it has checked against that bound.
Status fastlz_decode(Bytes src, std::span<std::byte> out);

// The most bytes an `stream_bytes`-byte stream may decode to.
constexpr std::uint64_t fastlz_max_output(std::uint64_t stream_bytes) noexcept {
  // LCOV_EXCL_BR_LINE: no stream is 2^56 bytes long; the bound only must not wrap
  return stream_bytes > (~std::uint64_t{0} - 264) / 255 ? ~std::uint64_t{0}
                                                         : 255 * stream_bytes + 264;
}

}  // namespace quarn::split
