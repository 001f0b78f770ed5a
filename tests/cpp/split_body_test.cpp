// Swept bodies decoded on several threads: a Simple body read as repeated
// cycles of records, a Windowed body split by frames. The results must be
// exactly those of reading record by record on one thread, whatever the
// number of threads and wherever a body strays from its cycle.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <map>
#include <random>
#include <vector>

#include "byte_builder.h"
#include "reader/sections.h"
#include "records.h"

namespace {

using quarn::ChunkId;
using quarn::Concurrency;
using quarn::ParseState;
using quarn::Series;
using quarn::ValueSectionType;
using quarn_test::ByteBuilder;

constexpr std::size_t kAt = 16;
const unsigned kThreadCounts[] = {1, 2, 3, 4, 7};

void add(ParseState& st, std::uint32_t id, const char* name, Series series) {
  st.decls.emplace(id, quarn::DataDecl{name, std::move(series)});
}

// s (1, Real) is the sweep; t1 (2, Real), t2 (3, Complex), n (4, Struct x,y)
// are the traces.
void simple_decls(ParseState& st) {
  add(st, 1, "s", Series{Series::Real{}});
  add(st, 2, "t1", Series{Series::Real{}});
  add(st, 3, "t2", Series{Series::Complex{}});
  add(st, 4, "n", Series{Series::Struct{quarn_test::float_members({"x", "y"}), {}}});
  st.sweep_order = {1};
  st.trace_order = {2, 3, 4};
}

std::size_t doubles_of(std::uint32_t id) { return id == 1 || id == 2 ? 1 : 2; }

struct Outcome {
  std::string error;  // empty on success
  std::string state;  // describe() of the state
  std::uint64_t pos = 0;
  bool exact = true;  // every series' capacity equals its size
};

// With `poison`, every series starts with spare room full of a pattern that
// shows wherever a sample was never written.
Outcome read_value(const ByteBuilder& b, ValueSectionType layout, void (*setup)(ParseState&),
                   const Concurrency& concurrency, bool poison = false) {
  ParseState st;
  setup(st);
  if (poison) {
    for (auto& [id, decl] : st.decls) {
      quarn::SampleBuffer& samples = decl.series.samples();
      EXPECT_TRUE(samples.reserve_more_exact(4096));
      std::fill(samples.data(), samples.data() + samples.capacity(),
                std::bit_cast<double>(0x7FF4000000000BADull));
    }
  }
  quarn::Cursor cur(b.bytes());
  EXPECT_TRUE(cur.skip(kAt));
  auto r = quarn::parse_value_section(cur, quarn::TypeTable{}, st, layout, concurrency);
  Outcome o;
  if (!r) o.error = r.error();
  o.state = quarn_test::describe(st);
  o.pos = cur.pos();
  for (const auto& [id, decl] : st.decls)
    o.exact = o.exact && decl.series.samples().capacity() == decl.series.samples().size();
  return o;
}

Concurrency split(unsigned threads) { return Concurrency{.threads = threads, .min_bytes_per_thread = 1}; }

// ---------------------------------------------------------------------------
// Simple

// A Simple body as a list of records; each point's values are its position in
// the body, so every sample says where it came from.
struct SimpleBody {
  std::vector<std::uint32_t> ids;
  std::uint32_t bad_word_at = UINT32_MAX;  // the record whose chunk word is 20

  ByteBuilder bytes() const {
    ByteBuilder b;
    b.fill(kAt, 0xCC);
    b.value_section([&](ByteBuilder& v) {
      double value = 0;
      for (std::size_t r = 0; r < ids.size(); ++r) {
        v.chunk(r == bad_word_at ? ChunkId::ContainerPadding : ChunkId::Declaration).u32(ids[r]);
        for (std::size_t i = 0; i < doubles_of(ids[r]); ++i) v.f64(value++);
      }
    });
    b.u32(0xA5A5A5A5);
    return b;
  }

  // What reading the records one by one gives, when every record is valid.
  std::string expected_state() const {
    std::map<std::uint32_t, std::vector<double>> got;
    double value = 0;
    for (std::uint32_t id : ids)
      for (std::size_t i = 0; i < doubles_of(id); ++i) got[id].push_back(value++);
    return "sweeps=[1] traces=[2,3,4] decls={1:s Real" + quarn_test::bits(got[1]) + ", 2:t1 Real" +
           quarn_test::bits(got[2]) + ", 3:t2 Complex" + quarn_test::bits(got[3]) +
           ", 4:n Struct2[x,y]" + quarn_test::bits(got[4]) + "} values=";
  }
};

SimpleBody cycles(std::vector<std::uint32_t> cycle, std::size_t count) {
  SimpleBody body;
  for (std::size_t m = 0; m < count; ++m) body.ids.insert(body.ids.end(), cycle.begin(), cycle.end());
  return body;
}

void expect_reads_as_built(const SimpleBody& body) {
  const ByteBuilder b = body.bytes();
  for (unsigned threads : kThreadCounts) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    Outcome o = read_value(b, ValueSectionType::Simple, simple_decls, split(threads));
    ASSERT_EQ(o.error, "");
    EXPECT_EQ(o.state, body.expected_state());
    EXPECT_EQ(o.pos, b.size() - 4);
    EXPECT_TRUE(o.exact) << "a series kept spare room";
    EXPECT_EQ(read_value(b, ValueSectionType::Simple, simple_decls, split(threads), true).state,
              body.expected_state());
  }
}

struct SimpleShape {
  const char* label;
  SimpleBody body;
};
QUARN_TEST_PRINTS_LABEL(SimpleShape)

SimpleBody edited(SimpleBody body, void (*edit)(std::vector<std::uint32_t>&)) {
  edit(body.ids);
  return body;
}

class SimpleSplitTest : public ::testing::TestWithParam<SimpleShape> {};

TEST_P(SimpleSplitTest, ReadsAsBuilt) { expect_reads_as_built(GetParam().body); }

INSTANTIATE_TEST_SUITE_P(
    Shapes, SimpleSplitTest,
    ::testing::Values(
        SimpleShape{"one_cycle", cycles({1, 2, 3, 4}, 1)},
        SimpleShape{"many_cycles", cycles({1, 2, 3, 4}, 37)},
        SimpleShape{"only_the_sweep", cycles({1}, 23)},
        SimpleShape{"a_series_twice_per_cycle", cycles({1, 3, 2, 3}, 11)},
        SimpleShape{"first_id_never_repeats", edited(cycles({2, 3}, 9), [](auto& ids) {
                      ids.insert(ids.begin(), 1);
                    })},
        SimpleShape{"last_cycle_short", edited(cycles({1, 2, 3, 4}, 10), [](auto& ids) { ids.pop_back(); })},
        SimpleShape{"last_cycle_long", edited(cycles({1, 2, 3, 4}, 10), [](auto& ids) { ids.push_back(1); })},
        SimpleShape{"two_swapped_in_the_first", edited(cycles({1, 2, 3, 4}, 10), [](auto& ids) {
                      std::swap(ids[1], ids[2]);
                    })},
        SimpleShape{"two_swapped_in_the_middle", edited(cycles({1, 2, 3, 4}, 10), [](auto& ids) {
                      std::swap(ids[21], ids[22]);
                    })},
        SimpleShape{"two_swapped_in_the_last", edited(cycles({1, 2, 3, 4}, 10), [](auto& ids) {
                      std::swap(ids[37], ids[38]);
                    })},
        // Same length in bytes as the cycle, other declarations: only the
        // record heads tell them apart.
        SimpleShape{"same_size_other_ids", edited(cycles({1, 3, 4}, 12), [](auto& ids) {
                      ids[3 * 7 + 1] = 4;
                      ids[3 * 7 + 2] = 3;
                    })},
        SimpleShape{"a_cycle_twice_as_long_later", edited(cycles({1, 2}, 12), [](auto& ids) {
                      ids.insert(ids.begin() + 12, {1, 2});
                    })}),
    [](const auto& p) { return std::string(p.param.label); });

// A record that is not valid anywhere in the body: the same message as the
// record-by-record walk, and no series keeps any sample.
struct SimpleFault {
  const char* label;
  std::size_t record;  // of 40 (ten cycles of s, t1, t2, n)
  bool bad_word;       // else an unknown id
};
QUARN_TEST_PRINTS_LABEL(SimpleFault)

class SimpleFaultTest : public ::testing::TestWithParam<SimpleFault> {};

TEST_P(SimpleFaultTest, FailsAsTheRecordWalkDoes) {
  const SimpleFault& f = GetParam();
  SimpleBody body = cycles({1, 2, 3, 4}, 10);
  if (f.bad_word)
    body.bad_word_at = static_cast<std::uint32_t>(f.record);
  else
    body.ids[f.record] = 99;
  // Records of one cycle: 16 + 16 + 24 + 24 = 80 bytes from offset 28.
  std::size_t offset = kAt + 12;
  for (std::size_t r = 0; r < f.record; ++r) offset += 8 + 8 * doubles_of(body.ids[r]);
  const std::string message = f.bad_word ? "expected chunk Declaration (16) at offset " +
                                               std::to_string(offset) + ", got 20"
                                         : "value record references unknown declaration 99";
  const std::string empty =
      "sweeps=[1] traces=[2,3,4] decls={1:s Real[], 2:t1 Real[], 3:t2 Complex[], 4:n Struct2[x,y][]} values=";
  const ByteBuilder b = body.bytes();
  for (unsigned threads : kThreadCounts) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    Outcome o = read_value(b, ValueSectionType::Simple, simple_decls, split(threads));
    EXPECT_EQ(o.error, message);
    EXPECT_EQ(o.state, empty);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SimpleFaultTest,
    ::testing::Values(SimpleFault{"unknown_id_first", 0, false}, SimpleFault{"unknown_id_second", 1, false},
                      SimpleFault{"unknown_id_middle", 22, false}, SimpleFault{"unknown_id_last", 39, false},
                      SimpleFault{"bad_word_first", 0, true}, SimpleFault{"bad_word_middle", 17, true},
                      SimpleFault{"bad_word_last", 39, true}),
    [](const auto& p) { return std::string(p.param.label); });

// Bodies that are mostly cycles with random slips: every thread count reads
// them as they were built.
TEST(SimpleSplit, RandomSlipsReadAsBuilt) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<std::uint32_t> cycle;
    const std::size_t length = 1 + rng() % 5;
    for (std::size_t i = 0; i < length; ++i) cycle.push_back(1 + rng() % 4);
    SimpleBody body = cycles(cycle, 1 + rng() % 30);
    const std::size_t slips = rng() % 3;
    for (std::size_t i = 0; i < slips && !body.ids.empty(); ++i)
      body.ids[rng() % body.ids.size()] = 1 + rng() % 4;
    expect_reads_as_built(body);
    if (HasFatalFailure()) return;
  }
}

// ---------------------------------------------------------------------------
// Windowed

// The sweep s (1) and the traces t1 (2), t2 (3), all Real.
void windowed_decls(ParseState& st) {
  add(st, 1, "s", Series{Series::Real{}});
  add(st, 2, "t1", Series{Series::Real{}});
  add(st, 3, "t2", Series{Series::Real{}});
  st.sweep_order = {1};
  st.trace_order = {2, 3};
}

// The sweep is also listed as a trace: each frame gives it two windows.
void windowed_decls_repeated(ParseState& st) {
  windowed_decls(st);
  st.trace_order = {2, 1};
}

struct Frame {
  std::uint16_t w;
  std::uint16_t n;
  int padding_before = -1;  // the filler size of a padding chunk before it, or none
};

struct WindowedBody {
  std::vector<Frame> frames;
  int padding_after = -1;
  std::size_t windows = 3;  // per frame

  ByteBuilder bytes() const {
    ByteBuilder b;
    b.fill(kAt, 0xCC);
    b.value_section([&](ByteBuilder& v) {
      double value = 0;
      auto padding = [&](int size) {
        if (size >= 0) v.chunk(ChunkId::ContainerPadding).u32(static_cast<std::uint32_t>(size)).fill(static_cast<std::size_t>(size), 0x14);
      };
      for (const Frame& f : frames) {
        padding(f.padding_before);
        v.chunk(ChunkId::Declaration).u16(f.w).u16(f.n);
        for (std::size_t k = 0; k < windows; ++k) {
          if (k > 0) v.u64(0x7FF00000DEADBEEFull);
          for (std::size_t i = 0; i < f.n; ++i) v.f64(value++);
          for (std::size_t i = f.n; i < f.w; ++i) v.u64(0xFFF00000BADF00D0ull);
        }
      }
      padding(padding_after);
    });
    b.u32(0xA5A5A5A5);
    return b;
  }

  // Series k receives window k of every frame; with `repeated`, the sweep
  // also receives window 2 right after its window 0.
  std::string expected_state(bool repeated) const {
    std::vector<std::vector<double>> got(3);
    double value = 0;
    for (const Frame& f : frames) {
      std::vector<std::vector<double>> win(windows);
      for (std::size_t k = 0; k < windows; ++k)
        for (std::size_t i = 0; i < f.n; ++i) win[k].push_back(value++);
      if (repeated) {
        got[0].insert(got[0].end(), win[0].begin(), win[0].end());
        got[1].insert(got[1].end(), win[1].begin(), win[1].end());
        got[0].insert(got[0].end(), win[2].begin(), win[2].end());
      } else {
        for (std::size_t k = 0; k < 3; ++k) got[k].insert(got[k].end(), win[k].begin(), win[k].end());
      }
    }
    using quarn_test::bits;
    return std::string("sweeps=[1] traces=") + (repeated ? "[2,1]" : "[2,3]") + " decls={1:s Real" +
           bits(got[0]) + ", 2:t1 Real" + bits(got[1]) + ", 3:t2 Real" + bits(got[2]) + "} values=";
  }
};

WindowedBody random_windowed(std::mt19937& rng) {
  WindowedBody body;
  const std::size_t frames = rng() % 25;
  for (std::size_t i = 0; i < frames; ++i) {
    Frame f;
    f.w = static_cast<std::uint16_t>(rng() % 7);
    f.n = static_cast<std::uint16_t>(f.w == 0 ? 0 : rng() % (f.w + 1));
    if (rng() % 4 == 0) f.padding_before = static_cast<int>(rng() % 13);
    body.frames.push_back(f);
  }
  if (rng() % 3 == 0) body.padding_after = static_cast<int>(rng() % 9);
  return body;
}

TEST(WindowedSplit, RandomFramesReadAsBuilt) {
  std::mt19937 rng(777);
  for (int round = 0; round < 80; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const WindowedBody body = random_windowed(rng);
    const ByteBuilder b = body.bytes();
    for (bool repeated : {false, true}) {
      for (unsigned threads : kThreadCounts) {
        SCOPED_TRACE("threads " + std::to_string(threads) + (repeated ? ", sweep repeated" : ""));
        Outcome o = read_value(b, ValueSectionType::Windowed, repeated ? windowed_decls_repeated : windowed_decls,
                               split(threads));
        ASSERT_EQ(o.error, "");
        EXPECT_EQ(o.state, body.expected_state(repeated));
        EXPECT_EQ(o.pos, b.size() - 4);
        if (!repeated) {
          EXPECT_TRUE(o.exact) << "a series kept spare room";
        }
        EXPECT_EQ(read_value(b, ValueSectionType::Windowed,
                             repeated ? windowed_decls_repeated : windowed_decls, split(threads), true)
                      .state,
                  body.expected_state(repeated));
      }
    }
  }
}

// A frame that is wrong somewhere in the body, or a body cut anywhere: the
// split read fails with the message of the frame-by-frame read (which a frame
// list naming the sweep twice takes; the bytes are walked the same way).
TEST(WindowedSplit, FaultsAndCutsFailAsFrameByFrame) {
  std::mt19937 rng(4242);
  WindowedBody body;
  for (int i = 0; i < 12; ++i)
    body.frames.push_back(Frame{5, static_cast<std::uint16_t>(i % 6), i % 4 == 1 ? 6 : -1});
  const ByteBuilder whole = body.bytes();
  std::vector<std::pair<std::string, ByteBuilder>> cases;
  for (std::size_t cut = kAt + 12; cut < whole.size() - 4; cut += 1 + rng() % 23) {
    ByteBuilder b;
    b.raw(std::string_view(reinterpret_cast<const char*>(whole.bytes().data()), cut));
    cases.emplace_back("cut at " + std::to_string(cut), b);
  }
  for (std::size_t frame : {std::size_t{0}, std::size_t{5}, std::size_t{11}}) {
    WindowedBody bad = body;
    bad.frames[frame].n = 6;  // more than the window
    cases.emplace_back("n > w in frame " + std::to_string(frame), bad.bytes());
    ByteBuilder word = body.bytes();
    std::size_t at = kAt + 12;
    for (std::size_t f = 0; f < frame; ++f)
      at += (body.frames[f].padding_before >= 0 ? std::size_t{8 + 6} : 0) + 8 * 3 * (5 + 1);
    if (body.frames[frame].padding_before >= 0) at += 8 + 6;
    word.patch_u32(at, 17);
    cases.emplace_back("word 17 at frame " + std::to_string(frame), word);
  }
  for (const auto& [label, b] : cases) {
    SCOPED_TRACE(label);
    const Outcome growing = read_value(b, ValueSectionType::Windowed, windowed_decls_repeated, Concurrency{});
    ASSERT_NE(growing.error, "");
    for (unsigned threads : kThreadCounts) {
      SCOPED_TRACE("threads " + std::to_string(threads));
      EXPECT_EQ(read_value(b, ValueSectionType::Windowed, windowed_decls, split(threads)).error, growing.error);
    }
  }
}

}  // namespace
