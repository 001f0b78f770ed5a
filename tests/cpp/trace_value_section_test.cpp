// The TRACE section and the VALUE section's framing with its Empty and
// NonSwept bodies. Sections start at offset 16 (kAt).
#include <gtest/gtest.h>

#include "section_case.h"

namespace {

using quarn::ChunkId;
using quarn::Datatype;
using quarn::ParseState;
using quarn::TypeInfo;
using quarn_test::ByteBuilder;
using quarn_test::Reader;
using quarn_test::SectionCase;

enum : std::uint32_t { kF64 = 1, kInt32 = 2, kOpPoint = 3, kNone = 4, kComplex = 6 };

const quarn::TypeTable& types() {
  static const quarn::TypeTable table = [] {
    quarn::TypeTable t;
    t.emplace(kF64, TypeInfo{TypeInfo::Scalar{Datatype::Float64}});
    t.emplace(kInt32, TypeInfo{TypeInfo::Scalar{Datatype::Int32}});
    t.emplace(kNone, TypeInfo{TypeInfo::Scalar{Datatype::None}});
    t.emplace(kComplex, TypeInfo{TypeInfo::Scalar{Datatype::Complex}});
    t.emplace(kOpPoint, TypeInfo{TypeInfo::Struct{quarn_test::struct_members({{"v", Datatype::Float64}, {"flag", Datatype::Int8}})}});
    return t;
  }();
  return table;
}

class SectionTest : public ::testing::TestWithParam<SectionCase> {};

TEST_P(SectionTest, Reads) { quarn_test::run_section_case(GetParam(), types()); }

// ---------------------------------------------------------------------------
// TRACE: word 3 at 16, Container preamble 20..28, SubContainer preamble
// 28..36, declarations, index, and the Container's end.

INSTANTIATE_TEST_SUITE_P(
    Trace, SectionTest,
    ::testing::Values(
        SectionCase{"empty_subcontainer_and_index", Reader::Trace, {},
                    [](ByteBuilder& b) { b.trace_section([](ByteBuilder&) {}); },
                    "sweeps=[] traces=[] decls={} values=", ""},
        SectionCase{"declarations_and_groups_in_file_order", Reader::Trace, {},
                    [](ByteBuilder& b) {
                      b.trace_section([](ByteBuilder& tr) {
                        tr.decl(1, "a", kF64).prop_string("units", "V");
                        tr.group(9, "g", 2).decl(2, "b", kComplex).decl(3, "c", kF64).prop_int("gp", 1);
                        tr.decl(4, "d", kF64);
                      });
                    },
                    "sweeps=[] traces=[1,2,3,4] decls={1:a Real[], 2:b Complex[], 3:c Real[], 4:d Real[]} "
                    "values=",
                    ""},
        SectionCase{"same_id_twice_parses", Reader::Trace, {},
                    [](ByteBuilder& b) {
                      b.trace_section([](ByteBuilder& tr) { tr.decl(1, "a", kF64).decl(1, "b", kF64); });
                    },
                    "sweeps=[] traces=[1,1] decls={1:b Real[]} values=", ""},
        SectionCase{"declaration_past_subcontainer_end_not_reported", Reader::Trace, {},
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionTrace);
                      auto c = b.open(ChunkId::Container);
                      auto s = b.open(ChunkId::SubContainer);
                      b.decl(1, "a", kF64);    // 36..56
                      b.patch_u32(s.slot, 40);  // E2 inside the declaration
                      b.index(12, 0);
                      b.close(c);
                    },
                    "sweeps=[] traces=[1] decls={1:a Real[]} values=", ""},
        SectionCase{"container_end_after_index", Reader::Trace, {},
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionTrace);
                      auto c = b.open(ChunkId::Container);
                      b.close(b.open(ChunkId::SubContainer));
                      b.index(12, 0);
                      b.patch_u32(c.slot, 52);
                    },
                    "", "TRACE container end mismatch: at offset 44 but expected 48"},
        SectionCase{"container_end_before_index_end", Reader::Trace, {},
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionTrace);
                      auto c = b.open(ChunkId::Container);
                      b.close(b.open(ChunkId::SubContainer));
                      b.index(12, 0);
                      b.patch_u32(c.slot, 44);
                    },
                    "", "TRACE container end mismatch: at offset 44 but expected 40"},
        SectionCase{"index_count_20_leaves_four_bytes", Reader::Trace, {},
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionTrace);
                      auto c = b.open(ChunkId::Container);
                      b.close(b.open(ChunkId::SubContainer));
                      b.chunk(ChunkId::ContainerIndex).u32(20).fill(20);
                      b.close(c);
                    },
                    "", "TRACE container end mismatch: at offset 60 but expected 64"},
        SectionCase{"index_entries_are_16_bytes", Reader::Trace, {},
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionTrace);
                      auto c = b.open(ChunkId::Container);
                      b.close(b.open(ChunkId::SubContainer));
                      b.chunk(ChunkId::ContainerIndex).u32(24).fill(24);
                      b.close(c);
                    },
                    "", "TRACE container end mismatch: at offset 60 but expected 68"},
        SectionCase{"wrong_section_word", Reader::Trace, {},
                    [](ByteBuilder& b) { b.chunk(ChunkId::SectionValue); },
                    "", "expected chunk SectionTrace (3) at offset 16, got 4"},
        SectionCase{"container_size_2", Reader::Trace, {},
                    [](ByteBuilder& b) { b.chunk(ChunkId::SectionTrace).chunk(ChunkId::Container).u32(2); },
                    "", "invalid CONTAINER size 2"},
        SectionCase{"container_where_subcontainer_expected", Reader::Trace, {},
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionTrace).chunk(ChunkId::Container).u32(1000);
                      b.chunk(ChunkId::Container).u32(1000);
                    },
                    "", "expected chunk SubContainer (22) at offset 28, got 21"},
        SectionCase{"index_missing", Reader::Trace, {},
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionTrace).chunk(ChunkId::Container).u32(1000);
                      b.close(b.open(ChunkId::SubContainer));
                      b.u32(0).u32(0);
                    },
                    "", "expected chunk ContainerIndex (19) at offset 36, got 0"},
        SectionCase{"declaration_failure_passed_up", Reader::Trace, {},
                    [](ByteBuilder& b) { b.trace_section([](ByteBuilder& tr) { tr.decl(8, "x", kInt32); }); },
                    "", "trace/sweep 'x' has unsupported datatype Int32"}),
    [](const auto& p) { return std::string(p.param.label); });

// ---------------------------------------------------------------------------
// VALUE framing and the Empty body: word 4 at 16, Container preamble 20..28,
// body, SectionEnd at the container end E.

INSTANTIATE_TEST_SUITE_P(
    ValueEmpty, SectionTest,
    ::testing::Values(
        SectionCase{"smallest_section_is_16_bytes", Reader::Empty, {},
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionValue).chunk(ChunkId::Container).u32(quarn_test::kAt + 16);
                      b.chunk(ChunkId::SectionEnd);
                    },
                    "sweeps=[] traces=[] decls={} values=", ""},
        SectionCase{"one_extra_word", Reader::Empty, {},
                    [](ByteBuilder& b) { b.value_section([](ByteBuilder& v) { v.u32(0); }); },
                    "", "VALUE container end mismatch: at offset 28 but expected 32"},
        SectionCase{"declarations_are_not_read", Reader::Empty, {},
                    [](ByteBuilder& b) {
                      b.value_section([](ByteBuilder& v) { v.non_swept_body([](ByteBuilder& n) { n.decl(1, "x", 999); }); });
                    },
                    "sweeps=[] traces=[] decls={} values=", "VALUE container end mismatch: at offset 28 but expected 64"},
        SectionCase{"container_end_before_body", Reader::Empty, {},
                    [](ByteBuilder& b) { b.chunk(ChunkId::SectionValue).chunk(ChunkId::Container).u32(4); },
                    "", "VALUE container end mismatch: at offset 28 but expected 0"},
        SectionCase{"section_end_missing", Reader::Empty, {},
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionValue);
                      b.close(b.open(ChunkId::Container));
                      b.u32(0);
                    },
                    "", "expected chunk SectionEnd (15) at offset 28, got 0"},
        SectionCase{"section_end_cut", Reader::Empty, {},
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionValue);
                      b.close(b.open(ChunkId::Container));
                      b.raw({0, 0});
                    },
                    "", "unexpected end of file: need 4 bytes at offset 28 (len 30)"},
        SectionCase{"wrong_section_word", Reader::Empty, {},
                    [](ByteBuilder& b) { b.chunk(ChunkId::SectionTrace); },
                    "", "expected chunk SectionValue (4) at offset 16, got 3"},
        SectionCase{"container_size_3", Reader::Empty, {},
                    [](ByteBuilder& b) { b.chunk(ChunkId::SectionValue).chunk(ChunkId::Container).u32(3); },
                    "", "invalid CONTAINER size 3"},
        SectionCase{"subcontainer_instead_of_container", Reader::Empty, {},
                    [](ByteBuilder& b) { b.chunk(ChunkId::SectionValue).chunk(ChunkId::SubContainer).u32(40); },
                    "", "expected chunk Container (21) at offset 20, got 22"}),
    [](const auto& p) { return std::string(p.param.label); });

// ---------------------------------------------------------------------------
// The NonSwept body: SubContainer of value declarations, index with 4-byte
// payloads. A sweep declared beforehand must stay untouched.

void one_sweep(ParseState& st) {
  st.decls.emplace(1, quarn::DataDecl{"freq", quarn::Series{quarn::Series::Real{}}});
  st.sweep_order.push_back(1);
}

INSTANTIATE_TEST_SUITE_P(
    ValueNonSwept, SectionTest,
    ::testing::Values(
        SectionCase{"no_values_is_32_bytes", Reader::NonSwept, {},
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionValue).chunk(ChunkId::Container).u32(quarn_test::kAt + 32);
                      b.chunk(ChunkId::SubContainer).u32(quarn_test::kAt + 20);
                      b.chunk(ChunkId::ContainerIndex).u32(0).chunk(ChunkId::SectionEnd);
                    },
                    "sweeps=[] traces=[] decls={} values=", ""},
        SectionCase{"values_in_file_order", Reader::NonSwept, one_sweep,
                    [](ByteBuilder& b) {
                      b.value_section([](ByteBuilder& v) {
                        v.non_swept_body([](ByteBuilder& n) {
                          n.decl(10, "vdd", kF64).f64(1.5).prop_string("units", "V");
                          n.group(50, "m1", 2).decl(11, "gm", kInt32).u32(7);
                          n.decl(12, "op", kOpPoint).f64(0.25).raw({0x01, 0xEE, 0xEE, 0xEE});
                          n.decl(13, "vdd", kComplex).f64(1.0).f64(-1.0);
                        });
                      });
                    },
                    "sweeps=[1] traces=[] decls={1:freq Real[]} values=vdd:Float(3ff8000000000000);"
                    "gm:Int(7);op:Struct{v=Float(3fd0000000000000), flag=Int(1)};"
                    "vdd:Complex(3ff0000000000000,bff0000000000000);",
                    ""},
        SectionCase{"declaration_past_subcontainer_end_not_reported", Reader::NonSwept, {},
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionValue);
                      auto c = b.open(ChunkId::Container);
                      auto s = b.open(ChunkId::SubContainer);
                      b.decl(10, "x", kInt32).u32(3);
                      b.patch_u32(s.slot, 40);
                      b.index(4, 0);
                      b.close(c);
                      b.chunk(ChunkId::SectionEnd);
                    },
                    "sweeps=[] traces=[] decls={} values=x:Int(3);", ""},
        SectionCase{"index_count_9", Reader::NonSwept, {},
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionValue);
                      auto c = b.open(ChunkId::Container);
                      b.close(b.open(ChunkId::SubContainer));
                      b.chunk(ChunkId::ContainerIndex).u32(9).fill(9);
                      b.close(c);
                      b.chunk(ChunkId::SectionEnd);
                    },
                    "", "VALUE container end mismatch: at offset 52 but expected 53"},
        SectionCase{"unknown_type_id", Reader::NonSwept, {},
                    [](ByteBuilder& b) {
                      b.value_section([](ByteBuilder& v) {
                        v.non_swept_body([](ByteBuilder& n) { n.decl(5, "x", 77).u32(0); });
                      });
                    },
                    "", "declaration 5 references unknown type id 77"},
        SectionCase{"value_of_none", Reader::NonSwept, {},
                    [](ByteBuilder& b) {
                      b.value_section([](ByteBuilder& v) {
                        v.non_swept_body([](ByteBuilder& n) { n.decl(5, "x", kNone).u32(0); });
                      });
                    },
                    "", "value has datatype NONE"},
        SectionCase{"values_kept_up_to_the_failure", Reader::NonSwept, {},
                    [](ByteBuilder& b) {
                      b.value_section([](ByteBuilder& v) {
                        v.non_swept_body([](ByteBuilder& n) { n.decl(5, "a", kInt32).u32(1).decl(6, "b", 77); });
                      });
                    },
                    "sweeps=[] traces=[] decls={} values=a:Int(1);", "declaration 6 references unknown type id 77"},
        SectionCase{"container_instead_of_subcontainer", Reader::NonSwept, {},
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionValue).chunk(ChunkId::Container).u32(1000);
                      b.chunk(ChunkId::Container).u32(1000);
                    },
                    "", "expected chunk SubContainer (22) at offset 28, got 21"}),
    [](const auto& p) { return std::string(p.param.label); });

}  // namespace
