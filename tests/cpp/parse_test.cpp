// driver::parse on whole files: container validation, the HEADER, the walk
// over the optional sections, and sizes from the file larger than the file.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <variant>

#include "byte_builder.h"
#include "driver/parse.h"
#include "records.h"

namespace {

using quarn::ChunkId;
using quarn::ValueSectionType;
using quarn_test::bits;
using quarn_test::ByteBuilder;
using quarn_test::describe;

std::string describe(const quarn::driver::ParsedFile& f) {
  return "layout=" + std::to_string(static_cast<std::uint32_t>(f.layout)) + " header=" + describe(f.header) +
         " " + describe(f.state);
}

// The TYPE section most files below use: 1 Float64, 2 Complex, 3 Int32,
// 4 struct {x, y: Float64}, 5 struct {v: Float64, flag: Int8}.
void standard_types(ByteBuilder& tr) {
  tr.type_decl(1, "float", 11).prop_string("units", "V");
  tr.type_decl(2, "complex", 12);
  tr.type_decl(3, "int", 5);
  tr.type_decl(4, "pair", 16).type_decl(0, "x", 11).type_decl(0, "y", 11).chunk(ChunkId::StructEnd);
  tr.type_decl(5, "op", 16).type_decl(0, "v", 11).type_decl(0, "flag", 1).chunk(ChunkId::StructEnd);
}

void record(ByteBuilder& b, std::uint32_t id, std::initializer_list<double> point) {
  b.chunk(ChunkId::Declaration).u32(id);
  for (double d : point) b.f64(d);
}

// ---------------------------------------------------------------------------
// Whole files that parse.

struct FileOk {
  const char* label;
  std::function<ByteBuilder()> build;
  std::string parsed;
};
QUARN_TEST_PRINTS_LABEL(FileOk)

class ParseTest : public ::testing::TestWithParam<FileOk> {};

TEST_P(ParseTest, Parses) {
  ByteBuilder b = GetParam().build();
  auto f = quarn::driver::parse(b.bytes());
  ASSERT_TRUE(f) << f.error();
  EXPECT_EQ(describe(*f), GetParam().parsed);
}

const std::string kNothing = "sweeps=[] traces=[] decls={} values=";

INSTANTIATE_TEST_SUITE_P(
    Driver, ParseTest,
    ::testing::Values(
        FileOk{"smallest_file_24_bytes",
               [] {
                 ByteBuilder b;
                 b.u32(0).chunk(ChunkId::Container).u32(16).raw("Clarissa").raw("tail");
                 EXPECT_EQ(b.size(), 24u);
                 return b;
               },
               "layout=0 header= " + kNothing},
        FileOk{"header_properties",
               [] {
                 ByteBuilder b;
                 auto h = b.u32(1280).open(ChunkId::Container);
                 b.prop_string("PSFversion", "1.00").prop_int("PSF window size", 0xFFFFFFFF).prop_float("x", 0.5);
                 b.prop_int("PSF window size", 4);
                 b.close(h);
                 return b.footer();
               },
               "layout=1280 header=PSFversion=String(1.00);PSF window size=Int(4294967295);"
               "x=Float(3fe0000000000000);PSF window size=Int(4); " + kNothing},
        FileOk{"unknown_word_after_header_ends_the_walk",
               [] {
                 ByteBuilder b = ByteBuilder::file(512);
                 b.u32(5);
                 b.sweep_section([](ByteBuilder& s) { s.decl(10, "never", 99); });
                 return b.footer();
               },
               "layout=512 header= " + kNothing},
        FileOk{"simple_file",
               [] {
                 ByteBuilder b = ByteBuilder::file(512);
                 b.type_section(standard_types);
                 b.sweep_section([](ByteBuilder& s) { s.decl(10, "freq", 1).prop_string("units", "Hz"); });
                 b.trace_section([](ByteBuilder& tr) {
                   tr.decl(11, "v(out)", 2);
                   tr.group(50, "grp", 2).decl(12, "i(vdd)", 1).decl(13, "noise", 4);
                 });
                 b.value_section([](ByteBuilder& v) {
                   for (int i = 0; i < 2; ++i) {
                     record(v, 10, {1.0 + i});
                     record(v, 11, {3.0 + i, 5.0 + i});
                     record(v, 13, {7.0 + i, 9.0 + i});
                     record(v, 12, {11.0 + i});
                   }
                 });
                 return b.footer();
               },
               "layout=512 header= sweeps=[10] traces=[11,12,13] decls={10:freq Real" + bits({1, 2}) +
                   ", 11:v(out) Complex" + bits({3, 5, 4, 6}) + ", 12:i(vdd) Real" + bits({11, 12}) +
                   ", 13:noise Struct2[x,y]" + bits({7, 9, 8, 10}) + "} values="},
        FileOk{"windowed_file",
               [] {
                 ByteBuilder b = ByteBuilder::file(1024);
                 b.type_section(standard_types);
                 b.sweep_section([](ByteBuilder& s) { s.decl(10, "time", 1); });
                 b.trace_section([](ByteBuilder& tr) { tr.decl(11, "a", 1).decl(12, "b", 1); });
                 b.value_section([](ByteBuilder& v) {
                   v.chunk(ChunkId::ContainerPadding).u32(4).u32(0);
                   v.chunk(ChunkId::Declaration).u16(2).u16(1);
                   v.f64(1).u64(0).u64(0).f64(2).u64(0).u64(0).f64(3).u64(0);
                 });
                 return b.footer();
               },
               "layout=1024 header= sweeps=[10] traces=[11,12] decls={10:time Real" + bits(std::vector<double>{1}) +
                   ", 11:a Real" + bits(std::vector<double>{2}) + ", 12:b Real" + bits(std::vector<double>{3}) + "} values="},
        FileOk{"non_swept_file",
               [] {
                 ByteBuilder b = ByteBuilder::file(1280);
                 b.type_section(standard_types);
                 b.value_section([](ByteBuilder& v) {
                   v.non_swept_body([](ByteBuilder& n) {
                     n.decl(1, "vdd", 1).f64(1.5);
                     n.decl(2, "m1", 5).f64(0.5).raw({3, 0, 0, 0}).prop_string("model", "nch");
                   });
                 });
                 return b.footer();
               },
               "layout=1280 header= sweeps=[] traces=[] decls={} values=vdd:Float(3ff8000000000000);"
               "m1:Struct{v=Float(3fe0000000000000), flag=Int(3)};"},
        FileOk{"swept_layout_without_value_section",
               [] {
                 ByteBuilder b = ByteBuilder::file(512);
                 b.type_section(standard_types);
                 b.sweep_section([](ByteBuilder& s) { s.decl(10, "freq", 1); });
                 return b.footer();
               },
               "layout=512 header= sweeps=[10] traces=[] decls={10:freq Real[]} values="},
        FileOk{"later_type_declaration_wins",
               [] {
                 ByteBuilder b = ByteBuilder::file(512);
                 b.type_section([](ByteBuilder& tr) { tr.type_decl(1, "a", 5).type_decl(1, "b", 12); });
                 b.sweep_section([](ByteBuilder& s) { s.decl(10, "freq", 1); });
                 return b.footer();
               },
               "layout=512 header= sweeps=[10] traces=[] decls={10:freq Complex[]} values="},
        FileOk{"type_declaration_past_subcontainer_end_not_reported",
               [] {
                 ByteBuilder b = ByteBuilder::file(512);
                 b.chunk(ChunkId::SectionType);
                 auto c = b.open(ChunkId::Container);
                 auto s = b.open(ChunkId::SubContainer);
                 b.type_decl(1, "f", 11);
                 b.patch_u32(s.slot, b.pos32() - 8);
                 b.index(4, 0);
                 b.close(c);
                 b.sweep_section([](ByteBuilder& w) { w.decl(10, "x", 1); });
                 return b.footer();
               },
               "layout=512 header= sweeps=[10] traces=[] decls={10:x Real[]} values="},
        FileOk{"second_type_section_ends_the_walk",
               [] {
                 ByteBuilder b = ByteBuilder::file(512);
                 b.type_section(standard_types);
                 b.type_section([](ByteBuilder& t2) { t2.type_decl(9, "empty", 16).chunk(ChunkId::StructEnd); });
                 b.sweep_section([](ByteBuilder& s) { s.decl(10, "freq", 1); });
                 return b.footer();
               },
               "layout=512 header= " + kNothing},
        FileOk{"second_sweep_section_not_read",
               [] {
                 ByteBuilder b = ByteBuilder::file(512);
                 b.type_section(standard_types);
                 b.sweep_section([](ByteBuilder& s) { s.decl(10, "freq", 1); });
                 b.sweep_section([](ByteBuilder& s) { s.decl(11, "bad", 99); });
                 return b.footer();
               },
               "layout=512 header= sweeps=[10] traces=[] decls={10:freq Real[]} values="},
        FileOk{"sweep_after_trace_not_read",
               [] {
                 ByteBuilder b = ByteBuilder::file(512);
                 b.type_section(standard_types);
                 b.trace_section([](ByteBuilder& tr) { tr.decl(11, "v", 1); });
                 b.sweep_section([](ByteBuilder& s) { s.decl(10, "bad", 99); });
                 return b.footer();
               },
               "layout=512 header= sweeps=[] traces=[11] decls={11:v Real[]} values="},
        FileOk{"trace_after_value_not_read",
               [] {
                 ByteBuilder b = ByteBuilder::file(0);
                 b.value_section([](ByteBuilder&) {});
                 b.trace_section([](ByteBuilder& tr) { tr.decl(11, "bad", 99); });
                 return b.footer();
               },
               "layout=0 header= " + kNothing},
        FileOk{"empty_layout_leaves_series_empty",
               [] {
                 ByteBuilder b = ByteBuilder::file(0);
                 b.type_section(standard_types);
                 b.sweep_section([](ByteBuilder& s) { s.decl(10, "freq", 1); });
                 b.trace_section([](ByteBuilder& tr) { tr.decl(11, "v", 2); });
                 b.value_section([](ByteBuilder&) {});
                 return b.footer();
               },
               "layout=0 header= sweeps=[10] traces=[11] decls={10:freq Real[], 11:v Complex[]} values="}),
    [](const auto& p) { return std::string(p.param.label); });

// ---------------------------------------------------------------------------
// Whole files that fail.

struct FileBad {
  const char* label;
  std::function<ByteBuilder()> build;
  std::string error;
};
QUARN_TEST_PRINTS_LABEL(FileBad)

class ParseFailureTest : public ::testing::TestWithParam<FileBad> {};

TEST_P(ParseFailureTest, Message) {
  ByteBuilder b = GetParam().build();
  auto f = quarn::driver::parse(b.bytes());
  ASSERT_FALSE(f) << describe(*f);
  EXPECT_EQ(f.error(), GetParam().error);
}

ByteBuilder bytes_of(std::string_view s) {
  ByteBuilder b;
  b.raw(s);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Container, ParseFailureTest,
    ::testing::Values(
        FileBad{"empty", [] { return ByteBuilder{}; }, "file too small to be psfbin (0 bytes)"},
        FileBad{"one_byte", [] { return bytes_of("C"); }, "file too small to be psfbin (1 bytes)"},
        FileBad{"eleven_bytes", [] { return bytes_of("Clarissa123"); }, "file too small to be psfbin (11 bytes)"},
        FileBad{"twelve_bytes_magic_at_0",
                [] {
                  ByteBuilder b;
                  return b.raw("Clarissa").u32(0);
                },
                "unknown value_section_type 1131176306"},
        FileBad{"magic_at_size_minus_8",
                [] {
                  ByteBuilder b = ByteBuilder::file(0);
                  return b.u32(0).raw("Clarissa");
                },
                "footer magic 'Clarissa' not found (not a psfbin file?)"},
        FileBad{"magic_last_byte_differs",
                [] {
                  ByteBuilder b = ByteBuilder::file(0);
                  return b.raw("Clarissb").u32(0);
                },
                "footer magic 'Clarissa' not found (not a psfbin file?)"},
        FileBad{"magic_first_byte_differs",
                [] {
                  ByteBuilder b = ByteBuilder::file(0);
                  return b.raw("clarissa").u32(0);
                },
                "footer magic 'Clarissa' not found (not a psfbin file?)"}),
    [](const auto& p) { return std::string(p.param.label); });

// The first word is tested before anything else: the HEADER after it is
// garbage here.
class FirstWordRejectedTest : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(FirstWordRejectedTest, Message) {
  ByteBuilder b;
  b.u32(GetParam()).u32(0xFFFFFFFF).footer();
  auto f = quarn::driver::parse(b.bytes());
  ASSERT_FALSE(f);
  EXPECT_EQ(f.error(), "unknown value_section_type " + std::to_string(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Driver, FirstWordRejectedTest,
                         ::testing::Values(1u, 256u, 511u, 513u, 768u, 1025u, 1281u, 1536u, 0x00020000u,
                                           0x02000000u, 0xFFFFFFFFu));

class FirstWordAcceptedTest : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(FirstWordAcceptedTest, Layout) {
  ByteBuilder b = ByteBuilder::file(GetParam());
  b.footer();
  auto f = quarn::driver::parse(b.bytes());
  ASSERT_TRUE(f) << f.error();
  EXPECT_EQ(static_cast<std::uint32_t>(f->layout), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Driver, FirstWordAcceptedTest, ::testing::Values(0u, 512u, 1024u, 1280u));

INSTANTIATE_TEST_SUITE_P(
    Header, ParseFailureTest,
    ::testing::Values(
        FileBad{"end_word_3",
                [] {
                  ByteBuilder b;
                  return b.u32(0).chunk(ChunkId::Container).u32(3).footer();
                },
                "invalid CONTAINER size 3"},
        FileBad{"end_word_4_ends_at_0",
                [] {
                  ByteBuilder b;
                  return b.u32(0).chunk(ChunkId::Container).u32(4).footer();
                },
                "HEADER container end mismatch: at offset 12 but expected 0"},
        FileBad{"subcontainer_instead",
                [] {
                  ByteBuilder b;
                  return b.u32(0).chunk(ChunkId::SubContainer).u32(12).footer();
                },
                "expected chunk Container (21) at offset 4, got 22"},
        FileBad{"end_before_last_property",
                [] {
                  ByteBuilder b;
                  b.u32(0).chunk(ChunkId::Container).u32(16).prop_int("a", 1);  // properties 12..28
                  return b.footer();
                },
                "HEADER container end mismatch: at offset 28 but expected 12"},
        FileBad{"end_after_properties",
                [] {
                  ByteBuilder b;
                  auto h = b.u32(0).open(ChunkId::Container);
                  b.prop_int("a", 1).u32(0);
                  b.close(h);
                  return b.footer();
                },
                "HEADER container end mismatch: at offset 28 but expected 32"},
        FileBad{"property_name_not_utf8",
                [] {
                  ByteBuilder b;
                  b.u32(0).chunk(ChunkId::Container).u32(40).chunk(ChunkId::PropInt).str("\xFF").u32(1);
                  return b.footer();
                },
                "invalid UTF-8 in string at offset 21: invalid utf-8 sequence of 1 bytes from index 0"}),
    [](const auto& p) { return std::string(p.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Walk, ParseFailureTest,
    ::testing::Values(
        FileBad{"type_after_sweep_is_not_read",
                [] {
                  ByteBuilder b = ByteBuilder::file(512);
                  b.sweep_section([](ByteBuilder& s) { s.decl(10, "freq", 1); });
                  b.type_section(standard_types);
                  return b.footer();
                },
                "declaration 10 references unknown type id 1"},
        FileBad{"earlier_type_declaration_replaced",
                [] {
                  ByteBuilder b = ByteBuilder::file(512);
                  b.type_section([](ByteBuilder& tr) { tr.type_decl(1, "a", 11).type_decl(1, "b", 5); });
                  b.sweep_section([](ByteBuilder& s) { s.decl(10, "freq", 1); });
                  return b.footer();
                },
                "trace/sweep 'freq' has unsupported datatype Int32"},
        FileBad{"type_index_count_9",
                [] {
                  ByteBuilder b = ByteBuilder::file(512);
                  b.chunk(ChunkId::SectionType);  // 12
                  auto c = b.open(ChunkId::Container);
                  b.close(b.open(ChunkId::SubContainer));  // E2 = 32
                  b.chunk(ChunkId::ContainerIndex).u32(9).fill(9);
                  b.close(c);  // E1 = 49
                  return b.footer();
                },
                "TYPE container end mismatch: at offset 48 but expected 49"},
        FileBad{"type_subcontainer_missing",
                [] {
                  ByteBuilder b = ByteBuilder::file(512);
                  b.chunk(ChunkId::SectionType).chunk(ChunkId::Container).u32(100).u32(0);
                  return b.footer();
                },
                "expected chunk SubContainer (22) at offset 24, got 0"},
        FileBad{"type_declaration_failure_passed_up",
                [] {
                  ByteBuilder b = ByteBuilder::file(512);
                  b.type_section([](ByteBuilder& tr) { tr.type_decl(1, "e", 16).chunk(ChunkId::StructEnd); });
                  return b.footer();
                },
                "struct 'e' has zero fields (empty structs unsupported)"},
        FileBad{"sweep_container_missing",
                [] {
                  ByteBuilder b = ByteBuilder::file(512);
                  b.chunk(ChunkId::SectionSweep).chunk(ChunkId::SubContainer).u32(0);
                  return b.footer();
                },
                "expected chunk Container (21) at offset 16, got 22"},
        FileBad{"windowed_with_complex_trace",
                [] {
                  ByteBuilder b = ByteBuilder::file(1024);
                  b.type_section(standard_types);
                  b.sweep_section([](ByteBuilder& s) { s.decl(10, "t", 1); });
                  b.trace_section([](ByteBuilder& tr) { tr.decl(11, "z", 2); });
                  b.value_section([](ByteBuilder&) {});
                  return b.footer();
                },
                "windowed complex value layout is not supported (trace 'z')"},
        FileBad{"windowed_without_sweep",
                [] {
                  ByteBuilder b = ByteBuilder::file(1024);
                  b.type_section(standard_types);
                  b.trace_section([](ByteBuilder& tr) { tr.decl(11, "z", 1); });
                  b.value_section([](ByteBuilder&) {});
                  return b.footer();
                },
                "WINDOWED value section requires exactly one sweep, found 0"}),
    [](const auto& p) { return std::string(p.param.label); });

// Cases whose offsets depend on the size of the TYPE section written above.
TEST(Walk, SweepDeclarationPastContainerEnd) {
  ByteBuilder b = ByteBuilder::file(512);
  b.type_section(standard_types);
  const auto at = b.pos32();
  b.chunk(ChunkId::SectionSweep);
  auto c = b.open(ChunkId::Container);
  b.decl(10, "freq", 1);                  // at + 12 .. at + 32
  b.patch_u32(c.slot, at + 12 + 12 + 4);  // E in the middle of it
  b.footer();
  auto f = quarn::driver::parse(b.bytes());
  ASSERT_FALSE(f);
  EXPECT_EQ(f.error(), "SWEEP container end mismatch: at offset " + std::to_string(at + 32) +
                           " but expected " + std::to_string(at + 24));
}

TEST(Walk, EmptyLayoutWithValuesFailsAtTheContainerEnd) {
  ByteBuilder b = ByteBuilder::file(0);
  b.type_section(standard_types);
  const auto v = b.pos32();
  b.value_section([](ByteBuilder& w) { w.non_swept_body([](ByteBuilder& n) { n.decl(1, "x", 3).u32(1); }); });
  b.footer();
  auto f = quarn::driver::parse(b.bytes());
  ASSERT_FALSE(f);
  // The body (SubContainer 8, declaration 24, index 8) is not read at all.
  EXPECT_EQ(f.error(), "VALUE container end mismatch: at offset " + std::to_string(v + 12) +
                           " but expected " + std::to_string(v + 12 + 40));
}

// A sweep and a trace with one id: the sections parse, the second hand-out
// (the traces) fails.
TEST(Walk, SweepAndTraceSharingAnIdFailAtAssembly) {
  ByteBuilder b = ByteBuilder::file(512);
  b.type_section(standard_types);
  b.sweep_section([](ByteBuilder& s) { s.decl(10, "freq", 1); });
  b.trace_section([](ByteBuilder& tr) { tr.decl(10, "v", 2); });
  b.footer();
  auto f = quarn::driver::parse(b.bytes());
  ASSERT_TRUE(f) << f.error();
  auto sweeps = f->state.take_order(f->state.sweep_order);
  ASSERT_TRUE(sweeps) << sweeps.error();
  ASSERT_EQ(sweeps->size(), 1u);
  EXPECT_EQ((*sweeps)[0].name, "v");  // the later declaration replaced the sweep's
  auto traces = f->state.take_order(f->state.trace_order);
  ASSERT_FALSE(traces);
  EXPECT_EQ(traces.error(), "internal: missing declaration 10 during assembly");
}

// ---------------------------------------------------------------------------
// The member names of a struct type exist once: every series and every value
// of the type refers to the list its declaration made, and a second type with
// the same names has a list of its own.

// standard_types, then 6 "pair2" {x, y: Float64} and 7 "op2" {v: Float64, flag: Int8}.
void types_with_twins(ByteBuilder& tr) {
  standard_types(tr);
  tr.type_decl(6, "pair2", 16).type_decl(0, "x", 11).type_decl(0, "y", 11).chunk(ChunkId::StructEnd);
  tr.type_decl(7, "op2", 16).type_decl(0, "v", 11).type_decl(0, "flag", 1).chunk(ChunkId::StructEnd);
}

// The address of the member list of declaration `id`'s struct series.
const void* members_of(const quarn::driver::ParsedFile& f, std::uint32_t id) {
  return std::get<quarn::Series::Struct>(f.state.decls.at(id).series.v).members.get();
}

TEST(StructMembers, TracesOfOneTypeShareItsList) {
  ByteBuilder b = ByteBuilder::file(512);
  b.type_section(types_with_twins);
  b.sweep_section([](ByteBuilder& s) { s.decl(10, "freq", 1); });
  b.trace_section([](ByteBuilder& tr) { tr.decl(11, "a", 4).decl(12, "b", 6).decl(13, "c", 4); });
  b.value_section([](ByteBuilder& v) {
    record(v, 10, {1});
    record(v, 11, {2, 3});
    record(v, 12, {4, 5});
    record(v, 13, {6, 7});
  });
  b.footer();
  auto f = quarn::driver::parse(b.bytes());
  ASSERT_TRUE(f) << f.error();
  EXPECT_EQ(describe(f->state), "sweeps=[10] traces=[11,12,13] decls={10:freq Real" +
                                    bits(std::vector<double>{1}) + ", 11:a Struct2[x,y]" + bits({2, 3}) +
                                    ", 12:b Struct2[x,y]" + bits({4, 5}) + ", 13:c Struct2[x,y]" +
                                    bits({6, 7}) + "} values=");
  EXPECT_EQ(members_of(*f, 11), members_of(*f, 13));
  EXPECT_NE(members_of(*f, 11), members_of(*f, 12));
}

TEST(StructMembers, ValuesOfOneTypeShareItsList) {
  ByteBuilder b = ByteBuilder::file(1280);
  b.type_section(types_with_twins);
  b.value_section([](ByteBuilder& v) {
    v.non_swept_body([](ByteBuilder& n) {
      n.decl(1, "m1", 5).f64(0.5).raw({3, 0, 0, 0});
      n.decl(2, "m2", 7).f64(1.0).raw({1, 0, 0, 0});
      n.decl(3, "m3", 5).f64(2.0).raw({2, 0, 0, 0});
    });
  });
  b.footer();
  auto f = quarn::driver::parse(b.bytes());
  ASSERT_TRUE(f) << f.error();
  EXPECT_EQ(describe(f->state.values),
            "m1:Struct{v=Float(3fe0000000000000), flag=Int(3)};"
            "m2:Struct{v=Float(3ff0000000000000), flag=Int(1)};"
            "m3:Struct{v=Float(4000000000000000), flag=Int(2)};");
  ASSERT_EQ(f->state.values.size(), 3u);
  auto members = [&](std::size_t i) -> const void* {
    return std::get<quarn::ScalarValue::Struct>(f->state.values[i].value.v).members.get();
  };
  EXPECT_EQ(members(0), members(2));
  EXPECT_NE(members(0), members(1));
}

// ---------------------------------------------------------------------------
// Counts and sizes from the file far beyond its end: each fails at once with
// the end-of-file message instead of looping or allocating. The readers run
// into the footer, so `tail` (the file's last word) is chosen to be read as
// the oversized quantity.

struct Huge {
  const char* label;
  std::function<ByteBuilder()> build;  // everything before the footer's magic
  std::uint32_t tail;
  std::function<std::string(std::size_t)> error;  // from the file length
};
QUARN_TEST_PRINTS_LABEL(Huge)

class HugeCountTest : public ::testing::TestWithParam<Huge> {};

TEST_P(HugeCountTest, FailsFastAtTheEndOfFile) {
  const auto& c = GetParam();
  ByteBuilder b = c.build();
  b.raw("Clarissa").u32(c.tail);
  auto f = quarn::driver::parse(b.bytes());
  ASSERT_FALSE(f);
  EXPECT_EQ(f.error(), c.error(b.size()));
}

std::string n(std::size_t v) { return std::to_string(v); }

INSTANTIATE_TEST_SUITE_P(
    Driver, HugeCountTest,
    ::testing::Values(
        Huge{"header_string_length_4294967295",
             [] {
               ByteBuilder b;
               b.u32(0).chunk(ChunkId::Container).u32(100).chunk(ChunkId::PropString).u32(0xFFFFFFFF);
               return b;
             },
             0,
             [](std::size_t len) { return "unexpected end of file: need 4294967295 bytes at offset 20 (len " + n(len) + ")"; }},
        // The members run into the footer: "Clar" as chunk word, "issa" as
        // id, the tail as the name's length.
        Huge{"group_count_4294967295",
             [] {
               ByteBuilder b = ByteBuilder::file(512);
               b.type_section(standard_types);
               b.chunk(ChunkId::SectionSweep).chunk(ChunkId::Container).u32(0xFFFFFFFF);
               b.group(1, "g", 0xFFFFFFFF);
               return b;
             },
             0xFFFFFFFF,
             [](std::size_t len) {
               return "unexpected end of file: need 4294967295 bytes at offset " + n(len) + " (len " + n(len) + ")";
             }},
        // Entries of 8 bytes: "Clarissa" is the first, the tail the second's key.
        Huge{"type_index_count_4294967295",
             [] {
               ByteBuilder b = ByteBuilder::file(512);
               b.chunk(ChunkId::SectionType).chunk(ChunkId::Container).u32(0xFFFFFFFF);
               b.chunk(ChunkId::SubContainer);
               b.u32(b.pos32() + 4);  // no declarations
               b.chunk(ChunkId::ContainerIndex).u32(0xFFFFFFFF);
               return b;
             },
             0,
             [](std::size_t len) {
               return "unexpected end of file: skip 4 bytes at offset " + n(len) + " (len " + n(len) + ")";
             }},
        Huge{"container_padding_ffffffff",
             [] {
               ByteBuilder b = ByteBuilder::file(1024);
               b.type_section(standard_types);
               b.sweep_section([](ByteBuilder& s) { s.decl(10, "t", 1); });
               b.chunk(ChunkId::SectionValue).chunk(ChunkId::Container).u32(0xFFFFFFFF);
               b.chunk(ChunkId::ContainerPadding).u32(0xFFFFFFFF);
               return b;
             },
             0,
             [](std::size_t len) {
               return "unexpected end of file: skip 4294967295 bytes at offset " + n(len - 12) + " (len " + n(len) + ")";
             }},
        // "Clarissa" is read as the first sample; the tail is too short for the second.
        Huge{"window_65535",
             [] {
               ByteBuilder b = ByteBuilder::file(1024);
               b.type_section(standard_types);
               b.sweep_section([](ByteBuilder& s) { s.decl(10, "t", 1); });
               b.chunk(ChunkId::SectionValue).chunk(ChunkId::Container).u32(0xFFFFFFFF);
               b.chunk(ChunkId::Declaration).u16(65535).u16(65535);
               return b;
             },
             0,
             [](std::size_t len) {
               return "unexpected end of file: need 8 bytes at offset " + n(len - 4) + " (len " + n(len) + ")";
             }}),
    [](const auto& p) { return std::string(p.param.label); });

}  // namespace
