#include "split/fastlz.h"

#include <cstdint>
#include <cstring>

#include "split/hex.h"

namespace quarn::split {
namespace {

Failure input_ends(const char* where, std::size_t at) {
  return fail("FastLZ input ends {} at input offset {}", where, at);
}

}  // namespace

Status fastlz_decode(Bytes src, std::span<std::byte> out) {
  const std::size_t in_size = src.size();
  const std::size_t expected = out.size();
  if (in_size == 0) return fail("FastLZ stream is empty");
  const auto* in = reinterpret_cast<const std::uint8_t*>(src.data());
  auto* dst = reinterpret_cast<std::uint8_t*>(out.data());
  if (in[0] >= 0x40) return fail("unknown FastLZ level (first byte 0x{})", hex2(in[0]));
  const bool level2 = in[0] >= 0x20;
  if (expected > fastlz_max_output(in_size))
    return fail("expected size {} is more than a {}-byte FastLZ stream can produce", expected,
                in_size);

  std::size_t ip = 1;
  std::size_t op = 0;
  unsigned ctrl = in[0] & 31u;
  for (;;) {
    if (ctrl < 32) {
      const std::size_t run = ctrl + 1;
      if (run > in_size - ip) return input_ends("inside a literal run", ip);
      if (run > expected - op)
        return fail("FastLZ output overrun: literal run of {} at output {}, expected {}", run, op,
                    expected);
      std::memcpy(dst + op, in + ip, run);
      ip += run;
      op += run;
    } else {
      std::uint64_t length = (ctrl >> 5) - 1;
      const std::size_t hi = static_cast<std::size_t>(ctrl & 31u) << 8;
      if (length == 6) {
        if (level2) {
          std::uint8_t b;
          do {
            if (ip == in_size) return input_ends("inside a match length", ip);
            b = in[ip++];
            length += b;  // at most 255 per input byte: no overflow
          } while (b == 255);
        } else {
          if (ip == in_size) return input_ends("inside a match length", ip);
          length += in[ip++];
        }
      }
      if (ip == in_size) return input_ends("before a match distance", ip);
      const std::uint8_t lo = in[ip++];
      std::size_t dist = hi + lo + 1;
      if (level2 && lo == 255 && hi == (std::size_t{31} << 8)) {
        if (in_size - ip < 2) return input_ends("inside a far distance", ip);
        dist = ((std::size_t{in[ip]} << 8) | in[ip + 1]) + 8192;
        ip += 2;
      }
      length += 3;
      if (dist > op)
        return fail("FastLZ match at distance {} reaches before the start of the output ({} decoded)",
                    dist, op);
      if (length > expected - op)
        return fail("FastLZ output overrun: match of {} at output {}, expected {}", length, op,
                    expected);
      const std::uint8_t* from = dst + op - dist;
      std::uint8_t* to = dst + op;
      if (dist >= length) {
        std::memcpy(to, from, length);
      } else if (dist == 1) {
        std::memset(to, *from, length);
      } else {
        // The output repeats with period `dist`: copy whole periods, doubling
        // the span copied from (a multiple of the period) each time.
        std::size_t span = dist;
        for (std::size_t left = static_cast<std::size_t>(length); left != 0;) {
          const std::size_t n = left < span ? left : span;
          std::memcpy(to, to - span, n);
          to += n;
          left -= n;
          span += n;
        }
      }
      op += length;
    }
    if (ip == in_size) break;
    ctrl = in[ip++];
  }
  if (op != expected) return fail("FastLZ stream decoded to {} bytes, expected {}", op, expected);
  return {};
}

}  // namespace quarn::split
