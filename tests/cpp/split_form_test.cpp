// The split form's decoders on the worked examples, hand-written FastLZ
// streams and every refusal: FastLZ alone, then the data file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "byte_builder.h"
#include "records.h"
#include "split/data_file.h"
#include "split/fastlz.h"
#include "split/load.h"
#include "split/main_file.h"
#include "split_examples.h"

namespace {

namespace ex = quarn_test::split_examples;
using quarn::Bytes;
using quarn::ChunkId;
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
      {"level 2: a distance byte ff below the far escape", unhex("2000e0ff240020ff"), repeat(304, 0)},
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

// ---- the data file ----

const char* const kA = "demo.tran.tran.psfxl";
const char* const kC = "demo.tran.tran.dat";

TEST(SplitDataFile, DecodesTheExamplesBitForBit) {
  struct Example {
    const char* what;
    std::string_view data;
    DataSuffix suffix;
    std::vector<double> sweep;
    std::vector<std::vector<double>> traces;
    std::vector<std::uint64_t> record_at;
    const char* generation;
  };
  const double a = -0.001, b = -0.0011, c = -0.0012, d = -0.0013;
  const std::vector<Example> examples = {
      {"A", ex::kExampleAData, DataSuffix::Psfxl, {0.0, 1e-10, 2e-10, 4e-10, 7e-10, 1e-09},
       {{0.0, 0.5, 1.0, 1.5, 1.0, 0.5}, {1.8, 1.8, 1.8, 1.8, 1.8, 1.8},
        {1.5, 1.5, 1.5, 0.75, 0.0, 0.0}, {a, b, c, d, c, b}, {a, b, c, d, c, b}},
       {232, 459, 504, 586, 730}, "1.1"},
      {"B", ex::kExampleBData, DataSuffix::Psfxl, {0.0, 5e-11, 1e-10},
       {{1.2, 1.2, 1.2}, {0.0, 0.6, 1.2}}, {0x48, 0xc4}, "1.4"},
      {"C", ex::kExampleCData, DataSuffix::Dat, {0.0, 5e-10, 1e-09},
       {{0.0, 0.9, 1.8}, {1.2, 1.2, 1.2}}, {232, 232}, "0.1"},
  };
  for (const Example& e : examples) {
    const Buf data = unhex(e.data);
    // One thread, and as many as the jobs when every byte is worth one.
    for (unsigned threads : {1u, 4u}) {
      const quarn::Concurrency conc{.threads = threads, .min_bytes_per_thread = 1};
      auto got = decode_data_file(data, "x", e.suffix, e.traces.size(), conc);
      ASSERT_TRUE(got) << e.what << ": " << got.error();
      EXPECT_EQ(got->generation, e.generation);
      EXPECT_EQ(got->points, e.sweep.size());
      EXPECT_EQ(bits(got->sweep), bits(e.sweep)) << e.what;
      ASSERT_EQ(got->traces.size(), e.traces.size());
      for (std::size_t i = 0; i < e.traces.size(); ++i)
        EXPECT_EQ(bits(got->traces[i]), bits(e.traces[i])) << e.what << " trace " << i;
      EXPECT_EQ(got->record_at, e.record_at);
      // The two traces of one shared y block are two arrays.
      for (std::size_t i = 1; i < got->traces.size(); ++i)
        EXPECT_NE(got->traces[i].data(), got->traces[i - 1].data());
    }
  }
}

// Rebuilt doubles keep every bit: NaN payloads, infinities and -0.0, in raw
// planes, in FastLZ planes and in a constant.
TEST(SplitDataFile, KeepsEveryBit) {
  Buf data = unhex(ex::kExampleAData);
  // vdd's constant (record 6's payload) becomes a NaN with a payload.
  const Buf nan = unhex("010000000000f07f");
  std::memcpy(data.data() + 0x1f0, nan.data(), 8);
  // V0:p: raw planes 0 to 6, plane 7 a FastLZ stream of 6 x bf, made 6 x 80;
  // point 1's raw planes all 00: -0.0.
  const std::size_t v0 = 0x278 + 20 + 4;  // plane k's bytes at v0 + 10 k
  for (std::size_t k = 0; k < 7; ++k) data[v0 + k * 10 + 1] = std::byte{0};
  data[v0 + 7 * 10 + 1] = std::byte{0x80};  // "20 80 60 00"
  // The sweep's raw point 5 becomes +inf.
  const std::size_t x = 0x110 + 20 + 4;
  for (std::size_t k = 0; k < 8; ++k) data[x + k * 10 + 5] = static_cast<std::byte>(k == 6 ? 0xf0 : k == 7 ? 0x7f : 0);
  // Hexadecimal fields may be upper case.
  ASSERT_EQ(data[0x1e8], std::byte{'b'});  // record 6's x reference, "bb.64"
  data[0x1e8] = data[0x1e9] = std::byte{'B'};
  auto got = decode_data_file(data, "x", DataSuffix::Psfxl, 5);
  ASSERT_TRUE(got) << got.error();
  auto word = [](const quarn::SampleBuffer& b, std::size_t j) {
    std::uint64_t v;
    std::memcpy(&v, b.data() + j, 8);
    return v;
  };
  EXPECT_EQ(word(got->traces[1], 3), 0x7ff0000000000001u);
  EXPECT_EQ(word(got->traces[3], 1), 0x8000000000000000u);
  EXPECT_EQ(word(got->sweep, 5), 0x7ff0000000000000u);
  EXPECT_EQ(bits(got->traces[4]), bits(got->traces[3]));
}

// ---- refusals ----

// Edits of a file's bytes.
void put(Buf& b, std::size_t at, std::string_view hex) {
  const Buf bytes = unhex(hex);
  std::memcpy(b.data() + at, bytes.data(), bytes.size());
}
void splice(Buf& b, std::size_t at, std::size_t erase, const Buf& insert) {
  b.erase(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + erase));
  b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), insert.begin(), insert.end());
}
// Replaces the first `from` at or after `at` by `to`.
void edit(Buf& b, std::size_t at, std::string_view from, std::string_view to) {
  const std::string all(reinterpret_cast<const char*>(b.data()), b.size());
  const std::size_t pos = all.find(from, at);
  ASSERT_NE(pos, std::string::npos) << from;
  splice(b, pos, from.size(), text(to));
}
// The framing of a record at `at` with header line `line`: up to its payload.
Buf header(std::size_t at, std::string_view line) {
  Buf out = Buf{std::byte{0}} + text(line) + unhex("0a00");
  while ((at + out.size()) % 8 != 0) out.push_back(std::byte{0});
  return out;
}
// Rewrites the framing of the record at `at` whose payload started at `payload`.
void reframe(Buf& b, std::size_t at, std::size_t payload, std::string_view line) {
  splice(b, at, payload - at, header(at, line));
}
void append(Buf& b, std::string_view line) { b = b + header(b.size(), line); }

// A 1.4 data file of one signal of 300 points: the x block raw, the y block
// with plane 0 an empty stream, which no FastLZ stream of 0 bytes can give.
Buf plane_beyond_its_stream() {
  const std::uint32_t n = 300;
  auto le32 = [](std::uint32_t v) {
    Buf b(4);
    for (int i = 0; i < 4; ++i) b[static_cast<std::size_t>(i)] = static_cast<std::byte>(v >> (8 * i));
    return b;
  };
  auto block_header = [&](std::uint32_t size) {
    return unhex("02010108") + le32(8 * n) + le32(8 * n) + le32(size) + le32(20);
  };
  Buf x = block_header(20 + 8 * (4 + n));
  for (int k = 0; k < 8; ++k) x = x + le32(n) + repeat(n, 0);
  Buf y = block_header(20 + 8 * 4);
  for (int k = 0; k < 8; ++k) y = y + le32(0);
  Buf file = unhex(ex::kExampleBData);
  file.resize(0x48);
  const std::string line = "3:0:ffffffffffffffff:12c:9c8:22:994:34";
  file = file + header(0x48, line) + x + y;
  return file;
}

struct Refusal {
  const char* what;
  std::string_view base;  // example A's or C's data file
  const char* name;
  std::function<void(Buf&)> change;
  const char* message;  // after the file's name and ": "
};

TEST(SplitDataFile, RefusesEveryFault) {
  const std::string_view A = ex::kExampleAData, B = ex::kExampleBData, C = ex::kExampleCData;
  const char* const r5 = "record 5 at offset 232 ('3:0:ffffffffffffffff:6:bb:22:64:57')";
  const std::string y5 = std::string(r5) + ", y block";
  auto r6 = [](std::string_view line) { return "record 6 at offset 459 ('" + std::string(line) + "')"; };
  const std::vector<std::pair<Refusal, std::string>> cases = {
      {{"reversed mark", A, kA, [](Buf& b) { put(b, 0x28, "0102030405060708"); }, ""},
       "record 0 at offset 0 ('!ngpsf-1.1:0:ffffffffffffffff:4:20'): byte-order mark 01 02 .. 08: a big-endian writer (not seen; refused)"},
      {{"unknown mark", A, kA, [](Buf& b) { put(b, 0x28, "0807060504030200"); }, ""},
       "record 0 at offset 0 ('!ngpsf-1.1:0:ffffffffffffffff:4:20'): unknown byte-order mark 08 07 06 05 04 03 02 00"},
      {{"generation 1.2", A, kA, [](Buf& b) { put(b, 10, "32"); }, ""},
       "record 0 at offset 0 ('!ngpsf-1.2:0:ffffffffffffffff:4:20'): generation 1.2 not supported (seen: 0.1, 1.1, 1.4)"},
      {{"first key", A, kA, [](Buf& b) { put(b, 1, "3f"); }, ""},
       "record 0 at offset 0 ('?ngpsf-1.1:0:ffffffffffffffff:4:20'): first record key '?ngpsf-1.1' is not !ngpsf-<generation>"},
      {{"header words", A, kA, [](Buf& b) { put(b, 0x40, "04"); }, ""},
       "record 0 at offset 0 ('!ngpsf-1.1:0:ffffffffffffffff:4:20'): header words (0, 1, 4) are not (0, 1, 1) for generation 1.1"},
      {{"first fields", A, kA, [](Buf& b) { edit(b, 0, ":4:20", ":3:20"); }, ""},
       "record 0 at offset 0 ('!ngpsf-1.1:0:ffffffffffffffff:3:20'): first record fields are not 0:ffffffffffffffff:4:20"},
      {{"first extra field", A, kA, [](Buf& b) { reframe(b, 0, 0x28, "!ngpsf-1.1:0:ffffffffffffffff:4:20:1"); }, ""},
       "record 0 at offset 0 ('!ngpsf-1.1:0:ffffffffffffffff:4:20:1'): unexpected extra fields in the first record"},
      {{"1.1 in .dat", A, kC, [](Buf&) {}, ""},
       "record 0 at offset 0 ('!ngpsf-1.1:0:ffffffffffffffff:4:20'): generation 1.1 does not belong in a .dat file"},
      {{"0.1 in .psfxl", C, kA, [](Buf&) {}, ""},
       "record 0 at offset 0 ('!ngpsf-0.1:0:ffffffffffffffff:4:20:0'): generation 0.1 does not belong in a .psfxl file"},
      {{"first key later", A, kA, [](Buf& b) { reframe(b, 0x48, 0x60, "!ngpsf-1.1:0:48:f:f"); }, ""},
       "record 1 at offset 72 ('!ngpsf-1.1:0:48:f:f'): unknown record key '!ngpsf-1.1'"},
      {{"unknown key", A, kA, [](Buf& b) { edit(b, 0x70, "SubVersion", "SubVersiox"); }, ""},
       "record 2 at offset 112 ('SubVersiox:0:70:9:9'): unknown record key 'SubVersiox'"},
      {{"text offset", A, kA, [](Buf& b) { edit(b, 0x70, ":70:", ":78:"); }, ""},
       "record 2 at offset 112 ('SubVersion:0:78:9:9'): text record field 2 (78) is not its own offset"},
      {{"text fields", A, kA, [](Buf& b) { edit(b, 0x70, ":9:9", ":9:9:0"); }, ""},
       "record 2 at offset 112 ('SubVersion:0:70:9:9:0'): text record with 6 fields (5 seen)"},
      {{"text number", A, kA, [](Buf& b) { edit(b, 0x70, ":0:70", ":g:70"); }, ""},
       "record 2 at offset 112 ('SubVersion:g:70:9:9'): bad hexadecimal number 'g'"},
      {{"record padding", A, kA, [](Buf& b) { put(b, 0x6f, "01"); }, ""},
       "record 1 at offset 72 ('VersionIdent:0:48:f:f'): non-zero record padding"},
      {{"no NUL after line", A, kA, [](Buf& b) { put(b, 0x10c, "01"); }, ""},
       std::string(r5) + ": header line not followed by a NUL byte"},
      {{"header padding", A, kA, [](Buf& b) { put(b, 0x10d, "01"); }, ""},
       std::string(r5) + ": non-zero header padding"},
      {{"no leading NUL", A, kA, [](Buf& b) { put(b, 0xe8, "01"); }, ""},
       "record 5 at offset 232: record does not start with a NUL byte"},
      {{"not printable", A, kA, [](Buf& b) { put(b, 0xea, "09"); }, ""},
       "record 5 at offset 232: header line is not printable ASCII"},
      {{"cut in a header line", A, kA, [](Buf& b) { b.resize(0xf0); }, ""},
       "record 5 at offset 232: no line feed within 1024 bytes"},
      {{"cut after a line feed", A, kA, [](Buf& b) { b.resize(0x10c); }, ""},
       std::string(r5) + ": header padding runs past the end of the file (268 bytes)"},
      {{"cut in header padding", A, kA, [](Buf& b) { b.resize(0x10e); }, ""},
       std::string(r5) + ": header padding runs past the end of the file (270 bytes)"},
      {{"cut in record padding", A, kA, [](Buf& b) { b.resize(0x6f); }, ""},
       "record 1 at offset 72 ('VersionIdent:0:48:f:f'): record padding runs past the end of the file (111 bytes)"},
      {{"four fields", A, kA, [](Buf& b) { reframe(b, 0x70, 0x88, "SubVersion:0:70:9"); }, ""},
       "record 2 at offset 112 ('SubVersion:0:70:9'): fewer than 5 fields"},
      {{"bad length", A, kA, [](Buf& b) { edit(b, 0x70, ":9:9", ":9:x9"); }, ""},
       "record 2 at offset 112 ('SubVersion:0:70:9:x9'): bad hexadecimal payload length 'x9'"},
      {{"cut to 700", A, kA, [](Buf& b) { b.resize(700); }, ""},
       "record 8 at offset 586 ('3:3:ffffffffffffffff:6:62:a2:13a.64:62'): payload of 98 bytes runs past the end of the file (700 bytes)"},
      {{"empty", A, kA, [](Buf& b) { b.clear(); }, ""}, "empty data file"},
      {{"no signal records", A, kA, [](Buf& b) { b.resize(232); }, ""}, "no signal records"},
      {{"record 9 removed", A, kA, [](Buf& b) { b.resize(0x2da); }, ""},
       "no record for signal index 4 (the main file declares 5 traces)"},
      {{"second record", A, kA, [](Buf& b) { append(b, "3:4:ffffffffffffffff:6:0:aa:1f8.64:90.62"); }, ""},
       "record 10 at offset 776 ('3:4:ffffffffffffffff:6:0:aa:1f8.64:90.62'): a second record for signal 4 (several records per signal: not seen)"},
      {{"index past N", A, kA, [](Buf& b) { append(b, "3:5:ffffffffffffffff:6:0:aa:1f8.64:90.62"); }, ""},
       "record 10 at offset 776 ('3:5:ffffffffffffffff:6:0:aa:1f8.64:90.62'): signal index 5 is not below the 5 traces of the main file"},
      {{"out of order", A, kA, [](Buf& b) { edit(b, 0x1cb, "3:1:", "3:2:"); }, ""},
       r6("3:2:ffffffffffffffff:6:8:a0:bb.64") + ": signal index 2 out of order (expected 1)"},
      {{"column in 1.1", A, kA, [](Buf& b) { put(b, 0xe9, "31"); }, ""},
       "record 5 at offset 232 ('1:0:ffffffffffffffff:6:bb:22:64:57'): a column record in a generation 1.1 file (not seen)"},
      {{"signal fields", A, kA, [](Buf& b) { reframe(b, 0x1cb, 0x1f0, "3:1:ffffffffffffffff:6:8:a0"); }, ""},
       "record 6 at offset 459 ('3:1:ffffffffffffffff:6:8:a0'): signal record with 6 fields"},
      {{"field 2", A, kA, [](Buf& b) { edit(b, 0x1cb, "ffff:6", "fffe:6"); }, ""},
       r6("3:1:fffffffffffffffe:6:8:a0:bb.64") + ": field 2 is not ffffffffffffffff"},
      {{"bad index", A, kA, [](Buf& b) { edit(b, 0x1cb, "3:1:", "3:-1:"); }, ""},
       r6("3:-1:ffffffffffffffff:6:8:a0:bb.64") + ": bad hexadecimal signal index '-1'"},
      {{"n = 0", A, kA, [](Buf& b) { edit(b, 0x1cb, ":6:8:", ":0:8:"); }, ""},
       r6("3:1:ffffffffffffffff:0:8:a0:bb.64") + ": n = 0"},
      {{"flags 28", A, kA, [](Buf& b) { edit(b, 0x1cb, ":a0:", ":28:"); }, ""},
       r6("3:1:ffffffffffffffff:6:8:28:bb.64") + ": flags 0x28 not one of 20, 22, a0, a2, aa"},
      {{"fields and flags", A, kA, [](Buf& b) { edit(b, 0x1cb, ":a0:", ":a2:"); }, ""},
       r6("3:1:ffffffffffffffff:6:8:a2:bb.64") + ": 7 fields do not fit the flags 0xa2"},
      {{"constant length", A, kA, [](Buf& b) { edit(b, 0x1cb, ":6:8:", ":6:9:"); }, ""},
       r6("3:1:ffffffffffffffff:6:9:a0:bb.64") + ": constant payload of 9 bytes is not 8"},
      {{"x not before", A, kA, [](Buf& b) { edit(b, 0x1cb, "bb.64", "bb.bc"); }, ""},
       r6("3:1:ffffffffffffffff:6:8:a0:bb.bc") + ": x reference bb.bc does not lie wholly before the record"},
      {{"x reference elsewhere", A, kA, [](Buf& b) { edit(b, 0x1cb, "bb.64", "b3.64"); }, ""},
       r6("3:1:ffffffffffffffff:6:8:a0:b3.64") + ": x reference to offset 280 (100 bytes) is not the x block at offset 272 (100 bytes)"},
      {{"bad reference", A, kA, [](Buf& b) { edit(b, 0x1cb, "bb.64", "bb664"); }, ""},
       r6("3:1:ffffffffffffffff:6:8:a0:bb664") + ": bad reference 'bb664'"},
      {{"bad reference number", A, kA, [](Buf& b) { edit(b, 0x1cb, "bb.64", "bb.6z"); }, ""},
       r6("3:1:ffffffffffffffff:6:8:a0:bb.6z") + ": bad hexadecimal reference '6z'"},
      {{"n differs", A, kA, [](Buf& b) { edit(b, 0x1cb, ":6:8:", ":5:8:"); }, ""},
       r6("3:1:ffffffffffffffff:5:8:a0:bb.64") + ": n = 5 differs from the x block's n = 6"},
      {{"second own x", A, kA, [](Buf& b) { edit(b, 0x1cb, "8:a0:bb.64", "8:20:00064"); }, ""},
       r6("3:1:ffffffffffffffff:6:8:20:00064") + ": a second own x block (several records per signal / second time axis: not seen)"},
      {{"x before any", A, kA, [](Buf& b) { reframe(b, 0xe8, 0x110, "3:0:ffffffffffffffff:6:bb:a2:bb.64:bb"); }, ""},
       "record 5 at offset 232 ('3:0:ffffffffffffffff:6:bb:a2:bb.64:bb'): x reference before any record carried an x block"},
      {{"x too long", A, kA, [](Buf& b) { edit(b, 0xe8, ":64:57", ":c4:57"); }, ""},
       "record 5 at offset 232 ('3:0:ffffffffffffffff:6:bb:22:c4:57'): x length 196 exceeds the payload length 187"},
      {{"y not the rest", A, kA, [](Buf& b) { edit(b, 0xe8, ":64:57", ":64:56"); }, ""},
       "record 5 at offset 232 ('3:0:ffffffffffffffff:6:bb:22:64:56'): y length 86 is not len - Lx = 87"},
      {{"n too large", A, kA, [](Buf& b) { reframe(b, 0xe8, 0x110, "3:0:ffffffffffffffff:10000:bb:22:64:57"); }, ""},
       "record 5 at offset 232 ('3:0:ffffffffffffffff:10000:bb:22:64:57'): n = 65536 is more than an x block of 100 bytes can hold"},
      {{"a2 length", A, kA, [](Buf& b) { edit(b, 0x1f8, ":a2:e8.64:2a", ":a2:e8.64:2b"); }, ""},
       "record 7 at offset 504 ('3:2:ffffffffffffffff:6:2a:a2:e8.64:2b'): y length 43 is not the payload length 42"},
      {{"aa not empty", A, kA, [](Buf& b) { edit(b, 0x2da, ":6:0:aa", ":6:8:aa"); b.resize(b.size() + 8); }, ""},
       "record 9 at offset 730 ('3:4:ffffffffffffffff:6:8:aa:1ca.64:62.62'): payload of 8 bytes with flags aa (must be empty)"},
      {{"y not before", A, kA, [](Buf& b) { edit(b, 0x2da, "62.62", "62.63"); }, ""},
       "record 9 at offset 730 ('3:4:ffffffffffffffff:6:0:aa:1ca.64:62.63'): y reference 62.63 does not lie wholly before the record"},
      {{"y reference elsewhere", A, kA, [](Buf& b) { edit(b, 0x2da, "62.62", "6a.62"); }, ""},
       "record 9 at offset 730 ('3:4:ffffffffffffffff:6:0:aa:1ca.64:6a.62'): y reference to offset 624 (98 bytes) is not the y block of an earlier record"},
      {{"block too short", A, kA, [](Buf& b) { edit(b, 0x1f8, ":2a:a2:e8.64:2a", ":13:a2:e8.64:13"); }, ""},
       "record 7 at offset 504 ('3:2:ffffffffffffffff:6:13:a2:e8.64:13'), y block: block of 19 bytes is shorter than its 20-byte header"},
      {{"block tag", A, kA, [](Buf& b) { put(b, 0x174, "03"); }, ""}, y5 + ": block starts with 03 01, not 02 01"},
      {{"block mode", A, kA, [](Buf& b) { put(b, 0x176, "21"); }, ""}, y5 + ": block mode 0x21 is not 0x01 or 0x11"},
      {{"element size", A, kA, [](Buf& b) { put(b, 0x177, "04"); }, ""}, y5 + ": element size 4 is not 8"},
      {{"decoded sizes", A, kA, [](Buf& b) { put(b, 0x17c, "31"); }, ""}, y5 + ": decoded sizes 48 and 49 are not 8 x 6"},
      {{"block size", A, kA, [](Buf& b) { put(b, 0x180, "58"); }, ""},
       y5 + ": block size 88 is not the length 87 given in the header line"},
      {{"header size", A, kA, [](Buf& b) { put(b, 0x184, "15"); }, ""}, y5 + ": header size 21 is not 20"},
      {{"stored longer than n", A, kA, [](Buf& b) { put(b, 0x1b8, "07"); }, ""},
       y5 + ": plane 6: stored length 7 is more than n = 6"},
      {{"sub-block past the end", A, kA, [](Buf& b) { put(b, 0x1c2, "06"); }, ""},
       y5 + ": plane 7: sub-block of 6 bytes runs past the end of the block"},
      {{"sub-block length past the end", A, kA,
        [](Buf& b) { edit(b, 0x24a, ":62:a2:13a.64:62", ":14:a2:13a.64:14"); put(b, 0x278 + 12, "14"); }, ""},
       "record 8 at offset 586 ('3:3:ffffffffffffffff:6:14:a2:13a.64:14'), y block: plane 0: sub-block length runs past the end of the block"},
      {{"stream length past the end", A, kA,
        [](Buf& b) { edit(b, 0x1f8, ":2a:a2:e8.64:2a", ":14:a2:e8.64:14"); put(b, 0x220 + 12, "14"); }, ""},
       "record 7 at offset 504 ('3:2:ffffffffffffffff:6:14:a2:e8.64:14'), y block: stream length runs past the end of the block"},
      {{"stream past the end", A, kA, [](Buf& b) { put(b, 0x234, "13"); }, ""},
       "record 7 at offset 504 ('3:2:ffffffffffffffff:6:2a:a2:e8.64:2a'), y block: stream of 19 bytes runs past the end of the block"},
      {{"raw mode 11", A, kA,
        [](Buf& b) {
          splice(b, 0x220, 42, unhex("0201110830000000300000004800000014000000" "30000000") + repeat(48, 0));
          edit(b, 0x1f8, ":2a:a2:e8.64:2a", ":48:a2:e8.64:48");
        }, ""},
       "record 7 at offset 504 ('3:2:ffffffffffffffff:6:48:a2:e8.64:48'), y block: mode 0x11 stream of 48 bytes is not shorter than 8 x n = 48 (raw mode 0x11 not seen)"},
      {{"left over", A, kA,
        [](Buf& b) { edit(b, 0xe8, ":bb:22:64:57", ":bc:22:64:58"); put(b, 0x180, "58"); splice(b, 0x1cb, 0, repeat(1, 0)); }, ""},
       "record 5 at offset 232 ('3:0:ffffffffffffffff:6:bc:22:64:58'), y block: 1 bytes left over after the sub-blocks"},
      {{"FastLZ distance", A, kA, [](Buf& b) { put(b, 0x18c, "20006005"); }, ""},
       y5 + ", plane 0: FastLZ match at distance 6 reaches before the start of the output (1 decoded)"},
      {{"FastLZ short", A, kA, [](Buf& b) { put(b, 0x18c, "20004000"); }, ""},
       y5 + ", plane 0: FastLZ stream decoded to 5 bytes, expected 6"},
      {{"FastLZ level", A, kA, [](Buf& b) { put(b, 0x18c, "40006000"); }, ""},
       y5 + ", plane 0: unknown FastLZ level (first byte 0x40)"},
      {{"FastLZ literal", A, kA, [](Buf& b) { put(b, 0x18c, "2100ff00"); }, ""},
       y5 + ", plane 0: FastLZ input ends inside a literal run at input offset 4"},
      {{"FastLZ overrun", A, kA, [](Buf& b) { put(b, 0x18c, "20008000"); }, ""},
       y5 + ", plane 0: FastLZ output overrun: match of 6 at output 1, expected 6"},
      {{"FastLZ empty", A, kA, [](Buf& b) { put(b, 0x188, "00"); }, ""}, y5 + ", plane 0: FastLZ stream is empty"},
      {{"FastLZ length", A, kA, [](Buf& b) { put(b, 0x18c, "2000e0ff"); }, ""},
       y5 + ", plane 0: FastLZ input ends inside a match length at input offset 4"},
      {{"FastLZ distance byte", A, kA, [](Buf& b) { put(b, 0x18c, "21000060"); }, ""},
       y5 + ", plane 0: FastLZ input ends before a match distance at input offset 4"},
      {{"FastLZ far", A, kA, [](Buf& b) { put(b, 0x18c, "20003fff"); }, ""},
       y5 + ", plane 0: FastLZ input ends inside a far distance at input offset 4"},
      {{"FastLZ in a mode 11 stream", A, kA, [](Buf& b) { put(b, 0x238, "40"); }, ""},
       "record 7 at offset 504 ('3:2:ffffffffffffffff:6:2a:a2:e8.64:2a'), y block, stream: unknown FastLZ level (first byte 0x40)"},
      {{"a FastLZ fault before a framing fault", A, kA, [](Buf& b) { put(b, 0x18c, "40"); b.resize(700); }, ""},
       y5 + ", plane 0: unknown FastLZ level (first byte 0x40)"},
      {{"DEL in a line", A, kA, [](Buf& b) { put(b, 0xea, "7f"); }, ""},
       "record 5 at offset 232: header line is not printable ASCII"},
      {{"first field 1", A, kA, [](Buf& b) { edit(b, 0, "1.1:0:", "1.1:1:"); }, ""},
       "record 0 at offset 0 ('!ngpsf-1.1:1:ffffffffffffffff:4:20'): first record fields are not 0:ffffffffffffffff:4:20"},
      {{"first field 2", A, kA, [](Buf& b) { edit(b, 0, "ffff:4", "fffe:4"); }, ""},
       "record 0 at offset 0 ('!ngpsf-1.1:0:fffffffffffffffe:4:20'): first record fields are not 0:ffffffffffffffff:4:20"},
      {{"first length", A, kA, [](Buf& b) { edit(b, 0, ":4:20", ":4:28"); }, ""},
       "record 0 at offset 0 ('!ngpsf-1.1:0:ffffffffffffffff:4:28'): first record fields are not 0:ffffffffffffffff:4:20"},
      {{"first seven fields", A, kA, [](Buf& b) { reframe(b, 0, 0x28, "!ngpsf-1.1:0:ffffffffffffffff:4:20:0:0"); }, ""},
       "record 0 at offset 0 ('!ngpsf-1.1:0:ffffffffffffffff:4:20:0:0'): unexpected extra fields in the first record"},
      {{"header word 0", A, kA, [](Buf& b) { put(b, 0x30, "01"); }, ""},
       "record 0 at offset 0 ('!ngpsf-1.1:0:ffffffffffffffff:4:20'): header words (1, 1, 1) are not (0, 1, 1) for generation 1.1"},
      {{"header word 1", A, kA, [](Buf& b) { put(b, 0x38, "00"); }, ""},
       "record 0 at offset 0 ('!ngpsf-1.1:0:ffffffffffffffff:4:20'): header words (0, 0, 1) are not (0, 1, 1) for generation 1.1"},
      {{"text field 3", A, kA, [](Buf& b) { edit(b, 0x70, ":9:9", ":z:9"); }, ""},
       "record 2 at offset 112 ('SubVersion:0:70:z:9'): bad hexadecimal number 'z'"},
      {{"seventeen digits", A, kA, [](Buf& b) { reframe(b, 0x70, 0x88, "SubVersion:0:00000000000000070:9:9"); }, ""},
       "record 2 at offset 112 ('SubVersion:0:00000000000000070:9:9'): text record field 2 (00000000000000070) is not its own offset"},
      {{"empty length", A, kA, [](Buf& b) { reframe(b, 0x70, 0x88, "SubVersion:0:70:9:"); }, ""},
       "record 2 at offset 112 ('SubVersion:0:70:9:'): bad hexadecimal payload length ''"},
      {{"two dots", A, kA, [](Buf& b) { edit(b, 0x1cb, "bb.64", "b.b.64"); }, ""},
       r6("3:1:ffffffffffffffff:6:8:a0:b.b.64") + ": bad reference 'b.b.64'"},
      {{"bad reference start", A, kA, [](Buf& b) { edit(b, 0x1cb, "bb.64", "zb.64"); }, ""},
       r6("3:1:ffffffffffffffff:6:8:a0:zb.64") + ": bad hexadecimal reference 'zb'"},
      {{"reference 0 back", A, kA, [](Buf& b) { edit(b, 0x1cb, "bb.64", "00.64"); }, ""},
       r6("3:1:ffffffffffffffff:6:8:a0:00.64") + ": x reference 00.64 does not lie wholly before the record"},
      {{"reference before the file", A, kA, [](Buf& b) { edit(b, 0x1cb, "bb.64", "fff.64"); }, ""},
       r6("3:1:ffffffffffffffff:6:8:a0:fff.64") + ": x reference fff.64 does not lie wholly before the record"},
      {{"bad point count", A, kA, [](Buf& b) { edit(b, 0x1cb, ":6:8:", ":g:8:"); }, ""},
       r6("3:1:ffffffffffffffff:g:8:a0:bb.64") + ": bad hexadecimal point count 'g'"},
      {{"bad flags", A, kA, [](Buf& b) { edit(b, 0x1cb, ":a0:", ":z0:"); }, ""},
       r6("3:1:ffffffffffffffff:6:8:z0:bb.64") + ": bad hexadecimal flags 'z0'"},
      {{"bad x length", A, kA, [](Buf& b) { edit(b, 0xe8, ":64:57", ":6z:57"); }, ""},
       "record 5 at offset 232 ('3:0:ffffffffffffffff:6:bb:22:6z:57'): bad hexadecimal x length '6z'"},
      {{"bad y length", A, kA, [](Buf& b) { edit(b, 0xe8, ":64:57", ":64:5z"); }, ""},
       "record 5 at offset 232 ('3:0:ffffffffffffffff:6:bb:22:64:5z'): bad hexadecimal y length '5z'"},
      {{"bad a2 y length", A, kA, [](Buf& b) { edit(b, 0x1f8, ":e8.64:2a", ":e8.64:2z"); }, ""},
       "record 7 at offset 504 ('3:2:ffffffffffffffff:6:2a:a2:e8.64:2z'): bad hexadecimal y length '2z'"},
      {{"own x and a constant", B, kA, [](Buf& b) { edit(b, 0x48, ":54:20:4c", ":55:20:4c"); }, ""},
       "record 1 at offset 72 ('3:0:ffffffffffffffff:3:55:20:4c'): payload of 85 bytes is not Lx + 8"},
      {{"block tag byte 1", A, kA, [](Buf& b) { put(b, 0x175, "02"); }, ""}, y5 + ": block starts with 02 02, not 02 01"},
      {{"decoded sizes too small", A, kA, [](Buf& b) { put(b, 0x178, "28"); put(b, 0x17c, "28"); }, ""},
       y5 + ": decoded sizes 40 and 40 are not 8 x 6"},
      {{"decoded sizes too large", A, kA, [](Buf& b) { put(b, 0x178, "38"); put(b, 0x17c, "38"); }, ""},
       y5 + ": decoded sizes 56 and 56 are not 8 x 6"},
      {{"column field 2", C, kC, [](Buf& b) { edit(b, 0xe8, "ffff:3", "fffe:3"); }, ""},
       "record 5 at offset 232 ('1:0:fffffffffffffffe:3:48'): column record fields 1 and 2 are not 0 and ffffffffffffffff"},
      {{"column bad n", C, kC, [](Buf& b) { edit(b, 0xe8, ":3:48", ":g:48"); }, ""},
       "record 5 at offset 232 ('1:0:ffffffffffffffff:g:48'): bad hexadecimal point count 'g'"},
      {{"column n too large", C, kC, [](Buf& b) { edit(b, 0xe8, ":3:48", ":300:48"); }, ""},
       "record 5 at offset 232 ('1:0:ffffffffffffffff:300:48'): payload of 72 bytes is not 768 points x (2 traces + 1) x 8"},
      {{"a plane that cannot be decoded from its bytes", {}, kA, [](Buf& b) { b = plane_beyond_its_stream(); }, ""},
       "record 1 at offset 72 ('3:0:ffffffffffffffff:12c:9c8:22:994:34'), y block, plane 0: FastLZ stream is empty"},
      {{"second column record", C, kC, [](Buf& b) { splice(b, 0x150, 0, Buf(b.begin() + 0xe8, b.begin() + 0x150)); }, ""},
       "record 6 at offset 336 ('1:0:ffffffffffffffff:3:48'): a second column record (several column records: not seen)"},
      {{"column length", C, kC, [](Buf& b) { edit(b, 0xe8, ":3:48", ":2:48"); }, ""},
       "record 5 at offset 232 ('1:0:ffffffffffffffff:2:48'): payload of 72 bytes is not 2 points x (2 traces + 1) x 8"},
      {{"column n = 0", C, kC, [](Buf& b) { edit(b, 0xe8, ":3:48", ":0:48"); }, ""},
       "record 5 at offset 232 ('1:0:ffffffffffffffff:0:48'): n = 0"},
      {{"column fields", C, kC, [](Buf& b) { edit(b, 0xe8, ":3:48", ":3:48:0"); }, ""},
       "record 5 at offset 232 ('1:0:ffffffffffffffff:3:48:0'): column record with 6 fields (5 seen)"},
      {{"column fields 1 and 2", C, kC, [](Buf& b) { edit(b, 0xe8, "1:0:", "1:1:"); }, ""},
       "record 5 at offset 232 ('1:1:ffffffffffffffff:3:48'): column record fields 1 and 2 are not 0 and ffffffffffffffff"},
      {{"signal in 0.1", C, kC, [](Buf& b) { put(b, 0xe9, "33"); }, ""},
       "record 5 at offset 232 ('3:0:ffffffffffffffff:3:48'): a signal record in a generation 0.1 file (not seen)"},
      {{"no column record", C, kC, [](Buf& b) { b.resize(232); }, ""}, "no column record"},
  };
  for (const auto& [c, message] : cases) {
    Buf data = c.base.data() == nullptr ? Buf{} : unhex(c.base);
    c.change(data);
    auto got = decode_data_file(data, c.name, c.name == kA ? DataSuffix::Psfxl : DataSuffix::Dat,
                                c.base == C || c.base == B ? 2 : 5);
    ASSERT_FALSE(got) << c.what;
    EXPECT_EQ(got.error(), std::string(c.name) + ": " + message) << c.what;
    EXPECT_EQ(got.failure_kind(), quarn::FailureKind::Format);
  }
}

// ---- the whole read from the main file ----

// A directory of its own, removed with everything in it.
class Directory {
 public:
  Directory() {
    std::string tmpl = ::testing::TempDir() + "quarn_split_XXXXXX";
    path_ = ::mkdtemp(tmpl.data());
  }
  ~Directory() { std::filesystem::remove_all(path_); }
  std::string write(const std::string& name, const Buf& bytes) const {
    const std::string path = path_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Example C's main file: its head, zeros to 4096, then 512 placeholders.
Buf example_c_main() {
  Buf b = unhex(ex::kExampleCMainHead);
  b.resize(4096);
  for (int i = 0; i < 512; ++i) b = b + unhex("7fffffffffffffff");
  return b;
}

std::vector<std::string> names_of(const std::vector<quarn::NamedSeries>& s) {
  std::vector<std::string> out;
  for (const auto& n : s) out.push_back(n.name);
  return out;
}

TEST(SplitLoad, ReadsTheExamplesFromTheirMainFiles) {
  struct Example {
    Buf main;
    std::string_view data;
    const char* suffix;
    std::vector<std::string> traces;
    std::vector<double> last;  // each trace's last value
  };
  const std::vector<Example> examples = {
      {unhex(ex::kExampleAMain), ex::kExampleAData, ".psfxl", {"in", "vdd", "out", "V0:p", "V1:p"},
       {0.5, 1.8, 0.0, -0.0011, -0.0011}},
      {unhex(ex::kExampleBMain), ex::kExampleBData, ".psfxl", {"vdd", "clk"}, {1.2, 1.2}},
      {example_c_main(), ex::kExampleCData, ".dat", {"a", "b"}, {1.8, 1.2}},
  };
  for (const Example& e : examples) {
    Directory dir;
    const std::string main = dir.write("demo.tran.tran", e.main);
    dir.write(std::string("demo.tran.tran") + e.suffix, unhex(e.data));
    auto got = quarn::split::load_split(main);
    ASSERT_TRUE(got) << got.error();
    EXPECT_EQ(names_of(got->sweeps), std::vector<std::string>{"time"});
    EXPECT_EQ(names_of(got->traces), e.traces);
    EXPECT_TRUE(got->values.empty());
    for (std::size_t i = 0; i < e.traces.size(); ++i) {
      const quarn::SampleBuffer& y = got->traces[i].series.samples();
      ASSERT_EQ(y.size(), got->sweeps[0].series.samples().size());
      EXPECT_EQ(bits({y[y.size() - 1]}), bits({e.last[i]})) << e.traces[i];
    }
    // The sweep starts at 0 and rises strictly.
    const quarn::SampleBuffer& x = got->sweeps[0].series.samples();
    EXPECT_EQ(x[0], 0.0);
    for (std::size_t j = 1; j < x.size(); ++j) EXPECT_LT(x[j - 1], x[j]);
    auto header = quarn::split::load_split_header(main);
    ASSERT_TRUE(header) << header.error();
    EXPECT_EQ(header->size(), got->header.size());
    EXPECT_TRUE(quarn::split::is_split_main(main));
  }
}

TEST(SplitLoad, RefusesEveryFaultOfTheMainFileAndItsSiblings) {
  struct Case {
    const char* what;
    std::function<void(Buf& main)> change;
    std::vector<const char*> data_names;  // the data siblings written (example A's data)
    const char* message;                  // every "<dir>/" left out
    quarn::FailureKind kind = quarn::FailureKind::Format;
  };
  const std::vector<const char*> psfxl = {".psfxl"};
  const std::vector<Case> cases = {
      {"analysis type ac", [](Buf& m) { put(m, 0x1ac, "0000000261630000"); }, psfxl,
       "demo.tran.tran: analysis type 'ac' (only tran seen)"},
      {"no analysis type", [](Buf& m) { edit(m, 0, "analysis type", "analysis typf"); }, psfxl,
       "demo.tran.tran: no 'analysis type' in HEADER (only tran seen)"},
      {"no data file", [](Buf&) {}, {},
       "demo.tran.tran: split main file without a data file (looked for demo.tran.tran.psfxl and "
       "demo.tran.tran.dat), or a single file never finished",
       quarn::FailureKind::Io},
      {"both data files", [](Buf&) {}, {".psfxl", ".dat"},
       "demo.tran.tran: both demo.tran.tran.psfxl and demo.tran.tran.dat exist"},
      {"a footer", [](Buf& m) { m = m + text("Clarissa") + repeat(4, 0); }, psfxl,
       "demo.tran.tran: has a footer: an ordinary single file, not a split main file"},
      {"first word", [](Buf& m) { put(m, 0, "00000000"); }, psfxl,
       "demo.tran.tran: first word is not 0x00000400 (windowed layout): not a split main file"},
      {"stub", [](Buf& m) { put(m, 0x3a4, "00000000"); }, psfxl,
       "demo.tran.tran: the 12 bytes after TRACE (offset 924) are not the VALUE stub 00000004 "
       "00000015 ffffffff: an unfinished or damaged single file, not a split main file"},
      {"no stub", [](Buf& m) { m.resize(0x39c); }, psfxl,
       "demo.tran.tran: the 12 bytes after TRACE (offset 924) are not the VALUE stub 00000004 "
       "00000015 ffffffff: an unfinished or damaged single file, not a split main file"},
      {"Int32 trace", [](Buf& m) { put(m, 0x240, "00000005"); }, psfxl,
       "demo.tran.tran: trace 'V0:p' has type Int32; only Float64 is seen in split form (refused)"},
      {"chunk 0x24 in place of a declaration", [](Buf& m) { put(m, 0x2e0, "00000024"); }, psfxl,
       "demo.tran.tran: chunk 0x24 at offset 736 is not right after a trace declaration's type id"},
      {"fewer traces than signals", [](Buf& m) {
         put(m, 0x2dc, "00000004");
         put(m, 0x2bc, "0000038c");  // the TRACE container and sub-container ends
         put(m, 0x2c4, "00000330");
         splice(m, 0x330, 0x14, {});  // V1:p
       }, psfxl,
       "demo.tran.tran.psfxl: record 9 at offset 730 ('3:4:ffffffffffffffff:6:0:aa:1ca.64:62.62'): "
       "signal index 4 is not below the 4 traces of the main file"},
  };
  for (const Case& c : cases) {
    Directory dir;
    Buf main = unhex(ex::kExampleAMain);
    c.change(main);
    const std::string path = dir.write("demo.tran.tran", main);
    for (const char* suffix : c.data_names)
      dir.write(std::string("demo.tran.tran") + suffix, unhex(ex::kExampleAData));
    auto got = quarn::split::load_split(path);
    ASSERT_FALSE(got) << c.what;
    std::string message = got.error();
    for (std::size_t at; (at = message.find(dir.path() + "/")) != std::string::npos;)
      message.erase(at, dir.path().size() + 1);
    EXPECT_EQ(message, c.message) << c.what;
    EXPECT_EQ(got.failure_kind(), c.kind) << c.what;
  }
}

// Main files built declaration by declaration: nested and empty groups, and
// the faults of sweeps and traces no example shows.
TEST(SplitMainFile, ReadsGroupsAndRefusesOtherDeclarations) {
  using quarn_test::ByteBuilder;
  using Part = std::function<void(ByteBuilder&)>;
  auto build = [](const Part& header, const Part& sweeps, const Part& traces) {
    ByteBuilder b;
    auto h = b.u32(0x400).open(ChunkId::Container);
    header(b);
    b.close(h);
    b.type_section([](ByteBuilder& t) {
      t.type_decl(10, "sweep", 11).type_decl(11, "V", 11).type_decl(12, "I", 5);
      t.type_decl(13, "pair", 16).type_decl(0, "x", 11).type_decl(0, "y", 11).chunk(ChunkId::StructEnd);
    });
    b.sweep_section(sweeps);
    b.trace_section(traces);
    b.u32(4).u32(0x15).u32(0xffffffff);
    return Buf(b.bytes().begin(), b.bytes().end());
  };
  const Part tran = [](ByteBuilder& b) { b.prop_string("analysis type", "tran"); };
  const Part time = [](ByteBuilder& b) { b.decl(20, "time", 10); };
  const Part one = [](ByteBuilder& b) { b.decl(30, "v", 11); };
  struct Case {
    const char* what;
    Part header, sweeps, traces;
    const char* result;  // the trace names, or what the message holds
  };
  const std::vector<Case> cases = {
      {"nested and empty groups", tran, time,
       [](ByteBuilder& b) {
         b.decl(30, "flat", 11).group(31, "g", 2).group(32, "inner", 1).decl(33, "a", 11);
         b.group(34, "empty", 0);
       },
       "flat a"},
      {"unknown type", tran, time, [](ByteBuilder& b) { b.decl(30, "v", 99); },
       "declaration 30 references unknown type id 99"},
      {"struct trace", tran, time, [](ByteBuilder& b) { b.decl(30, "p", 13); },
       "trace 'p' has type Struct; only Float64 is seen in split form (refused)"},
      {"Int32 sweep", tran, [](ByteBuilder& b) { b.decl(20, "time", 12); }, one,
       "sweep 'time' has type Int32; only Float64 is seen in split form (refused)"},
      {"chunk 0x24 on the sweep", tran, [](ByteBuilder& b) { b.decl(20, "time", 10).u32(0x24).fill(48); }, one,
       "is not right after a trace declaration's type id"},
      {"a group past its section", tran, time, [](ByteBuilder& b) { b.group(31, "g", 2).decl(30, "v", 11); },
       "got 19"},
      {"analysis type not a string", [](ByteBuilder& b) { b.prop_int("analysis type", 1); }, time, one,
       "analysis type '(not a string)' (only tran seen)"},
      {"two sweeps", tran, [](ByteBuilder& b) { b.decl(20, "time", 10).decl(21, "t2", 10); }, one,
       "2 sweep declarations (exactly one seen)"},
      {"no sweep", tran, [](ByteBuilder&) {}, one, "0 sweep declarations (exactly one seen)"},
  };
  for (const Case& c : cases) {
    auto got = quarn::split::parse_main_file(build(c.header, c.sweeps, c.traces));
    if (got) {
      std::string names;
      for (const std::string& t : got->traces) names += (names.empty() ? "" : " ") + t;
      EXPECT_EQ(names, c.result) << c.what;
    } else {
      EXPECT_NE(got.error().find(c.result), std::string::npos) << c.what << ": " << got.error();
    }
  }
}

// A main file cut anywhere before the end of its VALUE stub is refused, with
// a message, whatever section the cut falls in.
TEST(SplitMainFile, RefusesEveryCut) {
  for (std::string_view example : {ex::kExampleAMain, ex::kExampleBMain}) {
    const Buf whole = unhex(example);
    ASSERT_TRUE(quarn::split::parse_main_file(whole));
    for (std::size_t size = 0; size < whole.size(); ++size) {
      auto got = quarn::split::parse_main_file(Bytes(whole.data(), size));
      ASSERT_FALSE(got) << size;
      EXPECT_FALSE(got.error().empty());
    }
  }
}

// Paths that are not split main files, or whose data file cannot be read.
TEST(SplitLoad, RefusesWhatCannotBeRead) {
  Directory dir;
  const std::string missing = dir.path() + "/missing.tran.tran";
  EXPECT_EQ(quarn::split::load_split(missing).failure_kind(), quarn::FailureKind::Io);
  EXPECT_EQ(quarn::split::load_split_header(missing).failure_kind(), quarn::FailureKind::Io);
  EXPECT_FALSE(quarn::split::is_split_main(missing));
  Buf single = unhex(ex::kExampleAMain) + text("Clarissa") + repeat(4, 0);
  EXPECT_FALSE(quarn::split::is_split_main(dir.write("single", single)));
  Buf not_windowed = unhex(ex::kExampleAMain);
  put(not_windowed, 0, "00000200");
  EXPECT_FALSE(quarn::split::is_split_main(dir.write("simple", not_windowed)));
  EXPECT_FALSE(quarn::split::is_split_main(dir.write("short", unhex("00000400"))));
  Buf no_stub = unhex(ex::kExampleAMain);
  no_stub.resize(0x39c);
  EXPECT_FALSE(quarn::split::is_split_main(dir.write("unfinished", no_stub)));
  // A data sibling that is a directory: it exists, and cannot be read.
  const std::string main = dir.write("demo.tran.tran", unhex(ex::kExampleAMain));
  std::filesystem::create_directory(main + ".psfxl");
  auto got = quarn::split::load_split(main);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.failure_kind(), quarn::FailureKind::Io);
}

// The chunks 0x24 of a 1.4 main file are checked against the decoded samples.
TEST(SplitLoad, ChecksChunk24) {
  struct Case {
    std::size_t at;  // a field of clk's chunk (at 0x304)
    const char* hex;
    const char* message;
  };
  const std::vector<Case> cases = {
      {0x308, "00000000000000c5", "record offset 197, the data file 196"},
      {0x310, "0000000000000004", "n 4, the data file 3"},
      {0x318, "3ff0000000000000", "first x 1, the data file 0"},
      {0x318, "7ff8000000000000", "first x nan, the data file 0"},
      {0x320, "0000000000000000", "last x 0, the data file 1e-10"},
      {0x328, "3ff0000000000000", "minimum y 1, the data file 0"},
      {0x330, "3ff0000000000000", "maximum y 1, the data file 1.2"},
  };
  // NaN where chunk and samples both have it passes: a NaN first x, and a NaN
  // among the samples (minimum and maximum are not compared then).
  {
    Directory dir;
    Buf main = unhex(ex::kExampleBMain), data = unhex(ex::kExampleBData);
    put(main, 0x2d0, "7ff8000000000000");
    put(main, 0x318, "7ff8000000000000");
    put(data, 0x70 + 24 + 6 * 7, "f8");  // the sweep's point 0
    put(data, 0x70 + 24 + 7 * 7, "7f");
    put(data, 0xf0 + 24 + 6 * 7, "f8");  // clk's point 0
    put(data, 0xf0 + 24 + 7 * 7, "7f");
    const std::string path = dir.write("short.tran.tran", main);
    dir.write("short.tran.tran.psfxl", data);
    auto got = quarn::split::load_split(path);
    ASSERT_TRUE(got) << got.error();
    EXPECT_TRUE(std::isnan(got->traces[1].series.samples()[0]));
  }
  for (const Case& c : cases) {
    Directory dir;
    Buf main = unhex(ex::kExampleBMain);
    put(main, c.at, c.hex);
    const std::string path = dir.write("short.tran.tran", main);
    dir.write("short.tran.tran.psfxl", unhex(ex::kExampleBData));
    auto got = quarn::split::load_split(path);
    ASSERT_FALSE(got) << c.message;
    EXPECT_EQ(got.error(), path + ": trace 'clk': chunk 0x24 gives " + c.message);
  }
}

}  // namespace
