// Data declarations in the three contexts, groups (down to a million levels),
// and handing the declared series out in declaration order.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "byte_builder.h"
#include "reader/data_declaration.h"
#include "records.h"

namespace {

using quarn::ChunkId;
using quarn::Cursor;
using quarn::Datatype;
using quarn::DeclContext;
using quarn::ParseState;
using quarn::TypeInfo;
using quarn_test::ByteBuilder;
using quarn_test::describe;

// Type ids used below.
enum : std::uint32_t {
  kF64 = 1, kComplex = 2, kInt32 = 3, kNone = 4, kArray = 5, kInt8 = 6, kString = 7,
  kXYZ = 10,      // struct x, y, z: Float64
  kMixed = 11,    // struct x: Float64, y: Complex
  kOpPoint = 12,  // struct v: Float64, flag: Int8
};

const quarn::TypeTable& types() {
  static const quarn::TypeTable table = [] {
    quarn::TypeTable t;
    auto scalar = [](Datatype d) { return TypeInfo{TypeInfo::Scalar{d}}; };
    auto strct = [](std::vector<quarn::StructMemberType> m) {
      return TypeInfo{TypeInfo::Struct{quarn_test::struct_members(std::move(m))}};
    };
    t.emplace(kF64, scalar(Datatype::Float64));
    t.emplace(kComplex, scalar(Datatype::Complex));
    t.emplace(kInt32, scalar(Datatype::Int32));
    t.emplace(kNone, scalar(Datatype::None));
    t.emplace(kArray, scalar(Datatype::Array));
    t.emplace(kInt8, scalar(Datatype::Int8));
    t.emplace(kString, scalar(Datatype::String));
    t.emplace(kXYZ, strct({{"x", Datatype::Float64}, {"y", Datatype::Float64}, {"z", Datatype::Float64}}));
    t.emplace(kMixed, strct({{"x", Datatype::Float64}, {"y", Datatype::Complex}}));
    t.emplace(kOpPoint, strct({{"v", Datatype::Float64}, {"flag", Datatype::Int8}}));
    return t;
  }();
  return table;
}

const char* context_name(DeclContext c) {
  switch (c) {
    case DeclContext::Sweep: return "sweep";
    case DeclContext::Trace: return "trace";
    case DeclContext::Value: return "value";
  }
  return "?";
}

// ---------------------------------------------------------------------------
// One top-level declaration (or group) that reads. Each input is followed by
// the word 16, on which the cursor must stop.

struct DeclOk {
  const char* label;
  DeclContext context;
  std::function<void(ByteBuilder&)> build;
  std::string state;
};
QUARN_TEST_PRINTS_LABEL(DeclOk)

class DataDeclarationTest : public ::testing::TestWithParam<DeclOk> {};

TEST_P(DataDeclarationTest, Records) {
  const auto& c = GetParam();
  ByteBuilder b;
  c.build(b);
  const auto end = b.size();
  b.chunk(ChunkId::Declaration);
  Cursor cur(b.bytes());
  ParseState state;
  auto r = quarn::read_data_declaration(cur, types(), state, c.context);
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(describe(state), c.state);
  EXPECT_EQ(cur.pos(), end);
}

INSTANTIATE_TEST_SUITE_P(
    DataDeclaration, DataDeclarationTest,
    ::testing::Values(
        DeclOk{"sweep_float64", DeclContext::Sweep,
               [](ByteBuilder& b) { b.decl(5, "time", kF64).prop_string("units", "s").prop_int("n", 3); },
               "sweeps=[5] traces=[] decls={5:time Real[]} values="},
        DeclOk{"trace_complex", DeclContext::Trace, [](ByteBuilder& b) { b.decl(0xFFFFFFFF, "v(out)", kComplex); },
               "sweeps=[] traces=[4294967295] decls={4294967295:v(out) Complex[]} values="},
        DeclOk{"trace_struct_of_float64", DeclContext::Trace, [](ByteBuilder& b) { b.decl(8, "noise", kXYZ); },
               "sweeps=[] traces=[8] decls={8:noise Struct3[x,y,z][]} values="},
        DeclOk{"sweep_struct_of_float64", DeclContext::Sweep, [](ByteBuilder& b) { b.decl(8, "s", kXYZ); },
               "sweeps=[8] traces=[] decls={8:s Struct3[x,y,z][]} values="},
        DeclOk{"value_int32", DeclContext::Value, [](ByteBuilder& b) { b.decl(3, "count", kInt32).u32(0xFFFFFFFF); },
               "sweeps=[] traces=[] decls={} values=count:Int(4294967295);"},
        DeclOk{"value_string_then_properties", DeclContext::Value,
               [](ByteBuilder& b) { b.decl(3, "model", kString).str("nmos").prop_int("p", 1); },
               "sweeps=[] traces=[] decls={} values=model:String(nmos);"},
        DeclOk{"value_mixed_struct", DeclContext::Value,
               [](ByteBuilder& b) { b.decl(3, "m", kMixed).f64(1.0).f64(2.0).f64(3.0); },
               "sweeps=[] traces=[] decls={} values=m:Struct{x=Float(3ff0000000000000), "
               "y=Complex(4000000000000000,4008000000000000)};"},
        DeclOk{"value_struct_int8_takes_a_word", DeclContext::Value,
               [](ByteBuilder& b) { b.decl(3, "m1", kOpPoint).f64(0.5).raw({0x07, 0xFF, 0xFF, 0xFF}); },
               "sweeps=[] traces=[] decls={} values=m1:Struct{v=Float(3fe0000000000000), flag=Int(7)};"},
        DeclOk{"group_count_0", DeclContext::Sweep,
               [](ByteBuilder& b) { b.group(9, "g", 0).prop_string("group_prop", "x"); },
               "sweeps=[] traces=[] decls={} values="},
        DeclOk{"nested_groups_in_file_order", DeclContext::Sweep,
               [](ByteBuilder& b) {
                 b.group(100, "outer", 3);
                 b.decl(1, "a", kF64).prop_int("pa", 1);
                 b.group(101, "inner", 2).decl(2, "b", kF64).decl(3, "c", kComplex).prop_int("inner_prop", 1);
                 b.decl(4, "d", kF64);
                 b.prop_int("outer_prop", 2);
               },
               "sweeps=[1,2,3,4] traces=[] decls={1:a Real[], 2:b Real[], 3:c Complex[], 4:d Real[]} values="},
        DeclOk{"nested_groups_trace", DeclContext::Trace,
               [](ByteBuilder& b) {
                 b.group(100, "outer", 2).group(101, "inner", 1).decl(7, "x", kF64).decl(6, "y", kF64);
               },
               "sweeps=[] traces=[7,6] decls={6:y Real[], 7:x Real[]} values="},
        DeclOk{"empty_group_inside_group", DeclContext::Trace,
               [](ByteBuilder& b) {
                 b.group(100, "outer", 2).group(101, "empty", 0).prop_int("p", 0).decl(7, "x", kF64);
               },
               "sweeps=[] traces=[7] decls={7:x Real[]} values="},
        DeclOk{"grouped_values_in_file_order", DeclContext::Value,
               [](ByteBuilder& b) {
                 b.group(1, "g", 3).decl(10, "b", kInt32).u32(2).group(2, "h", 1).decl(11, "a", kF64).f64(1.0);
                 b.decl(12, "b", kInt32).u32(3);  // same name again: both stay
               },
               "sweeps=[] traces=[] decls={} values=b:Int(2);a:Float(3ff0000000000000);b:Int(3);"},
        DeclOk{"duplicate_id_later_wins_and_is_listed_twice", DeclContext::Sweep,
               [](ByteBuilder& b) { b.group(1, "g", 2).decl(5, "first", kF64).decl(5, "second", kComplex); },
               "sweeps=[5,5] traces=[] decls={5:second Complex[]} values="}),
    [](const auto& p) { return std::string(p.param.label); });

// ---------------------------------------------------------------------------
// Swept declarations of refused types, in both swept contexts.

struct Refused {
  const char* label;
  std::uint32_t type_id;
  std::string error;
};
QUARN_TEST_PRINTS_LABEL(Refused)

class SweptTypeRefusedTest : public ::testing::TestWithParam<std::tuple<DeclContext, Refused>> {};

TEST_P(SweptTypeRefusedTest, Message) {
  const auto& [context, c] = GetParam();
  ByteBuilder b;
  b.decl(21, "q", c.type_id);
  Cursor cur(b.bytes());
  ParseState state;
  auto r = quarn::read_data_declaration(cur, types(), state, context);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), c.error);
  EXPECT_EQ(describe(state), "sweeps=[] traces=[] decls={} values=");
}

#define NON_F64(member, type)                                                                     \
  "swept struct trace 'q' member '" member "' has non-FLOAT64 type " type                          \
  " (only flat float64 struct traces are supported; heterogeneous structs are supported as non-swept " \
  "values only)"

INSTANTIATE_TEST_SUITE_P(
    DataDeclaration, SweptTypeRefusedTest,
    ::testing::Combine(
        ::testing::Values(DeclContext::Sweep, DeclContext::Trace),
        ::testing::Values(Refused{"none", kNone, "trace/sweep 'q' has unsupported datatype None"},
                          Refused{"int8", kInt8, "trace/sweep 'q' has unsupported datatype Int8"},
                          Refused{"string", kString, "trace/sweep 'q' has unsupported datatype String"},
                          Refused{"array", kArray, "trace/sweep 'q' has unsupported datatype Array"},
                          Refused{"int32", kInt32, "trace/sweep 'q' has unsupported datatype Int32"},
                          Refused{"struct_with_complex", kMixed, NON_F64("y", "Complex")},
                          Refused{"struct_with_int8", kOpPoint, NON_F64("flag", "Int8")})),
    [](const auto& p) {
      return std::string(context_name(std::get<0>(p.param))) + "_" + std::get<1>(p.param).label;
    });

#undef NON_F64

// ---------------------------------------------------------------------------
// Other failures. The declaration starts at offset 8.

struct DeclBad {
  const char* label;
  DeclContext context;
  std::function<void(ByteBuilder&)> build;
  std::string error;
};
QUARN_TEST_PRINTS_LABEL(DeclBad)

class DataDeclarationFailureTest : public ::testing::TestWithParam<DeclBad> {};

TEST_P(DataDeclarationFailureTest, Message) {
  const auto& c = GetParam();
  ByteBuilder b;
  b.fill(8);
  c.build(b);
  Cursor cur(b.bytes());
  ASSERT_TRUE(cur.skip(8));
  ParseState state;
  auto r = quarn::read_data_declaration(cur, types(), state, c.context);
  ASSERT_FALSE(r) << describe(state);
  EXPECT_EQ(r.error(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    DataDeclaration, DataDeclarationFailureTest,
    ::testing::Values(
        DeclBad{"unknown_type_sweep", DeclContext::Sweep, [](ByteBuilder& b) { b.decl(7, "v", 99); },
                "declaration 7 references unknown type id 99"},
        DeclBad{"unknown_type_trace", DeclContext::Trace, [](ByteBuilder& b) { b.decl(7, "v", 99); },
                "declaration 7 references unknown type id 99"},
        DeclBad{"unknown_type_value", DeclContext::Value, [](ByteBuilder& b) { b.decl(7, "v", 99).u32(0); },
                "declaration 7 references unknown type id 99"},
        DeclBad{"starts_with_19", DeclContext::Trace,
                [](ByteBuilder& b) { b.chunk(ChunkId::ContainerIndex).u32(1).str("abcde").u32(0); },
                "expected DECLARATION (16) or GROUP_DECLARATION (17) at offset 8, got 19"},
        DeclBad{"bad_start_word_name_cut_reports_the_read", DeclContext::Sweep,
                [](ByteBuilder& b) { b.u32(19).u32(1).u32(10); },
                "unexpected end of file: need 10 bytes at offset 20 (len 20)"},
        DeclBad{"bad_word_inside_group_at_its_offset", DeclContext::Sweep,
                [](ByteBuilder& b) { b.group(1, "g", 2).decl(2, "a", kF64).u32(18).u32(3).str(""); },
                // group 8..28, decl 28..48, word 18 at 48
                "expected DECLARATION (16) or GROUP_DECLARATION (17) at offset 48, got 18"},
        DeclBad{"value_of_none", DeclContext::Value, [](ByteBuilder& b) { b.decl(7, "v", kNone).u32(0); },
                "value has datatype NONE"},
        DeclBad{"value_of_array", DeclContext::Value, [](ByteBuilder& b) { b.decl(7, "v", kArray).u32(0); },
                "array-typed values are not supported"},
        DeclBad{"value_cut", DeclContext::Value, [](ByteBuilder& b) { b.decl(7, "v", kComplex).f64(1.0); },
                "unexpected end of file: need 8 bytes at offset 36 (len 36)"},
        DeclBad{"type_id_cut", DeclContext::Sweep,
                [](ByteBuilder& b) { b.chunk(ChunkId::Declaration).u32(1).str("v").raw({0, 0}); },
                "unexpected end of file: need 4 bytes at offset 24 (len 26)"},
        DeclBad{"group_count_cut", DeclContext::Sweep,
                [](ByteBuilder& b) { b.chunk(ChunkId::GroupDeclaration).u32(1).str("g"); },
                "unexpected end of file: need 4 bytes at offset 24 (len 24)"},
        // The count comes from the file; the first missing member ends the read.
        DeclBad{"group_count_max_fails_fast", DeclContext::Sweep,
                [](ByteBuilder& b) { b.group(1, "g", 0xFFFFFFFF).decl(2, "a", kF64); },
                "unexpected end of file: need 4 bytes at offset 48 (len 48)"},
        DeclBad{"group_property_cut", DeclContext::Value,
                [](ByteBuilder& b) {
                  b.group(1, "g", 1).decl(2, "a", kInt32).u32(1).chunk(ChunkId::PropString).str("p").u32(8);
                },
                "unexpected end of file: need 8 bytes at offset 68 (len 68)"}),
    [](const auto& p) { return std::string(p.param.label); });

// ---------------------------------------------------------------------------
// A chain of groups one million levels deep, each the only member of its
// parent. A recursive reader would exhaust the call stack.

enum class ChainEnd { TwoDeclarations, UnknownType, CutOff };

class DeepGroupChainTest : public ::testing::TestWithParam<ChainEnd> {};

TEST_P(DeepGroupChainTest, ReadsWithoutRecursion) {
  constexpr std::uint32_t kDepth = 1'000'000;
  ByteBuilder b;
  for (std::uint32_t i = 0; i < kDepth; ++i) b.group(1000 + i, "", i + 1 == kDepth ? 2 : 1);
  std::string expected_error;
  switch (GetParam()) {
    case ChainEnd::TwoDeclarations:
      b.decl(2, "b", kF64).decl(1, "a", kComplex);
      break;
    case ChainEnd::UnknownType:
      b.decl(2, "b", kF64).decl(1, "a", 99);
      expected_error = "declaration 1 references unknown type id 99";
      break;
    case ChainEnd::CutOff:
      b.decl(2, "b", kF64);
      expected_error = "unexpected end of file: need 4 bytes at offset " + std::to_string(b.size()) +
                       " (len " + std::to_string(b.size()) + ")";
      break;
  }
  Cursor cur(b.bytes());
  ParseState state;
  auto r = quarn::read_data_declaration(cur, types(), state, DeclContext::Sweep);
  if (expected_error.empty()) {
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(describe(state), "sweeps=[2,1] traces=[] decls={1:a Complex[], 2:b Real[]} values=");
    EXPECT_EQ(cur.pos(), b.size());
  } else {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), expected_error);
  }
}

INSTANTIATE_TEST_SUITE_P(DataDeclaration, DeepGroupChainTest,
                         ::testing::Values(ChainEnd::TwoDeclarations, ChainEnd::UnknownType, ChainEnd::CutOff),
                         [](const auto& p) {
                           switch (p.param) {
                             case ChainEnd::TwoDeclarations: return std::string("two_declarations");
                             case ChainEnd::UnknownType: return std::string("unknown_type");
                             case ChainEnd::CutOff: return std::string("cut_off");
                           }
                           return std::string();
                         });

// ---------------------------------------------------------------------------
// ParseState::take_order

ParseState state_with(std::initializer_list<std::pair<std::uint32_t, const char*>> decls) {
  ParseState st;
  for (auto [id, name] : decls) st.decls.emplace(id, quarn::DataDecl{name, quarn::Series{quarn::Series::Real{}}});
  return st;
}

TEST(TakeOrder, EmptyListLeavesTheTableAlone) {
  ParseState st = state_with({{1, "a"}, {2, "b"}});
  auto out = st.take_order({});
  ASSERT_TRUE(out) << out.error();
  EXPECT_TRUE(out->empty());
  EXPECT_EQ(st.decls.size(), 2u);
}

TEST(TakeOrder, FollowsTheListAndRemovesWhatItHandsOut) {
  ParseState st = state_with({{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}});
  auto out = st.take_order({3, 1, 2});
  ASSERT_TRUE(out) << out.error();
  ASSERT_EQ(out->size(), 3u);
  EXPECT_EQ((*out)[0].name, "c");
  EXPECT_EQ((*out)[1].name, "a");
  EXPECT_EQ((*out)[2].name, "b");
  EXPECT_EQ(st.decls.count(1) + st.decls.count(2) + st.decls.count(3), 0u);
  EXPECT_EQ(st.decls.count(4), 1u);
  // A second hand-out of an id already taken fails.
  auto again = st.take_order({4, 1});
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error(), "internal: missing declaration 1 during assembly");
}

TEST(TakeOrder, MovesSamplesWithoutCopying) {
  ParseState st = state_with({{7, "v"}});
  auto& samples = st.decls.at(7).series.samples();
  ASSERT_TRUE(samples.reserve_more_exact(3));
  for (double d : {1.0, 2.0, 3.0}) samples.push_back(d);
  const double* buffer = samples.data();
  auto out = st.take_order({7});
  ASSERT_TRUE(out) << out.error();
  EXPECT_EQ((*out)[0].series.samples().data(), buffer);
  EXPECT_EQ(quarn_test::bits((*out)[0].series.samples()),
            "[3ff0000000000000 4000000000000000 4008000000000000]");
}

TEST(TakeOrder, MissingIdNamesIt) {
  ParseState st = state_with({{1, "a"}});
  auto out = st.take_order({1, 4294967295u});
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error(), "internal: missing declaration 4294967295 during assembly");
}

TEST(TakeOrder, RepeatedIdFailsAtItsSecondOccurrence) {
  ParseState st = state_with({{5, "a"}, {6, "b"}});
  auto out = st.take_order({6, 5, 6});
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error(), "internal: missing declaration 6 during assembly");
}

}  // namespace
