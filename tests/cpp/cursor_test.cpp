// Cursor: bounds of every read, big-endian decoding, strings with their
// padding and UTF-8 check, chunk expectations.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "byte_builder.h"
#include "records.h"
#include "types/cursor.h"

namespace {

using quarn::ChunkId;
using quarn::Cursor;
using quarn_test::ByteBuilder;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// A string literal with its embedded NUL bytes kept.
template <std::size_t N>
std::string lit(const char (&s)[N]) {
  return std::string(s, N - 1);
}

quarn::Bytes as_bytes(const std::string& s) { return std::as_bytes(std::span(s.data(), s.size())); }

// ---------------------------------------------------------------------------
// Fixed-width reads, take and skip over a 102-byte file whose byte i is i.

enum class Op { Take, Skip, U16, U32, F64 };

struct ReadCase {
  const char* label;
  std::uint64_t start;
  Op op;
  std::uint64_t n;       // for Take and Skip
  std::string error;     // empty: the read succeeds
  std::uint64_t value;   // the decoded value (bit pattern for F64) on success
  std::uint64_t consumed;
};
QUARN_TEST_PRINTS_LABEL(ReadCase)

class CursorReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(CursorReadTest, BoundsAndValue) {
  const ReadCase& c = GetParam();
  std::vector<std::uint8_t> file(102);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i);
  const auto data = std::as_bytes(std::span(file));
  Cursor cur(data);
  ASSERT_TRUE(cur.skip(c.start));

  std::string error;
  std::uint64_t value = 0;
  switch (c.op) {
    case Op::Take: {
      auto r = cur.take(c.n);
      if (!r) {
        error = r.error();
      } else {
        EXPECT_EQ(r->data(), data.data() + c.start) << "take must return a view of the file";
        EXPECT_EQ(r->size(), c.n);
      }
      break;
    }
    case Op::Skip: {
      auto r = cur.skip(c.n);
      if (!r) error = r.error();
      break;
    }
    case Op::U16: {
      auto r = cur.read_u16();
      if (r) value = *r; else error = r.error();
      break;
    }
    case Op::U32: {
      auto r = cur.read_u32();
      if (r) value = *r; else error = r.error();
      break;
    }
    case Op::F64: {
      auto r = cur.read_f64();
      if (r) value = std::bit_cast<std::uint64_t>(*r); else error = r.error();
      break;
    }
  }
  EXPECT_EQ(error, c.error);
  if (c.error.empty()) {
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(cur.pos(), c.start + c.consumed);
  } else {
    EXPECT_EQ(cur.pos(), c.start) << "a failed read must leave pos where it was";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cursor, CursorReadTest,
    ::testing::Values(
        ReadCase{"u32_last_word", 98, Op::U32, 0, "", 0x62636465, 4},
        ReadCase{"u32_two_left", 100, Op::U32, 0, "unexpected end of file: need 4 bytes at offset 100 (len 102)", 0, 0},
        ReadCase{"u32_at_end", 102, Op::U32, 0, "unexpected end of file: need 4 bytes at offset 102 (len 102)", 0, 0},
        ReadCase{"u32_three_left", 99, Op::U32, 0, "unexpected end of file: need 4 bytes at offset 99 (len 102)", 0, 0},
        ReadCase{"u16_last", 100, Op::U16, 0, "", 0x6465, 2},
        ReadCase{"u16_one_left", 101, Op::U16, 0, "unexpected end of file: need 2 bytes at offset 101 (len 102)", 0, 0},
        ReadCase{"f64_last", 94, Op::F64, 0, "", 0x5e5f606162636465, 8},
        ReadCase{"f64_seven_left", 95, Op::F64, 0, "unexpected end of file: need 8 bytes at offset 95 (len 102)", 0, 0},
        ReadCase{"take_rest", 100, Op::Take, 2, "", 0, 2},
        ReadCase{"take_zero_at_end", 102, Op::Take, 0, "", 0, 0},
        ReadCase{"take_one_too_many", 100, Op::Take, 3, "unexpected end of file: need 3 bytes at offset 100 (len 102)", 0, 0},
        // pos + n wraps to exactly 0 or to a small number: still past the end.
        ReadCase{"take_wraps_to_zero", 4, Op::Take, kMax - 3, "unexpected end of file: need 18446744073709551612 bytes at offset 4 (len 102)", 0, 0},
        ReadCase{"take_wraps_inside", 100, Op::Take, kMax - 49, "unexpected end of file: need 18446744073709551566 bytes at offset 100 (len 102)", 0, 0},
        ReadCase{"take_max", 0, Op::Take, kMax, "unexpected end of file: need 18446744073709551615 bytes at offset 0 (len 102)", 0, 0},
        ReadCase{"skip_rest", 100, Op::Skip, 2, "", 0, 2},
        ReadCase{"skip_one_too_many", 100, Op::Skip, 3, "unexpected end of file: skip 3 bytes at offset 100 (len 102)", 0, 0},
        ReadCase{"skip_wraps_to_zero", 4, Op::Skip, kMax - 3, "unexpected end of file: skip 18446744073709551612 bytes at offset 4 (len 102)", 0, 0},
        ReadCase{"skip_max_at_end", 102, Op::Skip, kMax, "unexpected end of file: skip 18446744073709551615 bytes at offset 102 (len 102)", 0, 0}),
    [](const auto& p) { return std::string(p.param.label); });

TEST(Cursor, EmptyDataFailsEveryRead) {
  Cursor cur(quarn::Bytes{});
  auto w = cur.read_u32();
  ASSERT_FALSE(w);
  EXPECT_EQ(w.error(), "unexpected end of file: need 4 bytes at offset 0 (len 0)");
  std::uint32_t peeked = 0;
  EXPECT_FALSE(cur.peek_u32(peeked));
  auto s = cur.read_string();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error(), "unexpected end of file: need 4 bytes at offset 0 (len 0)");
}

// Floats are the 8 bytes taken as a big-endian pattern, bit for bit.
class CursorFloatBitsTest : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(CursorFloatBitsTest, KeepsThePattern) {
  ByteBuilder b;
  b.u64(GetParam());
  Cursor cur(b.bytes());
  auto f = cur.read_f64();
  ASSERT_TRUE(f);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(*f), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cursor, CursorFloatBitsTest,
                         ::testing::Values(0x3FF0000000000000u,   // 1.0
                                           0x8000000000000000u,   // -0.0
                                           0x7FF0000000000000u,   // +inf
                                           0x7FF8000000000001u,   // quiet NaN with payload
                                           0xFFF0000000000001u,   // signalling NaN, sign set
                                           0x0000000000000001u)); // smallest subnormal

TEST(Cursor, PeekDoesNotMoveAndFailsQuietlyWithThreeBytesLeft) {
  ByteBuilder b;
  b.u32(0x11223344).raw({0x00, 0x00, 0x00});
  Cursor cur(b.bytes());
  std::uint32_t w = 0;
  ASSERT_TRUE(cur.peek_u32(w));
  EXPECT_EQ(w, 0x11223344u);
  EXPECT_EQ(cur.pos(), 0u);
  ASSERT_TRUE(cur.skip(4));

  // Three bytes left: the peek fails, a chunk test says "absent", a read fails
  // with the take message, and nothing moves.
  w = 0xDEADBEEF;
  EXPECT_FALSE(cur.peek_u32(w));
  EXPECT_EQ(cur.pos(), 4u);
  EXPECT_FALSE(cur.next_is(ChunkId::SectionHeader));  // the three bytes are zero, but no word
  auto r = cur.read_u32();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "unexpected end of file: need 4 bytes at offset 4 (len 7)");
  EXPECT_EQ(cur.pos(), 4u);
}

TEST(Cursor, NextIsTestsTheWordAtTheCursor) {
  ByteBuilder b;
  b.chunk(ChunkId::SectionTrace).chunk(ChunkId::SectionValue);
  Cursor cur(b.bytes());
  EXPECT_TRUE(cur.next_is(ChunkId::SectionTrace));
  EXPECT_FALSE(cur.next_is(ChunkId::SectionValue));
  ASSERT_TRUE(cur.skip(4));
  EXPECT_TRUE(cur.next_is(ChunkId::SectionValue));
  ASSERT_TRUE(cur.skip(4));
  EXPECT_FALSE(cur.next_is(ChunkId::SectionValue));
  EXPECT_EQ(cur.pos(), 8u);
}

// ---------------------------------------------------------------------------
// Strings that read: the value and the bytes consumed, padding included. The
// padding is filled with EE to show its values are not examined, and a
// sentinel word after it shows the cursor stops exactly there.

struct StringOk {
  const char* label;
  std::string payload;
  std::uint64_t consumed;
};
QUARN_TEST_PRINTS_LABEL(StringOk)

class CursorStringTest : public ::testing::TestWithParam<StringOk> {};

TEST_P(CursorStringTest, ReadsValueAndPadding) {
  const StringOk& c = GetParam();
  ByteBuilder b;
  b.u32(static_cast<std::uint32_t>(c.payload.size())).raw(c.payload);
  b.fill((4 - c.payload.size() % 4) % 4, 0xEE).u32(0xA5A5A5A5);
  Cursor cur(b.bytes());
  auto s = cur.read_string();
  ASSERT_TRUE(s) << s.error();
  EXPECT_EQ(*s, c.payload);
  EXPECT_EQ(s->size(), c.payload.size());
  EXPECT_EQ(cur.pos(), c.consumed);
  auto sentinel = cur.read_u32();
  ASSERT_TRUE(sentinel);
  EXPECT_EQ(*sentinel, 0xA5A5A5A5u);
}

INSTANTIATE_TEST_SUITE_P(
    Cursor, CursorStringTest,
    ::testing::Values(StringOk{"len0", "", 4}, StringOk{"len1", "a", 8}, StringOk{"len2", "ab", 8},
                      StringOk{"len3", "abc", 8}, StringOk{"len4", "abcd", 8},
                      StringOk{"len5", "abcde", 12},
                      StringOk{"nul_inside", lit("a\0b"), 8},
                      StringOk{"only_nul", lit("\0"), 8},
                      StringOk{"four_byte_U1F600", "\xF0\x9F\x98\x80", 8},
                      StringOk{"max_U10FFFF", "\xF4\x8F\xBF\xBF", 8},
                      StringOk{"two_and_three_byte", "\xC2\x80\xEF\xBF\xBF", 12},
                      StringOk{"below_surrogates_UD7FF", "\xED\x9F\xBF", 8},
                      StringOk{"above_surrogates_UE000", "\xEE\x80\x80", 8},
                      StringOk{"multibyte_after_ascii_run", "abcdefghij\xE2\x82\xAC", 20}),
    [](const auto& p) { return std::string(p.param.label); });

// ---------------------------------------------------------------------------
// Strings that fail. `file` is the whole input; the string starts at `start`.

struct StringBad {
  const char* label;
  std::string file;
  std::uint64_t start;
  std::string error;
};
QUARN_TEST_PRINTS_LABEL(StringBad)

class CursorStringFailureTest : public ::testing::TestWithParam<StringBad> {};

TEST_P(CursorStringFailureTest, Message) {
  const StringBad& c = GetParam();
  Cursor cur(as_bytes(c.file));
  ASSERT_TRUE(cur.skip(c.start));
  auto s = cur.read_string();
  ASSERT_FALSE(s) << "read \"" << *s << "\"";
  EXPECT_EQ(s.error(), c.error);
}

#define UTF8_BAD(offset, detail) "invalid UTF-8 in string at offset " #offset ": " detail

INSTANTIATE_TEST_SUITE_P(
    Cursor, CursorStringFailureTest,
    ::testing::Values(
        StringBad{"C3_28", lit("\0\0\0\x02\xC3\x28\0\0"), 0,
                  UTF8_BAD(6, "invalid utf-8 sequence of 1 bytes from index 0")},
        StringBad{"lone_E2", lit("\0\0\0\x01\xE2\0\0\0"), 0,
                  UTF8_BAD(5, "incomplete utf-8 byte sequence from index 0")},
        StringBad{"surrogate_ED_A0_80", lit("\0\0\0\x03\xED\xA0\x80\0"), 0,
                  UTF8_BAD(7, "invalid utf-8 sequence of 1 bytes from index 0")},
        StringBad{"overlong_C0_80", lit("\0\0\0\x02\xC0\x80\0\0"), 0,
                  UTF8_BAD(6, "invalid utf-8 sequence of 1 bytes from index 0")},
        StringBad{"overlong_E0_80_80", lit("\0\0\0\x03\xE0\x80\x80\0"), 0,
                  UTF8_BAD(7, "invalid utf-8 sequence of 1 bytes from index 0")},
        StringBad{"overlong_F0_80_80_80", lit("\0\0\0\x04\xF0\x80\x80\x80"), 0,
                  UTF8_BAD(8, "invalid utf-8 sequence of 1 bytes from index 0")},
        StringBad{"above_max_F4_90_80_80", lit("\0\0\0\x04\xF4\x90\x80\x80"), 0,
                  UTF8_BAD(8, "invalid utf-8 sequence of 1 bytes from index 0")},
        StringBad{"lead_F5", lit("\0\0\0\x04\xF5\x80\x80\x80"), 0,
                  UTF8_BAD(8, "invalid utf-8 sequence of 1 bytes from index 0")},
        StringBad{"byte_FF", lit("\0\0\0\x01\xFF\0\0\0"), 0,
                  UTF8_BAD(5, "invalid utf-8 sequence of 1 bytes from index 0")},
        StringBad{"lone_continuation_after_ascii", lit("\0\0\0\x03" "ab\x80\0"), 0,
                  UTF8_BAD(7, "invalid utf-8 sequence of 1 bytes from index 2")},
        StringBad{"lead_then_lead", lit("\0\0\0\x03\xC3\xC3\xA9\0"), 0,
                  UTF8_BAD(7, "invalid utf-8 sequence of 1 bytes from index 0")},
        // The maximal ill-formed subsequence can be 2 or 3 bytes long.
        StringBad{"E2_82_then_ascii", lit("\0\0\0\x04" "a\xE2\x82("), 0,
                  UTF8_BAD(8, "invalid utf-8 sequence of 2 bytes from index 1")},
        StringBad{"F0_9F_98_then_ascii", lit("\0\0\0\x04\xF0\x9F\x98("), 0,
                  UTF8_BAD(8, "invalid utf-8 sequence of 3 bytes from index 0")},
        // Well formed so far, cut by the end of the string.
        StringBad{"four_byte_cut", lit("\0\0\0\x05" "ab\xF0\x9F\x98\0\0\0"), 0,
                  UTF8_BAD(9, "incomplete utf-8 byte sequence from index 2")},
        StringBad{"cut_after_long_ascii_run", lit("\0\0\0\x0B" "abcdefghi\xE2\x82\0"), 0,
                  UTF8_BAD(15, "incomplete utf-8 byte sequence from index 9")},
        StringBad{"cut_after_valid_sequence", lit("\0\0\0\x04\xC3\xA9\xE2\x82"), 0,
                  UTF8_BAD(8, "incomplete utf-8 byte sequence from index 2")},
        // The offset is absolute: the end of the string's bytes in the file.
        StringBad{"offset_is_absolute", lit("PREF\0\0\0\x02\xC3\x28\0\0"), 4,
                  UTF8_BAD(10, "invalid utf-8 sequence of 1 bytes from index 0")},
        // The UTF-8 check comes before the padding skip.
        StringBad{"malformed_and_padding_cut", lit("\0\0\0\x01\xFF"), 0,
                  UTF8_BAD(5, "invalid utf-8 sequence of 1 bytes from index 0")},
        StringBad{"padding_cut", lit("\0\0\0\x05" "abcde"), 0,
                  "unexpected end of file: skip 3 bytes at offset 9 (len 9)"},
        StringBad{"padding_partly_there", lit("\0\0\0\x05" "abcde\0"), 0,
                  "unexpected end of file: skip 3 bytes at offset 9 (len 10)"},
        StringBad{"length_4294967295", lit("\xFF\xFF\xFF\xFF" "abcd"), 0,
                  "unexpected end of file: need 4294967295 bytes at offset 4 (len 8)"},
        StringBad{"body_cut", lit("\0\0\0\x06" "abcde"), 0,
                  "unexpected end of file: need 6 bytes at offset 4 (len 9)"},
        StringBad{"length_word_cut", lit("\0\0\0"), 0,
                  "unexpected end of file: need 4 bytes at offset 0 (len 3)"}),
    [](const auto& p) { return std::string(p.param.label); });

#undef UTF8_BAD

// ---------------------------------------------------------------------------
// expect(): the word must be the chunk's number; the message names the chunk.

struct ExpectCase {
  ChunkId id;
  const char* name;
};

class CursorExpectNameTest : public ::testing::TestWithParam<ExpectCase> {};

TEST_P(CursorExpectNameTest, MismatchNamesTheExpectedChunk) {
  const auto& c = GetParam();
  ByteBuilder b;
  b.fill(40).u32(99);
  Cursor cur(b.bytes());
  ASSERT_TRUE(cur.skip(40));
  auto r = cur.expect(c.id);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), std::string("expected chunk ") + c.name + " (" +
                           std::to_string(quarn::number(c.id)) + ") at offset 40, got 99");
  EXPECT_EQ(cur.pos(), 44u) << "the word stays consumed";
}

TEST_P(CursorExpectNameTest, MatchConsumesTheWord) {
  ByteBuilder b;
  b.chunk(GetParam().id).u32(7);
  Cursor cur(b.bytes());
  EXPECT_TRUE(cur.expect(GetParam().id));
  EXPECT_EQ(cur.pos(), 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Cursor, CursorExpectNameTest,
    ::testing::Values(ExpectCase{ChunkId::SectionHeader, "SectionHeader"},
                      ExpectCase{ChunkId::SectionType, "SectionType"},
                      ExpectCase{ChunkId::SectionSweep, "SectionSweep"},
                      ExpectCase{ChunkId::SectionTrace, "SectionTrace"},
                      ExpectCase{ChunkId::SectionValue, "SectionValue"},
                      ExpectCase{ChunkId::SectionEnd, "SectionEnd"},
                      ExpectCase{ChunkId::Declaration, "Declaration"},
                      ExpectCase{ChunkId::GroupDeclaration, "GroupDeclaration"},
                      ExpectCase{ChunkId::StructEnd, "StructEnd"},
                      ExpectCase{ChunkId::ContainerIndex, "ContainerIndex"},
                      ExpectCase{ChunkId::ContainerPadding, "ContainerPadding"},
                      ExpectCase{ChunkId::Container, "Container"},
                      ExpectCase{ChunkId::SubContainer, "SubContainer"},
                      ExpectCase{ChunkId::PropString, "PropString"},
                      ExpectCase{ChunkId::PropInt, "PropInt"},
                      ExpectCase{ChunkId::PropFloat, "PropFloat"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(CursorExpect, NumbersOfTheChunks) {
  // The numbers stand in files; a wrong one would misread every file.
  const std::pair<ChunkId, std::uint32_t> table[] = {
      {ChunkId::SectionHeader, 0}, {ChunkId::SectionType, 1},   {ChunkId::SectionSweep, 2},
      {ChunkId::SectionTrace, 3},  {ChunkId::SectionValue, 4},  {ChunkId::SectionEnd, 15},
      {ChunkId::Declaration, 16},  {ChunkId::GroupDeclaration, 17}, {ChunkId::StructEnd, 18},
      {ChunkId::ContainerIndex, 19}, {ChunkId::ContainerPadding, 20}, {ChunkId::Container, 21},
      {ChunkId::SubContainer, 22}, {ChunkId::PropString, 33},   {ChunkId::PropInt, 34},
      {ChunkId::PropFloat, 35}};
  for (auto [id, n] : table) {
    ByteBuilder b;
    b.u32(n);
    Cursor cur(b.bytes());
    EXPECT_TRUE(cur.expect(id)) << quarn::name_of(id) << " should be " << n;
  }
}

TEST(CursorExpect, LargeWordPrintedUnsigned) {
  ByteBuilder b;
  b.u32(0xFFFFFFFF);
  Cursor cur(b.bytes());
  auto r = cur.expect(ChunkId::Container);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "expected chunk Container (21) at offset 0, got 4294967295");
}

TEST(CursorExpect, EndOfFilePassesTheTakeMessageUp) {
  ByteBuilder b;
  b.u32(0).raw({0, 0});
  Cursor cur(b.bytes());
  ASSERT_TRUE(cur.skip(4));
  auto r = cur.expect(ChunkId::StructEnd);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "unexpected end of file: need 4 bytes at offset 4 (len 6)");
  EXPECT_EQ(cur.pos(), 4u);
}

}  // namespace
