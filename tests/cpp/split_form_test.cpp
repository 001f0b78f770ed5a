// The split form's decoders on the worked examples, hand-written FastLZ
// streams and every refusal: FastLZ alone, then the data file.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "records.h"
#include "split/data_file.h"
#include "split/fastlz.h"
#include "split_examples.h"

namespace {

namespace ex = quarn_test::split_examples;
using quarn::Bytes;
using quarn::split::DataSuffix;
using quarn::split::decode_data_file;
using quarn::split::fastlz_decode;
using quarn_test::bits;
using Buf = std::vector<std::byte>;

Buf unhex(std::string_view hex) {
  Buf out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    if (hex[i] == ' ') { --i; continue; }
    out.push_back(static_cast<std::byte>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

Buf text(std::string_view s) {
  Buf out(s.size());
  std::memcpy(out.data(), s.data(), s.size());
  return out;
}

Buf operator+(Buf a, const Buf& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Buf repeat(std::size_t n, unsigned char c) { return Buf(n, static_cast<std::byte>(c)); }

// ---- FastLZ ----

// "AB" repeated to n bytes.
Buf alternating(std::size_t n) {
  Buf out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::byte>(i % 2 == 0 ? 'A' : 'B');
  return out;
}

// Level 1: "AB", matches at distance 2 to 8193 bytes, then a match whose
// distance bits are all set: 8192 back in level 1 (level 2 would read on).
Buf level1_far_distance() {
  Buf s = unhex("014142");
  for (int i = 0; i < 31; ++i) s = s + unhex("e0ff01");
  return s + unhex("a001") + unhex("3fff");
}

struct Stream {
  const char* what;
  Buf stream;
  Buf output;
};

TEST(FastLz, DecodesWorkedStreams) {
  const std::vector<Stream> cases = {
      {"level 2 literal and short match", unhex("20006000"), repeat(6, 0)},
      {"level 1 literal and short match", unhex("00006000"), repeat(6, 0)},
      {"match repeats the last byte", unhex("21003f4000"), unhex("003f3f3f3f3f")},
      {"match at distance 2 overlaps", unhex("2141424001"), text("ABABAB")},
      {"one byte repeated", unhex("20bf6000"), repeat(6, 0xbf)},
      {"level 2 long match", unhex("2000e0ff2300"), repeat(300, 0)},
      {"level 2 long match, ff then 00", unhex("2000e0ffff0000"), repeat(520, 0)},
      {"level 1 long matches", unhex("0000e0ff00e01a00"), repeat(300, 0)},
      {"far match", unhex("2341424300e0") + repeat(35, 0xff) + unhex("3e003fff0328005a"),
       text("ABC") + repeat(8997, 0) + text("ABCZ")},
      {"level 1: distance 8192 is near", level1_far_distance(), alternating(8196)},
  };
  for (const Stream& c : cases) {
    Buf out(c.output.size());
    auto st = fastlz_decode(c.stream, out);
    ASSERT_TRUE(st) << c.what << ": " << st.error();
    EXPECT_EQ(out, c.output) << c.what;
  }
}

TEST(FastLz, RefusesEveryFault) {
  struct Bad {
    Buf stream;
    std::size_t expected;
    const char* message;
  };
  const std::vector<Bad> cases = {
      {unhex("20006001"), 6, "FastLZ match at distance 2 reaches before the start of the output (1 decoded)"},
      {unhex("200060"), 6, "FastLZ input ends before a match distance at input offset 3"},
      {unhex("250000"), 6, "FastLZ input ends inside a literal run at input offset 1"},
      {unhex("2000e0ff"), 300, "FastLZ input ends inside a match length at input offset 4"},
      {unhex("0000e0"), 300, "FastLZ input ends inside a match length at input offset 3"},
      {unhex("23414243003fff03"), 2000, "FastLZ input ends inside a far distance at input offset 7"},
      {unhex("20006000"), 2000, "expected size 2000 is more than a 4-byte FastLZ stream can produce"},
      {unhex("20006000"), 5, "FastLZ output overrun: match of 5 at output 1, expected 5"},
      {unhex("2100000000"), 2, "FastLZ output overrun: literal run of 1 at output 2, expected 2"},
      {unhex("20004000"), 6, "FastLZ stream decoded to 5 bytes, expected 6"},
      {unhex("40006000"), 6, "unknown FastLZ level (first byte 0x40)"},
      {Buf{}, 6, "FastLZ stream is empty"},
  };
  for (const Bad& c : cases) {
    Buf out(c.expected);
    auto st = fastlz_decode(c.stream, out);
    ASSERT_FALSE(st) << c.message;
    EXPECT_EQ(st.error(), c.message);
  }
}

}  // namespace
