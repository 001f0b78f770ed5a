// The VALUE bodies that carry samples: Simple records and Windowed frames.
// Sections start at offset 16 (kAt): word 4 at 16, Container preamble
// 20..28, the body from 28.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "reader/body_index.h"
#include "section_case.h"

namespace {

using quarn::ChunkId;
using quarn::ParseState;
using quarn::Series;
using quarn_test::bits;
using quarn_test::ByteBuilder;
using quarn_test::Reader;
using quarn_test::SectionCase;

constexpr std::uint32_t kBody = quarn_test::kAt + 12;

void add(ParseState& st, std::uint32_t id, const char* name, Series series) {
  st.decls.emplace(id, quarn::DataDecl{name, std::move(series)});
}
Series real() { return Series{Series::Real{}}; }
Series complex() { return Series{Series::Complex{}}; }
Series xyz() { return Series{Series::Struct{quarn_test::float_members({"x", "y", "z"}), {}}}; }

// s (1, Real) is the sweep; t1 (2, Real), t2 (3, Complex), n (4, Struct x,y,z)
// are the traces.
void simple_decls(ParseState& st) {
  add(st, 1, "s", real());
  add(st, 2, "t1", real());
  add(st, 3, "t2", complex());
  add(st, 4, "n", xyz());
  st.sweep_order = {1};
  st.trace_order = {2, 3, 4};
}

// One Simple record: word 16, the id, the point's floats.
void record(ByteBuilder& b, std::uint32_t id, std::initializer_list<double> point) {
  b.chunk(ChunkId::Declaration).u32(id);
  for (double d : point) b.f64(d);
}

std::string simple_state(std::vector<double> s, std::vector<double> t1, std::vector<double> t2,
                         std::vector<double> n) {
  return "sweeps=[1] traces=[2,3,4] decls={1:s Real" + bits(s) + ", 2:t1 Real" + bits(t1) +
         ", 3:t2 Complex" + bits(t2) + ", 4:n Struct3[x,y,z]" + bits(n) + "} values=";
}

const double kNaN = std::bit_cast<double>(0x7FF8000000000001ull);
const double kInf = std::bit_cast<double>(0x7FF0000000000000ull);

// The value section holding `body`, its Container ending at `end_word`
// instead of where the body ends (for bodies cut by the end of the file).
template <class F>
void open_value_section(ByteBuilder& b, std::uint32_t end_word, F&& body) {
  b.chunk(ChunkId::SectionValue).chunk(ChunkId::Container).u32(end_word);
  body(b);
}

class SweptBodyTest : public ::testing::TestWithParam<SectionCase> {};

TEST_P(SweptBodyTest, Reads) { quarn_test::run_section_case(GetParam(), quarn::TypeTable{}); }

// ---------------------------------------------------------------------------
// Simple

INSTANTIATE_TEST_SUITE_P(
    Simple, SweptBodyTest,
    ::testing::Values(
        SectionCase{"no_records", Reader::Simple, simple_decls,
                    [](ByteBuilder& b) { b.value_section([](ByteBuilder&) {}); },
                    simple_state({}, {}, {}, {}), ""},
        SectionCase{"interleaved_sweep_real_complex", Reader::Simple, simple_decls,
                    [](ByteBuilder& b) {
                      b.value_section([](ByteBuilder& v) {
                        const double t1[] = {kNaN, -0.0, kInf};  // taken bit for bit
                        for (int i = 0; i < 3; ++i) {
                          record(v, 1, {double(i)});
                          record(v, 2, {t1[i]});
                          record(v, 3, {2.0 * i + 1, 2.0 * i + 2});
                        }
                      });
                    },
                    simple_state({0, 1, 2}, {kNaN, -0.0, kInf}, {1, 2, 3, 4, 5, 6}, {}), ""},
        SectionCase{"struct_width_3", Reader::Simple, simple_decls,
                    [](ByteBuilder& b) {
                      b.value_section([](ByteBuilder& v) {
                        for (int p = 0; p < 5; ++p) record(v, 4, {3.0 * p + 1, 3.0 * p + 2, 3.0 * p + 3});
                      });
                    },
                    simple_state({}, {}, {}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}), ""},
        SectionCase{"only_the_sweep_has_records", Reader::Simple, simple_decls,
                    [](ByteBuilder& b) {
                      b.value_section([](ByteBuilder& v) { record(v, 1, {5.0}); record(v, 1, {6.0}); });
                    },
                    simple_state({5, 6}, {}, {}, {}), ""},
        SectionCase{"unknown_declaration_before_any_sample", Reader::Simple, simple_decls,
                    [](ByteBuilder& b) {
                      b.value_section([](ByteBuilder& v) { record(v, 1, {5.0}); record(v, 77, {6.0}); });
                    },
                    simple_state({}, {}, {}, {}), "value record references unknown declaration 77"},
        SectionCase{"padding_chunk_is_not_a_record", Reader::Simple, simple_decls,
                    [](ByteBuilder& b) {
                      b.value_section([](ByteBuilder& v) {
                        record(v, 1, {5.0});  // 28..44
                        v.chunk(ChunkId::ContainerPadding).u32(0);
                      });
                    },
                    simple_state({}, {}, {}, {}), "expected chunk Declaration (16) at offset 44, got 20"},
        SectionCase{"record_past_container_end_read_by_both_passes", Reader::Simple, simple_decls,
                    [](ByteBuilder& b) {
                      open_value_section(b, kBody + 24 + 4, [](ByteBuilder& v) {
                        record(v, 1, {1.0});  // 28..44
                        record(v, 1, {2.0});  // 44..60, E = 52 inside it
                        v.chunk(ChunkId::SectionEnd);
                      });
                    },
                    simple_state({1, 2}, {}, {}, {}), "VALUE container end mismatch: at offset 60 but expected 52"},
        SectionCase{"record_id_cut", Reader::Simple, simple_decls,
                    [](ByteBuilder& b) {
                      open_value_section(b, 0x10000, [](ByteBuilder& v) { v.chunk(ChunkId::Declaration).raw({0, 0}); });
                    },
                    simple_state({}, {}, {}, {}), "unexpected end of file: need 4 bytes at offset 32 (len 34)"}),
    [](const auto& p) { return std::string(p.param.label); });

// The point of the last record cut by the end of the file: the first pass
// fails with the point's size, and no series has received a sample, not even
// from the complete records before it.
struct CutPoint {
  const char* label;
  std::uint32_t id;
  std::uint32_t size;
};
QUARN_TEST_PRINTS_LABEL(CutPoint)

class SimpleCutPointTest : public ::testing::TestWithParam<CutPoint> {};

TEST_P(SimpleCutPointTest, FirstPassFailsWithTheSkip) {
  const auto& c = GetParam();
  SectionCase sc{c.label, Reader::Simple, simple_decls,
                 [&c](ByteBuilder& b) {
                   open_value_section(b, 0x10000, [&c](ByteBuilder& v) {
                     record(v, 1, {1.0});          // 28..44
                     record(v, 3, {1.0, 2.0});     // 44..68
                     record(v, 4, {1.0, 2.0, 3.0});  // 68..100
                     v.chunk(ChunkId::Declaration).u32(c.id).fill(c.size - 4);  // point at 108
                   });
                 },
                 simple_state({}, {}, {}, {}),
                 "unexpected end of file: skip " + std::to_string(c.size) + " bytes at offset 108 (len " +
                     std::to_string(108 + c.size - 4) + ")"};
  quarn_test::run_section_case(sc, quarn::TypeTable{});
}

INSTANTIATE_TEST_SUITE_P(Simple, SimpleCutPointTest,
                         ::testing::Values(CutPoint{"real", 2, 8}, CutPoint{"complex", 3, 16},
                                           CutPoint{"struct", 4, 24}),
                         [](const auto& p) { return std::string(p.param.label); });

// Every series is reserved once at its exact final size: no spare room, also
// for a series whose room was already in use.
TEST(Simple, ReservesExactlyTheFinalSize) {
  ByteBuilder b;
  b.fill(quarn_test::kAt);
  b.value_section([](ByteBuilder& v) {
    for (int i = 0; i < 7; ++i) {
      record(v, 1, {double(i)});
      if (i % 2 == 0) record(v, 3, {1.0, 2.0});
      if (i < 3) record(v, 4, {1.0, 2.0, 3.0});
      if (i < 2) record(v, 2, {9.0});
    }
  });
  ParseState st;
  simple_decls(st);
  auto& prefilled = st.decls.at(2).series.samples();
  ASSERT_TRUE(prefilled.reserve_more_exact(3));
  for (double d : {-1.0, -2.0, -3.0}) prefilled.push_back(d);
  quarn::Cursor cur(b.bytes());
  ASSERT_TRUE(cur.skip(quarn_test::kAt));
  auto r = quarn::parse_value_section(cur, quarn::TypeTable{}, st, quarn::ValueSectionType::Simple);
  ASSERT_TRUE(r) << r.error();
  const std::pair<std::uint32_t, std::size_t> expected[] = {{1, 7}, {2, 5}, {3, 8}, {4, 9}};
  for (auto [id, size] : expected) {
    const auto& samples = st.decls.at(id).series.samples();
    EXPECT_EQ(samples.size(), size) << "id " << id;
    EXPECT_EQ(samples.capacity(), size) << "id " << id;
  }
  EXPECT_EQ(bits(st.decls.at(2).series.samples()), bits({-1, -2, -3, 9, 9}));
}

// Many declarations of every kind, ids at both ends of the range and ids
// that collide in any small table, records in an order that keeps changing:
// each series must receive exactly its own points, in record order.
TEST(Simple, ManyDeclarationsInChangingOrder) {
  struct Decl {
    std::uint32_t id;
    std::size_t doubles;
    std::vector<double> expected;
  };
  std::vector<Decl> decls;
  ParseState st;
  for (std::uint32_t i = 0; i < 1000; ++i) {
    const std::uint32_t id = i == 0 ? 0u : i == 1 ? 0xFFFFFFFFu : i < 500 ? i * 1024u : i * 2654435761u;
    const std::string name = "d" + std::to_string(i);
    Series series = i % 4 == 0 ? real() : i % 4 == 1 ? complex()
                  : Series{Series::Struct{quarn_test::float_members(std::vector<std::string>(i % 3 + 1, "m")), {}}};
    decls.push_back({id, series.point_doubles(), {}});
    add(st, id, name.c_str(), std::move(series));
    (i == 0 ? st.sweep_order : st.trace_order).push_back(id);
  }
  ASSERT_EQ(st.decls.size(), decls.size()) << "ids must be distinct";

  std::mt19937 rng(12345);
  double next_value = 0.5;
  ByteBuilder b;
  b.fill(quarn_test::kAt);
  b.value_section([&](ByteBuilder& v) {
    for (int round = 0; round < 30; ++round) {
      // A sweep of all declarations in a fixed order, then one in a new
      // order, then runs of one declaration.
      std::vector<std::size_t> order(decls.size());
      for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
      if (round % 3 == 1) std::shuffle(order.begin(), order.end(), rng);
      if (round % 3 == 2) order.assign(decls.size(), rng() % decls.size());
      for (std::size_t k : order) {
        v.chunk(ChunkId::Declaration).u32(decls[k].id);
        for (std::size_t d = 0; d < decls[k].doubles; ++d) {
          v.f64(next_value);
          decls[k].expected.push_back(next_value);
          next_value += 1.0;
        }
      }
    }
  });
  quarn::Cursor cur(b.bytes());
  ASSERT_TRUE(cur.skip(quarn_test::kAt));
  auto r = quarn::parse_value_section(cur, quarn::TypeTable{}, st, quarn::ValueSectionType::Simple);
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(cur.pos(), b.size());
  for (const auto& d : decls) {
    const auto& samples = st.decls.at(d.id).series.samples();
    ASSERT_EQ(bits(samples), bits(d.expected)) << "id " << d.id;
    EXPECT_EQ(samples.capacity(), samples.size()) << "id " << d.id;
  }
}

// An unknown id must be reported whatever the number of declarations, also
// when it is a power of two that could fill a lookup table exactly.
class SimpleUnknownIdTest : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(SimpleUnknownIdTest, Reported) {
  ParseState st;
  for (std::uint32_t i = 0; i < GetParam(); ++i) add(st, i, "d", real());
  ByteBuilder b;
  b.fill(quarn_test::kAt);
  b.value_section([](ByteBuilder& v) {
    record(v, 0, {1.0});
    record(v, 0xABCDEF, {2.0});
  });
  quarn::Cursor cur(b.bytes());
  ASSERT_TRUE(cur.skip(quarn_test::kAt));
  auto r = quarn::parse_value_section(cur, quarn::TypeTable{}, st, quarn::ValueSectionType::Simple);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "value record references unknown declaration 11259375");
}

INSTANTIATE_TEST_SUITE_P(Simple, SimpleUnknownIdTest, ::testing::Values(1u, 4u, 8u, 16u, 1024u));

// Series large enough for their storage to leave the small-buffer regime;
// with a first record whose declaration never comes back, the records up to
// its return (a cycle) are more than a cycle may hold, and are read one by one.
class SimpleLarge : public ::testing::TestWithParam<bool> {};

TEST_P(SimpleLarge, KeepEverySampleEagerAndLazy) {
  constexpr std::uint32_t kSweepPoints = 300'000, kTracePoints = 70'000;
  const bool lone_first = GetParam();
  ByteBuilder b;
  b.fill(quarn_test::kAt);
  b.value_section([&](ByteBuilder& v) {
    if (lone_first) record(v, 2, {7.0});
    for (std::uint32_t i = 0; i < kSweepPoints; ++i) {
      record(v, 1, {double(i)});
      if (i < kTracePoints) record(v, 3, {double(i), -double(i)});
    }
  });
  ParseState st;
  simple_decls(st);
  quarn::Cursor cur(b.bytes());
  ASSERT_TRUE(cur.skip(quarn_test::kAt));
  auto r = quarn::parse_value_section(cur, quarn::TypeTable{}, st, quarn::ValueSectionType::Simple);
  ASSERT_TRUE(r) << r.error();
  const auto& sweep = st.decls.at(1).series.samples();
  const auto& trace = st.decls.at(3).series.samples();
  ASSERT_EQ(sweep.size(), kSweepPoints);
  ASSERT_EQ(trace.size(), 2 * kTracePoints);
  EXPECT_EQ(st.decls.at(2).series.samples().size(), lone_first ? 1u : 0u);
  EXPECT_EQ(sweep.capacity(), sweep.size());
  EXPECT_EQ(trace.capacity(), trace.size());
  std::uint32_t wrong = 0;
  for (std::uint32_t i = 0; i < kSweepPoints; ++i) wrong += sweep[i] != double(i);
  for (std::uint32_t i = 0; i < kTracePoints; ++i) wrong += trace[2 * i] != double(i) || trace[2 * i + 1] != -double(i);
  EXPECT_EQ(wrong, 0u);

  ParseState lazy;
  simple_decls(lazy);
  lazy.lazy = std::make_unique<quarn::LazyRecord>();
  quarn::Cursor again(b.bytes());
  ASSERT_TRUE(again.skip(quarn_test::kAt));
  r = quarn::parse_value_section(again, quarn::TypeTable{}, lazy, quarn::ValueSectionType::Simple);
  ASSERT_TRUE(r) << r.error();
  const quarn::BodyIndex& body = lazy.lazy->body;
  EXPECT_EQ(quarn::layout_of(body, 1, 1).points, kSweepPoints);
  EXPECT_EQ(quarn::layout_of(body, 2, 1).points, lone_first ? 1u : 0u);
  EXPECT_EQ(quarn::layout_of(body, 3, 2).points, kTracePoints);
}

INSTANTIATE_TEST_SUITE_P(Simple, SimpleLarge, ::testing::Bool());

// ---------------------------------------------------------------------------
// Windowed

// The sweep s (1) and the traces t1 (2), t2 (3), all Real.
void windowed_decls(ParseState& st) {
  add(st, 1, "s", real());
  add(st, 2, "t1", real());
  add(st, 3, "t2", real());
  st.sweep_order = {1};
  st.trace_order = {2, 3};
}

// One frame: word 16, W, N, then per id of the frame list its window. The
// bytes that are not examined (the gap before each later window and the
// words after the N samples) hold patterns that would show if they were read.
void frame(ByteBuilder& b, std::uint16_t w, std::uint16_t n, const std::vector<std::vector<double>>& windows) {
  b.chunk(ChunkId::Declaration).u16(w).u16(n);
  for (std::size_t k = 0; k < windows.size(); ++k) {
    if (k > 0) b.u64(0x7FF00000DEADBEEFull);
    for (double d : windows[k]) b.f64(d);
    for (std::size_t i = windows[k].size(); i < w; ++i) b.u64(0xFFF00000BADF00D0ull);
  }
}

std::string windowed_state(std::vector<double> s, std::vector<double> t1, std::vector<double> t2) {
  return "sweeps=[1] traces=[2,3] decls={1:s Real" + bits(s) + ", 2:t1 Real" + bits(t1) + ", 3:t2 Real" +
         bits(t2) + "} values=";
}

INSTANTIATE_TEST_SUITE_P(
    Windowed, SweptBodyTest,
    ::testing::Values(
        SectionCase{"w4_n3_is_120_bytes", Reader::Windowed, windowed_decls,
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionValue).chunk(ChunkId::Container).u32(kBody + 120 + 4);
                      frame(b, 4, 3, {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
                      b.chunk(ChunkId::SectionEnd);
                    },
                    windowed_state({1, 2, 3}, {4, 5, 6}, {7, 8, 9}), ""},
        SectionCase{"n0_occupies_the_whole_frame", Reader::Windowed, windowed_decls,
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionValue).chunk(ChunkId::Container).u32(kBody + 72 + 4);
                      frame(b, 2, 0, {{}, {}, {}});  // 8 * 3 * (2 + 1) bytes
                      b.chunk(ChunkId::SectionEnd);
                    },
                    windowed_state({}, {}, {}), ""},
        SectionCase{"padding_chunks_between_frames", Reader::Windowed, windowed_decls,
                    [](ByteBuilder& b) {
                      b.value_section([](ByteBuilder& v) {
                        v.chunk(ChunkId::ContainerPadding).u32(0);
                        frame(v, 1, 1, {{1}, {2}, {3}});
                        // Filler that looks like a frame head, never examined.
                        v.chunk(ChunkId::ContainerPadding).u32(8).chunk(ChunkId::Declaration).u32(0x00050005);
                        frame(v, 2, 1, {{4}, {5}, {6}});
                        v.chunk(ChunkId::ContainerPadding).u32(0);
                      });
                    },
                    windowed_state({1, 4}, {2, 5}, {3, 6}), ""},
        SectionCase{"no_traces_has_no_gaps", Reader::Windowed,
                    [](ParseState& st) {
                      add(st, 1, "s", real());
                      st.sweep_order = {1};
                    },
                    [](ByteBuilder& b) {
                      b.chunk(ChunkId::SectionValue).chunk(ChunkId::Container).u32(kBody + 32 + 4);
                      frame(b, 3, 2, {{1, 2}});  // 8 + 8 * 3 bytes
                      b.chunk(ChunkId::SectionEnd);
                    },
                    "sweeps=[1] traces=[] decls={1:s Real" + bits({1, 2}) + "} values=", ""},
        SectionCase{"two_frames_different_window_sizes", Reader::Windowed, windowed_decls,
                    [](ByteBuilder& b) {
                      b.value_section([](ByteBuilder& v) {
                        frame(v, 2, 2, {{1, 2}, {3, 4}, {5, 6}});
                        frame(v, 3, 1, {{7}, {8}, {9}});
                      });
                    },
                    windowed_state({1, 2, 7}, {3, 4, 8}, {5, 6, 9}), ""},
        SectionCase{"num_words_above_window_size", Reader::Windowed, windowed_decls,
                    [](ByteBuilder& b) {
                      b.value_section([](ByteBuilder& v) { v.chunk(ChunkId::Declaration).u16(4).u16(5).fill(200); });
                    },
                    "", "windowed frame: num_words 5 > window_size 4"},
        SectionCase{"complex_trace_refused_before_any_frame", Reader::Windowed,
                    [](ParseState& st) {
                      windowed_decls(st);
                      st.decls.at(3).series = complex();
                    },
                    [](ByteBuilder& b) { b.value_section([](ByteBuilder& v) { v.u32(99); }); },
                    "", "windowed complex value layout is not supported (trace 't2')"},
        SectionCase{"first_refused_in_frame_order", Reader::Windowed,
                    [](ParseState& st) {
                      windowed_decls(st);
                      st.decls.at(2).series = xyz();
                      st.decls.at(3).series = complex();
                    },
                    [](ByteBuilder& b) { b.value_section([](ByteBuilder& v) { v.u32(99); }); },
                    "", "windowed struct value layout is not supported (trace 't1')"},
        SectionCase{"complex_sweep_named_as_trace", Reader::Windowed,
                    [](ParseState& st) {
                      windowed_decls(st);
                      st.decls.at(1).series = complex();
                      st.decls.at(2).series = xyz();
                    },
                    [](ByteBuilder& b) { b.value_section([](ByteBuilder& v) { v.u32(99); }); },
                    "", "windowed complex value layout is not supported (trace 's')"},
        SectionCase{"no_sweep", Reader::Windowed,
                    [](ParseState& st) {
                      add(st, 2, "t1", real());
                      st.trace_order = {2};
                    },
                    [](ByteBuilder& b) { b.value_section([](ByteBuilder& v) { v.u32(99); }); },
                    "", "WINDOWED value section requires exactly one sweep, found 0"},
        SectionCase{"two_sweeps", Reader::Windowed,
                    [](ParseState& st) {
                      windowed_decls(st);
                      st.sweep_order = {1, 2};
                      st.decls.at(3).series = complex();  // the sweep count is tested first
                    },
                    [](ByteBuilder& b) { b.value_section([](ByteBuilder& v) { v.u32(99); }); },
                    "", "WINDOWED value section requires exactly one sweep, found 2"},
        SectionCase{"missing_declaration_reported_by_a_frame", Reader::Windowed,
                    [](ParseState& st) {
                      windowed_decls(st);
                      st.trace_order = {2, 9, 3};
                    },
                    [](ByteBuilder& b) {
                      b.value_section([](ByteBuilder& v) { frame(v, 1, 1, {{1}, {2}, {0}, {3}}); });
                    },
                    "", "windowed frame references unknown declaration 9"},
        SectionCase{"missing_declaration_in_a_list_naming_one_twice", Reader::Windowed,
                    [](ParseState& st) {
                      windowed_decls(st);
                      st.trace_order = {2, 2, 9};
                    },
                    [](ByteBuilder& b) {
                      b.value_section([](ByteBuilder& v) { frame(v, 1, 1, {{1}, {2}, {2}, {0}}); });
                    },
                    "", "windowed frame references unknown declaration 9"},
        SectionCase{"missing_declaration_without_frames", Reader::Windowed,
                    [](ParseState& st) {
                      windowed_decls(st);
                      st.trace_order = {2, 9, 3};
                    },
                    [](ByteBuilder& b) { b.value_section([](ByteBuilder&) {}); },
                    "sweeps=[1] traces=[2,9,3] decls={1:s Real[], 2:t1 Real[], 3:t2 Real[]} values=", ""},
        SectionCase{"frame_word_not_16_or_20", Reader::Windowed, windowed_decls,
                    [](ByteBuilder& b) { b.value_section([](ByteBuilder& v) { v.chunk(ChunkId::Container).u32(0); }); },
                    "", "expected chunk Declaration (16) at offset 28, got 21"},
        SectionCase{"frame_past_container_end", Reader::Windowed, windowed_decls,
                    [](ByteBuilder& b) {
                      open_value_section(b, 64, [](ByteBuilder& v) {
                        frame(v, 4, 3, {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});  // 28..148
                        v.chunk(ChunkId::SectionEnd);
                      });
                    },
                    windowed_state({1, 2, 3}, {4, 5, 6}, {7, 8, 9}),
                    "VALUE container end mismatch: at offset 148 but expected 60"}),
    [](const auto& p) { return std::string(p.param.label); });

// Frames cut by the end of the file, and sizes from the file far larger than
// it: each fails at the first read that does not fit, without looping or
// allocating for what is not there.
INSTANTIATE_TEST_SUITE_P(
    WindowedEndOfFile, SweptBodyTest,
    ::testing::Values(
        SectionCase{"window_65535_samples_missing", Reader::Windowed, windowed_decls,
                    [](ByteBuilder& b) {
                      open_value_section(b, 0x100000, [](ByteBuilder& v) {
                        v.chunk(ChunkId::Declaration).u16(65535).u16(65535).f64(1).f64(2).f64(3).u32(0);
                      });
                    },
                    "", "unexpected end of file: need 8 bytes at offset 60 (len 64)"},
        SectionCase{"window_65535_padding_missing", Reader::Windowed, windowed_decls,
                    [](ByteBuilder& b) {
                      open_value_section(b, 0x100000, [](ByteBuilder& v) {
                        v.chunk(ChunkId::Declaration).u16(65535).u16(0).u64(0);
                      });
                    },
                    "", "unexpected end of file: skip 524280 bytes at offset 36 (len 44)"},
        SectionCase{"padding_size_ffffffff", Reader::Windowed, windowed_decls,
                    [](ByteBuilder& b) {
                      open_value_section(b, 0x100000, [](ByteBuilder& v) {
                        v.chunk(ChunkId::ContainerPadding).u32(0xFFFFFFFF).u32(0);
                      });
                    },
                    "", "unexpected end of file: skip 4294967295 bytes at offset 36 (len 40)"},
        SectionCase{"padding_size_cut", Reader::Windowed, windowed_decls,
                    [](ByteBuilder& b) {
                      open_value_section(b, 0x100000, [](ByteBuilder& v) { v.chunk(ChunkId::ContainerPadding).raw({0, 0}); });
                    },
                    "", "unexpected end of file: need 4 bytes at offset 32 (len 34)"},
        SectionCase{"frame_word_cut", Reader::Windowed, windowed_decls,
                    [](ByteBuilder& b) { open_value_section(b, 0x100000, [](ByteBuilder& v) { v.raw({0, 0, 0}); }); },
                    "", "unexpected end of file: need 4 bytes at offset 28 (len 31)"},
        SectionCase{"num_words_cut", Reader::Windowed, windowed_decls,
                    [](ByteBuilder& b) {
                      open_value_section(b, 0x100000, [](ByteBuilder& v) { v.chunk(ChunkId::Declaration).u16(4); });
                    },
                    "", "unexpected end of file: need 2 bytes at offset 34 (len 34)"},
        SectionCase{"gap_before_second_window_cut", Reader::Windowed, windowed_decls,
                    [](ByteBuilder& b) {
                      open_value_section(b, 0x100000, [](ByteBuilder& v) {
                        v.chunk(ChunkId::Declaration).u16(1).u16(1).f64(1).u32(0);
                      });
                    },
                    "", "unexpected end of file: skip 8 bytes at offset 44 (len 48)"},
        SectionCase{"second_window_sample_cut", Reader::Windowed, windowed_decls,
                    [](ByteBuilder& b) {
                      open_value_section(b, 0x100000, [](ByteBuilder& v) {
                        v.chunk(ChunkId::Declaration).u16(2).u16(2).f64(1).f64(2).u64(0).f64(3).raw({0, 0, 0});
                      });
                    },
                    "", "unexpected end of file: need 8 bytes at offset 68 (len 71)"}),
    [](const auto& p) { return std::string(p.param.label); });

// Samples appended frame after frame until the series' storage has been
// moved to a larger home several times.
TEST(Windowed, GrowthKeepsEverySample) {
  constexpr std::uint16_t kW = 65535;
  constexpr int kFrames = 6;
  ByteBuilder b;
  b.fill(quarn_test::kAt);
  b.value_section([&](ByteBuilder& v) {
    double x = 0;
    for (int f = 0; f < kFrames; ++f) {
      v.chunk(ChunkId::Declaration).u16(kW).u16(kW);
      for (int i = 0; i < kW; ++i) v.f64(x + i);
      v.u64(0);
      for (int i = 0; i < kW; ++i) v.f64(-(x + i));
      x += kW;
    }
  });
  ParseState st;
  add(st, 1, "s", real());
  add(st, 2, "t", real());
  st.sweep_order = {1};
  st.trace_order = {2};
  quarn::Cursor cur(b.bytes());
  ASSERT_TRUE(cur.skip(quarn_test::kAt));
  auto r = quarn::parse_value_section(cur, quarn::TypeTable{}, st, quarn::ValueSectionType::Windowed);
  ASSERT_TRUE(r) << r.error();
  const auto& s = st.decls.at(1).series.samples();
  const auto& t = st.decls.at(2).series.samples();
  ASSERT_EQ(s.size(), std::size_t{kW} * kFrames);
  ASSERT_EQ(t.size(), std::size_t{kW} * kFrames);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < s.size(); ++i) wrong += s[i] != double(i) || t[i] != -double(i);
  EXPECT_EQ(wrong, 0u);
}

}  // namespace
