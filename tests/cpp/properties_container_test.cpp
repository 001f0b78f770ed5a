// Property lists, container preambles and container indexes.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "byte_builder.h"
#include "reader/container.h"
#include "reader/properties.h"
#include "records.h"

namespace {

using quarn::ChunkId;
using quarn::Cursor;
using quarn_test::ByteBuilder;
using quarn_test::describe;

// ---------------------------------------------------------------------------
// Property lists

TEST(Properties, ReadsEveryKindInFileOrderAndStopsBeforeOtherWord) {
  ByteBuilder b;
  b.prop_string("name", "value").prop_int("n", 0xFFFFFFFF).prop_float("f", 1.0);
  b.prop_int("n", 1);  // a repeated name stays a second entry
  b.prop_string("", "");
  const auto end = b.size();
  b.chunk(ChunkId::Declaration);
  Cursor cur(b.bytes());
  auto list = quarn::read_properties(cur);
  ASSERT_TRUE(list) << list.error();
  EXPECT_EQ(describe(*list),
            "name=String(value);n=Int(4294967295);f=Float(3ff0000000000000);n=Int(1);=String();");
  EXPECT_EQ(cur.pos(), end);
}

// The list ends without consuming anything when no property chunk follows,
// including when fewer than four bytes are left.
class PropertiesEmptyTest : public ::testing::TestWithParam<std::vector<std::uint8_t>> {};

TEST_P(PropertiesEmptyTest, NothingConsumed) {
  ByteBuilder b;
  b.prop_int("before", 1);
  const auto start = b.size();
  for (auto byte : GetParam()) b.u8(byte);
  Cursor cur(b.bytes());
  ASSERT_TRUE(cur.skip(start));
  auto list = quarn::read_properties(cur);
  ASSERT_TRUE(list) << list.error();
  EXPECT_TRUE(list->empty());
  EXPECT_EQ(cur.pos(), start);
}

INSTANTIATE_TEST_SUITE_P(Properties, PropertiesEmptyTest,
                         ::testing::Values(std::vector<std::uint8_t>{},                      // end of file
                                           std::vector<std::uint8_t>{0, 0, 0},               // 3 bytes
                                           std::vector<std::uint8_t>{0, 0},                  // 2 bytes
                                           std::vector<std::uint8_t>{0},                     // 1 byte
                                           std::vector<std::uint8_t>{0, 0, 0, 16},           // Declaration
                                           std::vector<std::uint8_t>{0, 0, 0, 32},           // below PropString
                                           std::vector<std::uint8_t>{0, 0, 0, 36},           // above PropFloat
                                           std::vector<std::uint8_t>{0x21, 0, 0, 0}));       // 33 little-endian

struct PropBad {
  const char* label;
  std::function<void(ByteBuilder&)> build;
  std::string error;
};
QUARN_TEST_PRINTS_LABEL(PropBad)

class PropertiesFailureTest : public ::testing::TestWithParam<PropBad> {};

TEST_P(PropertiesFailureTest, Message) {
  ByteBuilder b;
  GetParam().build(b);
  Cursor cur(b.bytes());
  auto list = quarn::read_properties(cur);
  ASSERT_FALSE(list) << describe(*list);
  EXPECT_EQ(list.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Properties, PropertiesFailureTest,
    ::testing::Values(
        PropBad{"string_value_cut",
                [](ByteBuilder& b) { b.prop_int("ok", 1).chunk(ChunkId::PropString).str("s").u32(10).raw("abc"); },
                // ok: 4+8+4 = 16; chunk 4, name 8, length word at 28
                "unexpected end of file: need 10 bytes at offset 32 (len 35)"},
        PropBad{"int_value_cut", [](ByteBuilder& b) { b.chunk(ChunkId::PropInt).str("i").raw({0, 0}); },
                "unexpected end of file: need 4 bytes at offset 12 (len 14)"},
        PropBad{"float_value_cut", [](ByteBuilder& b) { b.chunk(ChunkId::PropFloat).str("f").u32(0); },
                "unexpected end of file: need 8 bytes at offset 12 (len 16)"},
        PropBad{"name_cut", [](ByteBuilder& b) { b.chunk(ChunkId::PropInt).raw({0, 0, 0}); },
                "unexpected end of file: need 4 bytes at offset 4 (len 7)"},
        PropBad{"chunk_word_alone", [](ByteBuilder& b) { b.chunk(ChunkId::PropFloat); },
                "unexpected end of file: need 4 bytes at offset 4 (len 4)"},
        PropBad{"name_not_utf8", [](ByteBuilder& b) { b.chunk(ChunkId::PropInt).str("\xE2\x82").u32(1); },
                "invalid UTF-8 in string at offset 10: incomplete utf-8 byte sequence from index 0"},
        PropBad{"value_not_utf8", [](ByteBuilder& b) { b.prop_string("s", "ok\xED\xA0\x80"); },
                "invalid UTF-8 in string at offset 21: invalid utf-8 sequence of 1 bytes from index 2"}),
    [](const auto& p) { return std::string(p.param.label); });

// ---------------------------------------------------------------------------
// Container preambles. The preamble starts at offset 8 of the input.

struct PreambleCase {
  const char* label;
  std::uint32_t word;
  std::uint32_t end_word;
  bool end_word_present;
  ChunkId expected;
  std::uint64_t end;    // on success
  std::string error;    // empty: success
};
QUARN_TEST_PRINTS_LABEL(PreambleCase)

class ContainerPreambleTest : public ::testing::TestWithParam<PreambleCase> {};

TEST_P(ContainerPreambleTest, EndOrMessage) {
  const auto& c = GetParam();
  ByteBuilder b;
  b.fill(8).u32(c.word);
  if (c.end_word_present) b.u32(c.end_word);
  else b.raw({0, 0});
  Cursor cur(b.bytes());
  ASSERT_TRUE(cur.skip(8));
  auto end = quarn::read_container_preamble(cur, c.expected);
  if (c.error.empty()) {
    ASSERT_TRUE(end) << end.error();
    EXPECT_EQ(*end, c.end);
    EXPECT_EQ(cur.pos(), 16u);
  } else {
    ASSERT_FALSE(end) << "end " << *end;
    EXPECT_EQ(end.error(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Container, ContainerPreambleTest,
    ::testing::Values(
        PreambleCase{"container_end_is_word_minus_4", 21, 100, true, ChunkId::Container, 96, ""},
        PreambleCase{"subcontainer_end_is_word", 22, 100, true, ChunkId::SubContainer, 100, ""},
        PreambleCase{"container_word_4_ends_at_0", 21, 4, true, ChunkId::Container, 0, ""},
        PreambleCase{"container_word_max", 21, 0xFFFFFFFF, true, ChunkId::Container, 4294967291, ""},
        PreambleCase{"subcontainer_small_word_kept", 22, 3, true, ChunkId::SubContainer, 3, ""},
        PreambleCase{"container_word_3", 21, 3, true, ChunkId::Container, 0, "invalid CONTAINER size 3"},
        PreambleCase{"container_word_0", 21, 0, true, ChunkId::Container, 0, "invalid CONTAINER size 0"},
        PreambleCase{"sub_where_container_expected", 22, 100, true, ChunkId::Container, 0,
                     "expected chunk Container (21) at offset 8, got 22"},
        PreambleCase{"container_where_sub_expected", 21, 100, true, ChunkId::SubContainer, 0,
                     "expected chunk SubContainer (22) at offset 8, got 21"},
        PreambleCase{"end_word_cut", 21, 0, false, ChunkId::Container, 0,
                     "unexpected end of file: need 4 bytes at offset 12 (len 14)"}),
    [](const auto& p) { return std::string(p.param.label); });

// ---------------------------------------------------------------------------
// Container indexes: word 19, a byte count S, floor(S / (4 + w)) entries.
// `available` bytes follow the 8-byte head; the index starts at offset 0.

struct IndexCase {
  const char* label;
  std::uint32_t payload;    // w
  std::uint32_t byte_count; // S
  std::size_t available;
  std::uint64_t pos_after;  // on success
  std::string error;        // empty: success
};
QUARN_TEST_PRINTS_LABEL(IndexCase)

class ContainerIndexTest : public ::testing::TestWithParam<IndexCase> {};

TEST_P(ContainerIndexTest, PassesOverEntries) {
  const auto& c = GetParam();
  ByteBuilder b;
  b.chunk(ChunkId::ContainerIndex).u32(c.byte_count).fill(c.available, 0xAB);
  Cursor cur(b.bytes());
  auto r = quarn::read_container_index(cur, c.payload);
  if (c.error.empty()) {
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(cur.pos(), c.pos_after);
  } else {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Container, ContainerIndexTest,
    ::testing::Values(
        IndexCase{"w4_count9_leaves_ninth_byte", 4, 9, 9, 16, ""},
        IndexCase{"count0_is_eight_bytes", 4, 0, 0, 8, ""},
        IndexCase{"count_below_one_entry", 4, 7, 7, 8, ""},
        IndexCase{"w4_count_exactly_one_entry", 4, 8, 8, 16, ""},
        IndexCase{"w12_count_exactly_one_entry", 12, 16, 16, 24, ""},
        IndexCase{"w12_two_entries", 12, 32, 32, 40, ""},
        IndexCase{"w12_count20_one_entry", 12, 20, 20, 24, ""},
        IndexCase{"w12_count15_no_entry", 12, 15, 15, 8, ""},
        IndexCase{"payload_past_end", 4, 16, 14, 0, "unexpected end of file: skip 4 bytes at offset 20 (len 22)"},
        IndexCase{"key_past_end", 4, 16, 10, 0, "unexpected end of file: need 4 bytes at offset 16 (len 18)"},
        // A count from the file must not drive a long loop over nothing.
        IndexCase{"count_max_fails_fast", 4, 0xFFFFFFFF, 16, 0,
                  "unexpected end of file: need 4 bytes at offset 24 (len 24)"},
        IndexCase{"count_max_w12_fails_fast", 12, 0xFFFFFFFF, 0, 0,
                  "unexpected end of file: need 4 bytes at offset 8 (len 8)"}),
    [](const auto& p) { return std::string(p.param.label); });

TEST(ContainerIndex, WrongChunkWord) {
  ByteBuilder b;
  b.fill(4).chunk(ChunkId::ContainerPadding).u32(0);
  Cursor cur(b.bytes());
  ASSERT_TRUE(cur.skip(4));
  auto r = quarn::read_container_index(cur, 4);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "expected chunk ContainerIndex (19) at offset 4, got 20");
}

TEST(ContainerIndex, ByteCountCut) {
  ByteBuilder b;
  b.chunk(ChunkId::ContainerIndex).raw({0, 0, 0});
  Cursor cur(b.bytes());
  auto r = quarn::read_container_index(cur, 12);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "unexpected end of file: need 4 bytes at offset 4 (len 7)");
}

}  // namespace
