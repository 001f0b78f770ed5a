// A bounds-checked, big-endian reader over the bytes of a whole file.
//
// Every read first tests that the bytes it needs lie inside `data`, without
// overflowing (`n > size - pos`), and leaves `pos` unchanged when they do not.
// Multi-byte values are decoded with memcpy and a byte swap: the format only
// aligns to four bytes. Reads are not noexcept: a failure builds its message,
// and a failed allocation of it must reach the caller as std::bad_alloc.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "types/chunk_id.h"
#include "types/result.h"

namespace quarn {

using Bytes = std::span<const std::byte>;

inline std::uint32_t load_be32(const std::byte* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  // LCOV_EXCL_BR_LINE: fixed at compile time by the byte order
  if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
  return v;
}

inline std::uint16_t load_be16(const std::byte* p) noexcept {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  // LCOV_EXCL_BR_LINE: fixed at compile time by the byte order
  if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
  return v;
}

inline double load_be_f64(const std::byte* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  // LCOV_EXCL_BR_LINE: fixed at compile time by the byte order
  if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
  return std::bit_cast<double>(v);
}

// `k` big-endian doubles at `p` into `out`; the common point sizes get a
// loop-free copy.
inline void load_be_f64s(const std::byte* p, std::uint64_t k, double* out) noexcept {
  switch (k) {
    case 1:
      out[0] = load_be_f64(p);
      break;
    case 2:
      out[0] = load_be_f64(p);
      out[1] = load_be_f64(p + 8);
      break;
    default:
      for (std::uint64_t i = 0; i < k; ++i) out[i] = load_be_f64(p + 8 * i);
  }
}

class Cursor {
 public:
  explicit Cursor(Bytes data) noexcept : data_(data) {}

  Bytes data() const noexcept { return data_; }
  std::uint64_t size() const noexcept { return data_.size(); }
  std::uint64_t pos() const noexcept { return pos_; }
  std::uint64_t remaining() const noexcept { return data_.size() - pos_; }
  // Repositions within the data (the `Simple` body rewinds to its start).
  void seek(std::uint64_t pos) noexcept { pos_ = pos <= data_.size() ? pos : data_.size(); }

  bool has(std::uint64_t n) const noexcept { return n <= data_.size() - pos_; }
  const std::byte* here() const noexcept { return data_.data() + pos_; }

  Result<Bytes> take(std::uint64_t n) {
    if (!has(n)) return need_failure(n);
    Bytes view = data_.subspan(pos_, n);
    pos_ += n;
    return view;
  }

  Status skip(std::uint64_t n) {
    if (!has(n)) return skip_failure(n);
    pos_ += n;
    return {};
  }

  // The word at `pos`, or nothing when fewer than 4 bytes remain. Every caller
  // takes a failed peek as "not the chunk it tests for", so no message is made.
  bool peek_u32(std::uint32_t& out) const noexcept {
    if (!has(4)) return false;
    out = load_be32(here());
    return true;
  }
  // Whether the next word can be read and equals `id`.
  bool next_is(ChunkId id) const noexcept {
    std::uint32_t w;
    return peek_u32(w) && w == number(id);
  }

  Result<std::uint16_t> read_u16() {
    if (!has(2)) return need_failure(2);
    auto v = load_be16(here());
    pos_ += 2;
    return v;
  }

  Result<std::uint32_t> read_u32() {
    if (!has(4)) return need_failure(4);
    auto v = load_be32(here());
    pos_ += 4;
    return v;
  }

  Result<double> read_f64() {
    if (!has(8)) return need_failure(8);
    auto v = load_be_f64(here());
    pos_ += 8;
    return v;
  }

  // A 32-bit length, that many bytes of well-formed UTF-8, padding to a word.
  Result<std::string> read_string();
  // The same string as a view into `data`, for callers that keep no copy.
  Result<std::string_view> read_string_view();

  // Consumes one word; it must be `id`.
  Status expect(ChunkId id);

  Failure need_failure(std::uint64_t n) const {
    return fail("unexpected end of file: need {} bytes at offset {} (len {})", n, pos_, size());
  }
  Failure skip_failure(std::uint64_t n) const {
    return fail("unexpected end of file: skip {} bytes at offset {} (len {})", n, pos_, size());
  }

 private:
  Bytes data_;
  std::uint64_t pos_ = 0;
};

// The message of a chunk word that is not the expected one, read at `offset`.
Failure unexpected_chunk(ChunkId expected, std::uint64_t offset, std::uint32_t got);

}  // namespace quarn
