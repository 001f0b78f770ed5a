// Scalar values by datatype, and flat struct values.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "byte_builder.h"
#include "reader/scalar.h"
#include "records.h"

namespace {

using quarn::Cursor;
using quarn::Datatype;
using quarn_test::ByteBuilder;
using quarn_test::describe;
using quarn_test::struct_members;

// Each value starts at offset 4 (after a filler word) so offsets in messages
// are not accidentally zero.
struct ScalarCase {
  const char* label;
  Datatype type;
  std::function<void(ByteBuilder&)> build;
  std::string value;      // describe() of the result; empty: fails
  std::uint64_t consumed;
  std::string error;
};
QUARN_TEST_PRINTS_LABEL(ScalarCase)

class ScalarTest : public ::testing::TestWithParam<ScalarCase> {};

TEST_P(ScalarTest, ValueOrMessage) {
  const auto& c = GetParam();
  ByteBuilder b;
  b.u32(0xFEEDFACE);
  c.build(b);
  Cursor cur(b.bytes());
  ASSERT_TRUE(cur.skip(4));
  auto v = quarn::read_scalar(cur, c.type);
  if (c.error.empty()) {
    ASSERT_TRUE(v) << v.error();
    EXPECT_EQ(describe(*v), c.value);
    EXPECT_EQ(cur.pos(), 4 + c.consumed);
  } else {
    ASSERT_FALSE(v) << describe(*v);
    EXPECT_EQ(v.error(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scalar, ScalarTest,
    ::testing::Values(
        ScalarCase{"int8_ff_is_255", Datatype::Int8, [](ByteBuilder& b) { b.raw({0xFF, 0, 0, 0}).u32(7); },
                   "Int(255)", 4, ""},
        ScalarCase{"int8_padding_not_examined", Datatype::Int8,
                   [](ByteBuilder& b) { b.raw({0x80, 0xAA, 0xBB, 0xCC}); }, "Int(128)", 4, ""},
        ScalarCase{"int8_padding_cut", Datatype::Int8, [](ByteBuilder& b) { b.raw({0x01, 0, 0}); }, "", 0,
                   "unexpected end of file: skip 3 bytes at offset 5 (len 7)"},
        ScalarCase{"int8_only_the_byte", Datatype::Int8, [](ByteBuilder& b) { b.raw({0x01}); }, "", 0,
                   "unexpected end of file: skip 3 bytes at offset 5 (len 5)"},
        ScalarCase{"int8_nothing_left", Datatype::Int8, [](ByteBuilder&) {}, "", 0,
                   "unexpected end of file: need 1 bytes at offset 4 (len 4)"},
        ScalarCase{"int32_ffffffff_unsigned", Datatype::Int32, [](ByteBuilder& b) { b.u32(0xFFFFFFFF); },
                   "Int(4294967295)", 4, ""},
        ScalarCase{"int32_cut", Datatype::Int32, [](ByteBuilder& b) { b.raw({1, 2, 3}); }, "", 0,
                   "unexpected end of file: need 4 bytes at offset 4 (len 7)"},
        ScalarCase{"float64", Datatype::Float64, [](ByteBuilder& b) { b.u64(0xC000000000000000); },
                   "Float(c000000000000000)", 8, ""},
        ScalarCase{"float64_nan_payload_kept", Datatype::Float64, [](ByteBuilder& b) { b.u64(0x7FF0000000000F0F); },
                   "Float(7ff0000000000f0f)", 8, ""},
        ScalarCase{"float64_cut", Datatype::Float64, [](ByteBuilder& b) { b.u32(0); }, "", 0,
                   "unexpected end of file: need 8 bytes at offset 4 (len 8)"},
        ScalarCase{"complex_real_then_imaginary", Datatype::Complex,
                   [](ByteBuilder& b) { b.f64(1.0).f64(-2.0); },
                   "Complex(3ff0000000000000,c000000000000000)", 16, ""},
        ScalarCase{"complex_imaginary_cut", Datatype::Complex, [](ByteBuilder& b) { b.f64(1.0).u32(0); }, "", 0,
                   "unexpected end of file: need 8 bytes at offset 12 (len 16)"},
        ScalarCase{"complex_real_cut", Datatype::Complex, [](ByteBuilder& b) { b.u32(0); }, "", 0,
                   "unexpected end of file: need 8 bytes at offset 4 (len 8)"},
        ScalarCase{"string", Datatype::String, [](ByteBuilder& b) { b.str("hello"); }, "String(hello)", 12, ""},
        ScalarCase{"string_bad_utf8", Datatype::String, [](ByteBuilder& b) { b.str("\xC3"); }, "", 0,
                   "invalid UTF-8 in string at offset 9: incomplete utf-8 byte sequence from index 0"},
        ScalarCase{"none_refused", Datatype::None, [](ByteBuilder& b) { b.u32(0); }, "", 0, "value has datatype NONE"},
        ScalarCase{"array_refused", Datatype::Array, [](ByteBuilder& b) { b.u32(0); }, "", 0,
                   "array-typed values are not supported"},
        ScalarCase{"struct_refused", Datatype::Struct, [](ByteBuilder& b) { b.u32(0); }, "", 0,
                   "nested struct values are not supported"}),
    [](const auto& p) { return std::string(p.param.label); });

// A refused datatype consumes nothing, even with nothing left to read.
class ScalarRefusedTest : public ::testing::TestWithParam<Datatype> {};

TEST_P(ScalarRefusedTest, ConsumesNothing) {
  ByteBuilder b;
  b.u32(1);
  Cursor cur(b.bytes());
  ASSERT_TRUE(cur.skip(4));
  auto v = quarn::read_scalar(cur, GetParam());
  ASSERT_FALSE(v);
  EXPECT_EQ(cur.pos(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Scalar, ScalarRefusedTest,
                         ::testing::Values(Datatype::None, Datatype::Array, Datatype::Struct));

// ---------------------------------------------------------------------------
// Struct values

TEST(StructValue, Float64ThenStringInMemberOrder) {
  ByteBuilder b;
  b.f64(0.5).str("abc").u32(0xA5A5A5A5);
  Cursor cur(b.bytes());
  auto v = quarn::read_struct_value(
      cur, struct_members({{"x", Datatype::Float64}, {"label", Datatype::String}}));
  ASSERT_TRUE(v) << v.error();
  EXPECT_EQ(describe(*v), "Struct{x=Float(3fe0000000000000), label=String(abc)}");
  EXPECT_EQ(cur.pos(), 16u);
}

TEST(StructValue, EveryScalarMemberKind) {
  ByteBuilder b;
  b.raw({0xFE, 1, 2, 3}).u32(70000).f64(2.0).f64(3.0).f64(-4.0).str("");
  Cursor cur(b.bytes());
  auto v = quarn::read_struct_value(cur, struct_members({{"i8", Datatype::Int8},
                                                         {"i32", Datatype::Int32},
                                                         {"f", Datatype::Float64},
                                                         {"c", Datatype::Complex},
                                                         {"s", Datatype::String}}));
  ASSERT_TRUE(v) << v.error();
  EXPECT_EQ(describe(*v),
            "Struct{i8=Int(254), i32=Int(70000), f=Float(4000000000000000), "
            "c=Complex(4008000000000000,c010000000000000), s=String()}");
  EXPECT_EQ(cur.pos(), b.size());
}

TEST(StructValue, SecondMemberCutPassesItsMessageUp) {
  ByteBuilder b;
  b.f64(1.0).raw({0, 0, 0});
  Cursor cur(b.bytes());
  auto v = quarn::read_struct_value(
      cur, struct_members({{"a", Datatype::Float64}, {"b", Datatype::Int32}}));
  ASSERT_FALSE(v);
  EXPECT_EQ(v.error(), "unexpected end of file: need 4 bytes at offset 8 (len 11)");
}

TEST(StructValue, RefusedMemberTypeFailsAtThatMember) {
  ByteBuilder b;
  b.f64(1.0).u32(0);
  Cursor cur(b.bytes());
  auto v = quarn::read_struct_value(
      cur, struct_members({{"a", Datatype::Float64}, {"n", Datatype::None}}));
  ASSERT_FALSE(v);
  EXPECT_EQ(v.error(), "value has datatype NONE");
  EXPECT_EQ(cur.pos(), 8u);
}

}  // namespace
