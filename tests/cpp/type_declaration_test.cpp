// Datatype tags and type declarations: scalars, flat structs, the refusals,
// and struct members nested far deeper than any call stack could follow.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "byte_builder.h"
#include "records.h"
#include "reader/type_declaration.h"
#include "types/datatype.h"

namespace {

using quarn::ChunkId;
using quarn::Cursor;
using quarn::Datatype;
using quarn_test::ByteBuilder;

std::string describe(const quarn::TypeInfo& info) {
  if (auto* s = std::get_if<quarn::TypeInfo::Scalar>(&info.v))
    return "Scalar(" + std::string(quarn::name_of(s->type)) + ")";
  std::string out = "Struct{";
  const auto& members = *std::get<quarn::TypeInfo::Struct>(info.v).members;
  for (std::size_t i = 0; i < members.size(); ++i)
    out += (i ? ", " : "") + members[i].name + ":" + std::string(quarn::name_of(members[i].type));
  return out + "}";
}

// ---------------------------------------------------------------------------
// Tags

struct KnownTag {
  std::uint32_t tag;
  Datatype type;
  const char* name;
};

class KnownTagTest : public ::testing::TestWithParam<KnownTag> {};

TEST_P(KnownTagTest, MapsToItsDatatypeAndName) {
  auto t = quarn::datatype::from_tag(GetParam().tag);
  ASSERT_TRUE(t) << t.error();
  EXPECT_EQ(*t, GetParam().type);
  EXPECT_EQ(quarn::name_of(*t), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Datatype, KnownTagTest,
                         ::testing::Values(KnownTag{0, Datatype::None, "None"},
                                           KnownTag{1, Datatype::Int8, "Int8"},
                                           KnownTag{2, Datatype::String, "String"},
                                           KnownTag{3, Datatype::Array, "Array"},
                                           KnownTag{5, Datatype::Int32, "Int32"},
                                           KnownTag{11, Datatype::Float64, "Float64"},
                                           KnownTag{12, Datatype::Complex, "Complex"},
                                           KnownTag{16, Datatype::Struct, "Struct"}),
                         [](const auto& p) { return std::string(p.param.name); });

class UnknownTagTest : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(UnknownTagTest, Fails) {
  auto t = quarn::datatype::from_tag(GetParam());
  ASSERT_FALSE(t);
  EXPECT_EQ(t.error(), "unknown datatype tag " + std::to_string(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Datatype, UnknownTagTest,
                         ::testing::Values(4u, 6u, 7u, 8u, 9u, 10u, 13u, 14u, 15u, 17u, 18u, 33u,
                                           256u, 0x0B000000u, 0xFFFFFFFFu));

// ---------------------------------------------------------------------------
// Declarations that read. Every input ends with the word 16 (not a property
// chunk), on which the cursor must stop.

struct TypeOk {
  const char* label;
  std::function<void(ByteBuilder&)> build;
  std::uint32_t id;
  std::string name;
  std::string info;
};
QUARN_TEST_PRINTS_LABEL(TypeOk)

class TypeDeclarationTest : public ::testing::TestWithParam<TypeOk> {};

TEST_P(TypeDeclarationTest, Reads) {
  const auto& c = GetParam();
  ByteBuilder b;
  c.build(b);
  const std::uint64_t end = b.size();
  b.chunk(ChunkId::Declaration);
  Cursor cur(b.bytes());
  auto d = quarn::read_type_declaration(cur);
  ASSERT_TRUE(d) << d.error();
  EXPECT_EQ(d->id, c.id);
  EXPECT_EQ(d->name, c.name);
  EXPECT_EQ(describe(d->info), c.info);
  EXPECT_EQ(cur.pos(), end);
}

INSTANTIATE_TEST_SUITE_P(
    TypeDeclaration, TypeDeclarationTest,
    ::testing::Values(
        TypeOk{"scalar_float64", [](ByteBuilder& b) { b.type_decl(7, "f", 11); }, 7, "f",
               "Scalar(Float64)"},
        TypeOk{"properties_are_passed",
               [](ByteBuilder& b) {
                 b.type_decl(0xFFFFFFFF, "volts", 12).prop_string("units", "V").prop_int("n", 1).prop_float("x", 2.5);
               },
               0xFFFFFFFF, "volts", "Scalar(Complex)"},
        TypeOk{"leading_tag_any_known_value", [](ByteBuilder& b) { b.type_decl(1, "i", 5, 16); }, 1, "i",
               "Scalar(Int32)"},
        TypeOk{"none_is_a_type", [](ByteBuilder& b) { b.type_decl(2, "n", 0); }, 2, "n", "Scalar(None)"},
        TypeOk{"array_is_a_type", [](ByteBuilder& b) { b.type_decl(3, "a", 3); }, 3, "a", "Scalar(Array)"},
        TypeOk{"struct_complex_string",
               [](ByteBuilder& b) {
                 b.type_decl(9, "S", 16);
                 b.type_decl(100, "c", 12).prop_int("member_prop", 5);
                 b.type_decl(101, "s", 2);
                 b.chunk(ChunkId::StructEnd).prop_string("struct_prop", "p");
               },
               9, "S", "Struct{c:Complex, s:String}"},
        TypeOk{"struct_all_scalar_kinds",
               [](ByteBuilder& b) {
                 b.type_decl(4, "op", 16);
                 b.type_decl(0, "i8", 1).type_decl(0, "str", 2).type_decl(0, "i32", 5);
                 b.type_decl(0, "f", 11).type_decl(0, "c", 12).type_decl(0, "f", 11);  // names may repeat
                 b.chunk(ChunkId::StructEnd);
               },
               4, "op", "Struct{i8:Int8, str:String, i32:Int32, f:Float64, c:Complex, f:Float64}"}),
    [](const auto& p) { return std::string(p.param.label); });

TEST(TypeDeclaration, PropertyListMayEndAtEndOfFile) {
  ByteBuilder b;
  b.type_decl(1, "f", 11).prop_int("p", 1);
  Cursor cur(b.bytes());
  auto d = quarn::read_type_declaration(cur);
  ASSERT_TRUE(d) << d.error();
  EXPECT_EQ(cur.pos(), b.size());
}

// ---------------------------------------------------------------------------
// Declarations that fail.

struct TypeBad {
  const char* label;
  std::function<void(ByteBuilder&)> build;
  std::string error;
};
QUARN_TEST_PRINTS_LABEL(TypeBad)

class TypeDeclarationFailureTest : public ::testing::TestWithParam<TypeBad> {};

TEST_P(TypeDeclarationFailureTest, Message) {
  ByteBuilder b;
  GetParam().build(b);
  Cursor cur(b.bytes());
  auto d = quarn::read_type_declaration(cur);
  ASSERT_FALSE(d) << "read " << describe(d->info);
  EXPECT_EQ(d.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    TypeDeclaration, TypeDeclarationFailureTest,
    ::testing::Values(
        TypeBad{"not_a_declaration", [](ByteBuilder& b) { b.u32(17).u32(1).str("g").u32(0); },
                "expected chunk Declaration (16) at offset 0, got 17"},
        TypeBad{"datatype_tag_4", [](ByteBuilder& b) { b.type_decl(1, "x", 4); }, "unknown datatype tag 4"},
        TypeBad{"leading_tag_4", [](ByteBuilder& b) { b.type_decl(1, "x", 11, 4); }, "unknown datatype tag 4"},
        TypeBad{"leading_tag_reported_first", [](ByteBuilder& b) { b.type_decl(1, "x", 6, 99); },
                "unknown datatype tag 99"},
        TypeBad{"datatype_tag_max", [](ByteBuilder& b) { b.type_decl(1, "x", 0xFFFFFFFF); },
                "unknown datatype tag 4294967295"},
        TypeBad{"zero_fields",
                [](ByteBuilder& b) { b.type_decl(1, "Empty", 16).chunk(ChunkId::StructEnd); },
                "struct 'Empty' has zero fields (empty structs unsupported)"},
        TypeBad{"nested_struct",
                [](ByteBuilder& b) {
                  b.type_decl(1, "outer", 16).type_decl(2, "inner", 16).type_decl(3, "x", 11);
                  b.chunk(ChunkId::StructEnd).chunk(ChunkId::StructEnd);
                },
                "struct 'outer' has a nested struct member 'inner' (nested structs are not supported)"},
        TypeBad{"nested_struct_after_a_good_member",
                [](ByteBuilder& b) {
                  b.type_decl(1, "outer", 16).type_decl(2, "ok", 11);
                  b.type_decl(3, "inner", 16).type_decl(4, "x", 11).chunk(ChunkId::StructEnd);
                  b.chunk(ChunkId::StructEnd);
                },
                "struct 'outer' has a nested struct member 'inner' (nested structs are not supported)"},
        TypeBad{"nested_empty_struct_names_the_member",
                [](ByteBuilder& b) {
                  b.type_decl(1, "outer", 16).type_decl(2, "inner", 16).chunk(ChunkId::StructEnd);
                  b.chunk(ChunkId::StructEnd);
                },
                "struct 'inner' has zero fields (empty structs unsupported)"},
        TypeBad{"failure_inside_nested_struct_wins",
                [](ByteBuilder& b) {
                  b.type_decl(1, "outer", 16).type_decl(2, "inner", 16).type_decl(3, "n", 0);
                  b.chunk(ChunkId::StructEnd).chunk(ChunkId::StructEnd);
                },
                "struct 'inner' member 'n' has unsupported type (only flat scalar struct members are supported)"},
        TypeBad{"nested_struct_read_to_its_properties_first",
                [](ByteBuilder& b) {
                  b.type_decl(1, "outer", 16).type_decl(2, "inner", 16).type_decl(3, "x", 11);
                  b.chunk(ChunkId::StructEnd).chunk(ChunkId::PropInt).str("p");  // value cut off
                },
                "unexpected end of file: need 4 bytes at offset 96 (len 96)"},
        TypeBad{"none_member",
                [](ByteBuilder& b) {
                  b.type_decl(1, "S", 16).type_decl(2, "x", 11).type_decl(3, "n", 0).chunk(ChunkId::StructEnd);
                },
                "struct 'S' member 'n' has unsupported type (only flat scalar struct members are supported)"},
        TypeBad{"array_member",
                [](ByteBuilder& b) { b.type_decl(1, "S", 16).type_decl(3, "a", 3).chunk(ChunkId::StructEnd); },
                "struct 'S' member 'a' has unsupported type (only flat scalar struct members are supported)"},
        TypeBad{"member_with_unknown_tag",
                [](ByteBuilder& b) { b.type_decl(1, "S", 16).type_decl(3, "m", 9).chunk(ChunkId::StructEnd); },
                "unknown datatype tag 9"},
        TypeBad{"member_list_cut_two_bytes_left",
                [](ByteBuilder& b) { b.type_decl(1, "S", 16).raw({0, 0}); },
                "unexpected end of file: need 4 bytes at offset 24 (len 26)"},
        TypeBad{"member_list_cut_at_end", [](ByteBuilder& b) { b.type_decl(1, "S", 16); },
                "unexpected end of file: need 4 bytes at offset 24 (len 24)"},
        TypeBad{"member_list_ended_by_property",
                [](ByteBuilder& b) { b.type_decl(1, "S", 16).prop_int("p", 1); },
                "expected chunk Declaration (16) at offset 24, got 34"},
        TypeBad{"property_value_cut",
                [](ByteBuilder& b) { b.type_decl(1, "f", 11).chunk(ChunkId::PropFloat).str("p").u32(0); },
                "unexpected end of file: need 8 bytes at offset 36 (len 40)"},
        TypeBad{"name_not_utf8", [](ByteBuilder& b) { b.chunk(ChunkId::Declaration).u32(1).str("\xC0\xAF"); },
                "invalid UTF-8 in string at offset 14: invalid utf-8 sequence of 1 bytes from index 0"}),
    [](const auto& p) { return std::string(p.param.label); });

// ---------------------------------------------------------------------------
// A chain of struct members one million levels deep: each struct's only
// member is the next struct. Read with a recursive descent this would
// exhaust the call stack long before the innermost level.

enum class Innermost { OneFloatMember, NoMembers, CutOff };

class DeepStructChainTest : public ::testing::TestWithParam<Innermost> {};

TEST_P(DeepStructChainTest, ReportsTheInnermostFailure) {
  constexpr int kDepth = 1'000'000;
  ByteBuilder b;
  for (int i = 0; i < kDepth; ++i) b.type_decl(static_cast<std::uint32_t>(i), "s" + std::to_string(i), 16);
  std::string expected;
  switch (GetParam()) {
    case Innermost::OneFloatMember:
      b.type_decl(kDepth, "x", 11);
      for (int i = 0; i < kDepth; ++i) b.chunk(ChunkId::StructEnd);
      expected = "struct 's999998' has a nested struct member 's999999' (nested structs are not supported)";
      break;
    case Innermost::NoMembers:
      for (int i = 0; i < kDepth; ++i) b.chunk(ChunkId::StructEnd);
      expected = "struct 's999999' has zero fields (empty structs unsupported)";
      break;
    case Innermost::CutOff:
      expected = "unexpected end of file: need 4 bytes at offset " + std::to_string(b.size()) +
                 " (len " + std::to_string(b.size()) + ")";
      break;
  }
  Cursor cur(b.bytes());
  auto d = quarn::read_type_declaration(cur);
  ASSERT_FALSE(d);
  EXPECT_EQ(d.error(), expected);
}

INSTANTIATE_TEST_SUITE_P(TypeDeclaration, DeepStructChainTest,
                         ::testing::Values(Innermost::OneFloatMember, Innermost::NoMembers, Innermost::CutOff),
                         [](const auto& p) {
                           switch (p.param) {
                             case Innermost::OneFloatMember: return std::string("one_float_member");
                             case Innermost::NoMembers: return std::string("no_members");
                             case Innermost::CutOff: return std::string("cut_off");
                           }
                           return std::string();
                         });

}  // namespace
