// The fuzz target of the split form's decoders: FastLZ and the data file.
//
// The first byte chooses what the rest is:
//  - odd: a FastLZ stream. Bytes 1 and 2 give the expected size (big-endian),
//    the rest is the stream. The decoder must agree with a plain reading of
//    the format below (a vector that grows byte by byte, no fast paths): the
//    same success or failure, the same output.
//  - even: a data file. Byte 1 gives the number of traces (0 to 15) and its
//    top bit the suffix (.dat when set), the rest is the file. The decode on
//    one thread and on three (runs of 16 bytes) give the same outcome: the
//    same message or the same bits. A success holds N traces of n points and
//    N record offsets inside the file; a failure names the file first.
//    The input is decoded from a private copy freed before the result is
//    read, so nothing of the result may point into it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "split/data_file.h"
#include "split/fastlz.h"

namespace {

[[noreturn]] void violated(const char* rule, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_split: invariant violated: %s%s%s\n", rule,
               detail.empty() ? "" : ": ", detail.c_str());
  std::abort();
}

void require(bool ok, const char* rule, const std::string& detail = {}) {
  if (!ok) violated(rule, detail);
}

// The format read plainly; false for any fault.
bool plain_decode(const std::uint8_t* in, std::size_t size, std::size_t expected,
                  std::vector<std::uint8_t>& out) {
  if (size == 0 || in[0] >= 0x40) return false;
  const bool level2 = in[0] >= 0x20;
  if (expected > 255 * size + 264) return false;
  std::size_t ip = 1;
  unsigned ctrl = in[0] & 31u;
  for (;;) {
    if (ctrl < 32) {
      for (unsigned i = 0; i <= ctrl; ++i) {
        if (ip >= size || out.size() >= expected) return false;
        out.push_back(in[ip++]);
      }
    } else {
      std::size_t length = (ctrl >> 5) - 1;
      if (length == 6) {
        std::uint8_t b;
        do {
          if (ip >= size) return false;
          b = in[ip++];
          length += b;
        } while (level2 && b == 255);
      }
      if (ip >= size) return false;
      const std::size_t lo = in[ip++];
      std::size_t dist = ((ctrl & 31u) << 8) + lo + 1;
      if (level2 && dist == 8192) {
        if (ip + 2 > size) return false;
        dist = (std::size_t{in[ip]} << 8 | in[ip + 1]) + 8192;
        ip += 2;
      }
      length += 3;
      if (dist > out.size() || out.size() + length > expected) return false;
      for (std::size_t i = 0; i < length; ++i) out.push_back(out[out.size() - dist]);
    }
    if (ip == size) break;
    ctrl = in[ip++];
  }
  return out.size() == expected;
}

void fuzz_fastlz(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return;
  const std::size_t expected = std::size_t{data[1]} << 8 | data[2];
  const std::uint8_t* stream = data + 3;
  const std::size_t length = size - 3;
  std::unique_ptr<std::byte[]> out(new std::byte[expected + 1]);
  auto st = quarn::split::fastlz_decode(quarn::Bytes(reinterpret_cast<const std::byte*>(stream), length),
                                        {out.get(), expected});
  std::vector<std::uint8_t> plain;
  const bool ok = plain_decode(stream, length, expected, plain);
  require(st.has_value() == ok, "the decoder and the plain reading disagree",
          st ? "" : st.error());
  if (!st) {
    require(!st.error().empty(), "a failure without a message");
    return;
  }
  require(std::memcmp(out.get(), plain.data(), expected) == 0, "the decoded bytes differ");
}

void fuzz_data_file(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return;
  const std::uint64_t traces = data[1] & 15u;
  const auto suffix = (data[1] & 0x80u) != 0 ? quarn::split::DataSuffix::Dat
                                              : quarn::split::DataSuffix::Psfxl;
  const std::size_t n = size - 2;
  const std::string name = "f.psfxl";
  auto* bytes = reinterpret_cast<const std::byte*>(data + 2);
  std::vector<std::byte> copy(bytes, bytes + n);
  const auto begin = reinterpret_cast<std::uintptr_t>(copy.data());
  auto one = quarn::split::decode_data_file(copy, name, suffix, traces);
  std::vector<std::byte>().swap(copy);
  auto three = quarn::split::decode_data_file(
      quarn::Bytes(bytes, n), name, suffix, traces,
      quarn::Concurrency{.threads = 3, .min_bytes_per_thread = 16});
  if (one.has_value() != three.has_value())
    violated("one and three threads disagree", one ? three.error() : one.error());
  if (!one) {
    require(one.error() == three.error(), "one and three threads fail differently", one.error());
    require(one.error().starts_with(name + ": "), "a failure that does not name the file",
            one.error());
    require(one.failure_kind() == quarn::FailureKind::Format, "a data file fault that is not Format");
    return;
  }
  const quarn::split::DecodedData& d = *one;
  require(d.points >= 1, "a success without points");
  require(d.traces.size() == traces && d.record_at.size() == traces,
          "a success with another number of traces");
  auto check = [&](const quarn::SampleBuffer& b, const quarn::SampleBuffer& other) {
    require(b.size() == d.points, "an array of another length");
    const auto at = reinterpret_cast<std::uintptr_t>(b.data());
    require(at < begin || at >= begin + n, "an array points into the input");
    require(std::memcmp(b.data(), other.data(), b.size() * sizeof(double)) == 0,
            "one and three threads decode different bits");
  };
  check(d.sweep, three->sweep);
  for (std::size_t i = 0; i < traces; ++i) {
    check(d.traces[i], three->traces[i]);
    require(d.record_at[i] < n, "a record offset outside the file");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if ((data[0] & 1u) != 0)
    fuzz_fastlz(data, size);
  else
    fuzz_data_file(data, size);
  return 0;
}
