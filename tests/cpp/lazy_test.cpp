// The lazy reader's walk and reads against the eager parse of the same bytes:
// every series, read whole or in any stretch and on any number of threads,
// is the parsed one bit for bit; the walk fails exactly where the parse (and
// the assembly of its records) fails, with the same message.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "byte_builder.h"
#include "driver/lazy_file.h"
#include "driver/parse.h"
#include "records.h"

namespace {

using quarn::ChunkId;
using quarn::Concurrency;
using quarn::Series;
using quarn::driver::LazyIndex;
using quarn::driver::LazySeries;
using quarn_test::ByteBuilder;

// The eager outcome: the sweeps and traces in order, or the message.
struct Eager {
  std::string error;
  std::vector<quarn::NamedSeries> series;
  std::size_t values = 0;
};

Eager eager(quarn::Bytes data) {
  auto parsed = quarn::driver::parse(data);
  if (!parsed) return {parsed.error(), {}, 0};
  auto sweeps = parsed->state.take_order(parsed->state.sweep_order);
  if (!sweeps) return {sweeps.error(), {}, 0};
  auto traces = parsed->state.take_order(parsed->state.trace_order);
  if (!traces) return {traces.error(), {}, 0};
  Eager out{"", std::move(*sweeps), parsed->state.values.size()};
  for (auto& t : *traces) out.series.push_back(std::move(t));
  return out;
}

std::vector<const LazySeries*> all_series(const LazyIndex& index) {
  std::vector<const LazySeries*> out;
  for (const auto& s : index.sweeps) out.push_back(&s);
  for (const auto& s : index.traces) out.push_back(&s);
  return out;
}

// Points [start, stop) of the parsed series equal the lazy read, bit for bit.
::testing::AssertionResult same_points(quarn::Bytes data, const LazyIndex& index,
                                       const LazySeries& lazy, const Series& parsed,
                                       std::uint64_t start, std::uint64_t stop,
                                       const Concurrency& concurrency = {}) {
  auto got = quarn::driver::read_series(data, index.body, lazy, start, stop, concurrency);
  if (!got) return ::testing::AssertionFailure() << got.error();
  const std::uint64_t k = parsed.point_doubles();
  if (got->points() != stop - start || got->point_doubles() != k)
    return ::testing::AssertionFailure() << lazy.name << ": " << got->points() << " points";
  if (stop > start && std::memcmp(got->samples().data(), parsed.samples().data() + start * k,
                                  (stop - start) * k * 8) != 0)
    return ::testing::AssertionFailure() << lazy.name << " differs in [" << start << ", " << stop << ")";
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Files made from a seed: both layouts, every series kind, irregular shapes.

std::uint64_t random_bits(std::mt19937_64& rng) { return rng(); }

void point(ByteBuilder& b, std::mt19937_64& rng, std::uint64_t doubles) {
  for (std::uint64_t i = 0; i < doubles; ++i) b.u64(random_bits(rng));
}

// Types: 1 Float64 (units V), 2 Complex (units A), 3 struct {p, q (units W), r}.
void types(ByteBuilder& tr) {
  tr.type_decl(1, "float", 11).prop_string("units", "V").prop_string("key", "type");
  tr.type_decl(2, "complex", 12).prop_string("units", "A");
  tr.type_decl(3, "noise", 16)
      .type_decl(0, "p", 11)
      .type_decl(0, "q", 11)
      .prop_string("units", "W")
      .type_decl(0, "r", 11)
      .chunk(ChunkId::StructEnd)
      .prop_string("units", "V^2/Hz");
}

// Sweep 1 ("x"); traces 2 ("a", Float64), then in group "g": 3 ("c",
// Complex), 4 ("n", struct). Windowed files declare real traces only.
ByteBuilder prelude(std::uint32_t first_word, unsigned traces) {
  ByteBuilder b;
  b.u32(first_word);
  auto h = b.open(ChunkId::Container);
  b.prop_string("PSFversion", "1.00");
  b.close(h);
  b.type_section(types);
  b.sweep_section([](ByteBuilder& s) { s.decl(1, "x", 1).prop_string("key", "own"); });
  b.trace_section([&](ByteBuilder& t) {
    if (first_word == 1024) {
      for (unsigned i = 0; i < traces; ++i) t.decl(2 + i, "t" + std::to_string(i), 1);
      return;
    }
    t.decl(2, "a", 1);
    t.group(9, "g", 2).decl(3, "c", 2).prop_int("n", 7).decl(4, "n", 3);
  });
  return b;
}

std::uint64_t doubles_of(std::uint32_t id) { return id == 3 ? 2 : id == 4 ? 3 : 1; }

void record(ByteBuilder& b, std::mt19937_64& rng, std::uint32_t id) {
  b.chunk(ChunkId::Declaration).u32(id);
  point(b, rng, doubles_of(id));
}

enum class Shape { Cycles, PartialLast, Glitch, TwicePerCycle, Random, SweepOnly };

ByteBuilder simple_file(std::uint64_t seed, Shape shape, unsigned points) {
  std::mt19937_64 rng(seed);
  ByteBuilder b = prelude(512, 0);
  b.value_section([&](ByteBuilder& v) {
    for (unsigned p = 0; p < points; ++p) {
      std::vector<std::uint32_t> ids = {1, 2, 3, 4};
      if (shape == Shape::PartialLast && p + 1 == points) ids = {1, 2};
      if (shape == Shape::Glitch && p == points / 2) ids = {1, 2, 3, 3, 4};
      if (shape == Shape::TwicePerCycle) ids = {1, 2, 4, 2, 3};
      if (shape == Shape::SweepOnly) ids = {1};
      if (shape == Shape::Random) {
        ids.clear();
        for (auto n = rng() % 6; n > 0; --n) ids.push_back(static_cast<std::uint32_t>(1 + rng() % 4));
      }
      for (std::uint32_t id : ids) record(v, rng, id);
    }
  });
  return b.footer(), b;
}

// Frames of random window sizes and point counts (zero included), with
// padding chunks of random sizes before some of them; or, `uniform`, frames of
// `window` points (the last of 4) with 8 bytes of padding after every
// `pad_every` of them (none when 0), whose repeats a split walk checks ahead.
ByteBuilder windowed_file(std::uint64_t seed, unsigned traces, unsigned frames, bool uniform,
                          unsigned pad_every = 0, std::uint16_t window = 7) {
  std::mt19937_64 rng(seed);
  ByteBuilder b = prelude(1024, traces);
  const std::uint16_t sizes[] = {1, 3, 5, 7, 13};
  b.value_section([&](ByteBuilder& v) {
    for (unsigned f = 0; f < frames; ++f) {
      const bool pad = uniform ? pad_every != 0 && f != 0 && f % pad_every == 0 : rng() % 3 == 0;
      if (pad) {
        const std::uint32_t filler[] = {0, 3, 8};
        const std::uint32_t size = uniform ? 8 : filler[rng() % 3];
        v.chunk(ChunkId::ContainerPadding).u32(size).fill(size, 0xee);
      }
      const std::uint16_t w = uniform ? window : sizes[rng() % 5];
      const auto n = static_cast<std::uint16_t>(uniform ? (f + 1 == frames ? 4 : w) : rng() % (w + 1u));
      v.chunk(ChunkId::Declaration).u16(w).u16(n);
      for (unsigned k = 0; k <= traces; ++k) {
        if (k != 0) v.u64(random_bits(rng));
        point(v, rng, w);
      }
    }
  });
  return b.footer(), b;
}

// Enough threads, and little enough work per thread, for every walk that can
// be split to be split.
constexpr Concurrency kSplit{.threads = 3, .min_bytes_per_thread = 8};

struct Generated {
  const char* label;
  std::function<ByteBuilder()> build;
};
QUARN_TEST_PRINTS_LABEL(Generated)

const Generated kFiles[] = {
    {"simple_cycles", [] { return simple_file(1, Shape::Cycles, 40); }},
    {"simple_partial_last", [] { return simple_file(2, Shape::PartialLast, 40); }},
    {"simple_glitch", [] { return simple_file(3, Shape::Glitch, 40); }},
    {"simple_twice_per_cycle", [] { return simple_file(4, Shape::TwicePerCycle, 40); }},
    {"simple_random", [] { return simple_file(5, Shape::Random, 60); }},
    {"simple_sweep_only", [] { return simple_file(6, Shape::SweepOnly, 30); }},
    {"simple_no_records", [] { return simple_file(7, Shape::Cycles, 0); }},
    {"windowed_uniform", [] { return windowed_file(8, 2, 9, true); }},
    {"windowed_irregular", [] { return windowed_file(9, 3, 25, false); }},
    {"windowed_sweep_only", [] { return windowed_file(10, 0, 12, false); }},
    {"windowed_no_frames", [] { return windowed_file(11, 2, 0, false); }},
    {"windowed_periodic", [] { return windowed_file(12, 0, 30, true); }},
    {"windowed_periodic_padded", [] { return windowed_file(13, 0, 44, true, 2); }},
};

class LazyFileTest : public ::testing::TestWithParam<Generated> {};

TEST_P(LazyFileTest, EverySeriesWholeAndInSlicesIsTheParsedOne) {
  const ByteBuilder b = GetParam().build();
  Eager want = eager(b.bytes());
  ASSERT_EQ(want.error, "");
  auto index = quarn::driver::index_bytes(b.bytes());
  ASSERT_TRUE(index) << index.error();
  auto lazy = all_series(*index);
  ASSERT_EQ(lazy.size(), want.series.size());
  std::mt19937_64 rng(42);
  for (std::size_t i = 0; i < lazy.size(); ++i) {
    const Series& parsed = want.series[i].series;
    const std::uint64_t n = parsed.points();
    EXPECT_EQ(lazy[i]->name, want.series[i].name);
    EXPECT_EQ(lazy[i]->layout.points, n) << lazy[i]->name;
    EXPECT_EQ(lazy[i]->kind.v.index(), parsed.v.index());
    EXPECT_TRUE(same_points(b.bytes(), *index, *lazy[i], parsed, 0, n));
    for (int k = 0; k < 30; ++k) {
      std::uint64_t start = n == 0 ? 0 : rng() % (n + 1), stop = n == 0 ? 0 : rng() % (n + 1);
      if (start > stop) std::swap(start, stop);
      EXPECT_TRUE(same_points(b.bytes(), *index, *lazy[i], parsed, start, stop));
    }
    // Split over threads at every few points, as a large read would be.
    for (unsigned threads : {2u, 3u, 7u})
      EXPECT_TRUE(same_points(b.bytes(), *index, *lazy[i], parsed, 0, n,
                              Concurrency{.threads = threads, .min_bytes_per_thread = 8}));
  }
}

// The stretches a read reports done lie in the body and cover what it read.
TEST_P(LazyFileTest, ReadsReportTheStretchesTheyAreDoneWith) {
  const ByteBuilder b = GetParam().build();
  auto index = quarn::driver::index_bytes(b.bytes());
  ASSERT_TRUE(index) << index.error();
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
  const quarn::PagesDone done{[](void* c, std::uint64_t pos, std::uint64_t length) noexcept {
                                static_cast<decltype(spans)*>(c)->push_back({pos, pos + length});
                              },
                              &spans};
  for (const LazySeries* s : all_series(*index)) {
    spans.clear();
    // Nothing read, at the middle and at the end: nothing told past the body.
    for (std::uint64_t at : {s->layout.points / 2, s->layout.points})
      ASSERT_TRUE(quarn::driver::read_series(b.bytes(), index->body, *s, at, at, {}, &done));
    auto got = quarn::driver::read_series(b.bytes(), index->body, *s, 0, s->layout.points, {},
                                          &done);
    ASSERT_TRUE(got);
    std::uint64_t covered = 0;
    for (auto [pos, end] : spans) {
      EXPECT_LE(end, b.size() - 16) << s->name;  // before the SectionEnd word and the footer
      covered += end - pos;
    }
    EXPECT_GE(covered, got->samples().size() * 8) << s->name;
  }
}

// A cut file fails exactly as the parse fails; one whose footer is put back
// after the cut reaches every reader of the walk.
TEST_P(LazyFileTest, EveryTruncationAndCorruptionFailsAsTheParse) {
  const ByteBuilder b = GetParam().build();
  const auto& whole = b.vec();
  const std::size_t body = whole.size() - 12;
  // The walk that checks repeats ahead on threads, where there are repeats:
  // split, not worth splitting, and with a reader of the file whose heads are
  // too close to be worth reading (the fuzz target reads them, failing some).
  struct Way {
    Concurrency concurrency;
    bool reader = false;
  };
  std::vector<Way> ways{{Concurrency{}}};
  if (std::string_view(GetParam().label).starts_with("windowed_periodic"))
    ways.insert(ways.end(), {{kSplit}, {Concurrency{.threads = 2}}, {kSplit, true}});
  auto check = [&ways](const std::vector<std::uint8_t>& bytes, const std::string& what) {
    quarn::Bytes data = std::as_bytes(std::span(bytes));
    Eager want = eager(data);
    const quarn::ReadAt far_only{
        [](void* d, std::uint64_t pos, std::byte* out, std::size_t n) noexcept {
          const auto& all = *static_cast<const quarn::Bytes*>(d);
          if (pos > all.size() || n > all.size() - pos) return false;
          std::memcpy(out, all.data() + pos, n);
          return true;
        },
        &data, std::uint64_t{1} << 20};
    for (const Way& way : ways) {
      auto index = quarn::driver::index_bytes(data, way.concurrency, nullptr,
                                              way.reader ? &far_only : nullptr);
      if (!want.error.empty()) {
        ASSERT_FALSE(index) << what << ": the parse fails with " << want.error;
        ASSERT_EQ(index.error(), want.error) << what;
        continue;
      }
      ASSERT_TRUE(index) << what << ": " << index.error();
      auto lazy = all_series(*index);
      ASSERT_EQ(lazy.size(), want.series.size()) << what;
      for (std::size_t i = 0; i < lazy.size(); ++i)
        ASSERT_TRUE(same_points(data, *index, *lazy[i], want.series[i].series, 0,
                                want.series[i].series.points()))
            << what;
    }
  };
  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    std::vector<std::uint8_t> bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    check(bytes, "cut at " + std::to_string(cut));
    if (cut > body) continue;
    bytes.insert(bytes.end(), whole.end() - 12, whole.end());
    check(bytes, "cut at " + std::to_string(cut) + " with the footer");
  }
  for (std::size_t at = 0; at < body; ++at) {
    for (std::uint8_t value : {std::uint8_t{0x00}, std::uint8_t{0x10}, std::uint8_t{0xff}}) {
      std::vector<std::uint8_t> bytes = whole;
      bytes[at] = value;
      check(bytes, "byte " + std::to_string(at) + " set to " + std::to_string(value));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lazy, LazyFileTest, ::testing::ValuesIn(kFiles));

// A walk of a body of many megabytes lets go of all of it as it goes (all but
// the stretch since the last span told, which the owner ends), on one thread
// or split, and indexes it alike either way.
TEST(LazyWalk, LetsGoOfTheBodyAndIndexesItAlikeOnAnyThreads) {
  const ByteBuilder big = windowed_file(14, 1, 320, true, 4, 4096);  // about 21 MB
  Eager want = eager(big.bytes());
  ASSERT_EQ(want.error, "");
  const Series& last = want.series.back().series;
  for (unsigned threads : {1u, 2u}) {
    std::atomic<std::uint64_t> released{0};  // told from every thread of the walk
    const quarn::PagesDone done{[](void* c, std::uint64_t, std::uint64_t length) noexcept {
                                  static_cast<std::atomic<std::uint64_t>*>(c)->fetch_add(length);
                                },
                                &released};
    auto index = quarn::driver::index_bytes(big.bytes(), Concurrency{.threads = threads}, &done);
    ASSERT_TRUE(index) << index.error();
    EXPECT_GE(released + quarn::PagesDone::kReleaseSpan, big.size() - 4096);
    const std::uint64_t n = last.points();
    EXPECT_TRUE(same_points(big.bytes(), *index, *all_series(*index).back(), last, n - n / 5, n));
  }
}

// A read of many megabytes tells of its stretches as it goes, each of some
// bytes: a sweep whose records fill exactly one span, and a trace of frames
// without padding.
TEST(LazyWalk, LongReadsTellTheirStretchesAsTheyGo) {
  const std::uint64_t span = quarn::PagesDone::kReleaseSpan;
  for (const ByteBuilder& big : {simple_file(16, Shape::SweepOnly, span / 16),
                                 windowed_file(17, 0, 140, true, 0, 8192)}) {
    auto index = quarn::driver::index_bytes(big.bytes());
    ASSERT_TRUE(index) << index.error();
    std::vector<std::uint64_t> told;
    const quarn::PagesDone done{[](void* c, std::uint64_t, std::uint64_t length) noexcept {
                                  static_cast<std::vector<std::uint64_t>*>(c)->push_back(length);
                                },
                                &told};
    const LazySeries& sweep = index->sweeps.front();
    ASSERT_TRUE(quarn::driver::read_series(big.bytes(), index->body, sweep, 0, sweep.layout.points,
                                           Concurrency{.threads = 1}, &done));
    EXPECT_GE(told.size(), 1u);
    EXPECT_EQ(std::count(told.begin(), told.end(), 0u), 0);
    EXPECT_GE(std::accumulate(told.begin(), told.end(), std::uint64_t{0}) + 65536, big.size() - 4096);
  }
}

// An open file's walk reads heads far apart from the file rather than through
// its mapping; it reads the frames alike, and a head changed on disk fails
// the open as the parse fails.
TEST(LazyWalk, ReadsFarApartHeadsFromTheFile) {
  std::vector<std::uint8_t> bytes = windowed_file(15, 2, 200, true, 7, 2048).vec();  // 9.8 MB
  const std::uint8_t full[] = {0, 0, 0, 16, 8, 0, 8, 0};  // the head of a full frame, 48 KiB
  const auto head = static_cast<std::size_t>(
      std::find_end(bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(bytes.size() / 10),
                    std::begin(full), std::end(full)) - bytes.begin());
  const std::string path = ::testing::TempDir() + "quarn_lazy_heads.psf";
  for (bool corrupt : {false, true}) {
    bytes[head + 5] ^= corrupt;  // the window size of a frame near the end
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    Eager want = eager(std::as_bytes(std::span(bytes)));
    ASSERT_EQ(want.error.empty(), !corrupt);
    auto file = quarn::driver::LazyFile::open(path, 2);
    ASSERT_EQ(file.has_value(), !corrupt);
    if (corrupt) {
      EXPECT_EQ(file.error(), want.error);
      continue;
    }
    const LazySeries& last = file->index().traces.back();
    auto got = file->read(last, 0, last.layout.points);
    ASSERT_TRUE(got && got->samples().size() == want.series.back().series.samples().size());
    EXPECT_EQ(std::memcmp(got->samples().data(), want.series.back().series.samples().data(),
                          got->samples().size() * 8), 0);
  }
  // A file cut on disk after its open fails the next read as a file that
  // shrank; a missing file fails the open.
  bytes[head + 5] ^= 1;
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  auto file = quarn::driver::LazyFile::open(path, 2);
  ASSERT_TRUE(file) << file.error();
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(bytes.size() / 2)), 0);
  const LazySeries& last = file->index().traces.back();
  auto cut = file->read(last, 0, last.layout.points);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.failure_kind(), quarn::FailureKind::Io);
  EXPECT_NE(cut.error().find("the file shrank while it was being read"), std::string::npos);
  EXPECT_EQ(quarn::driver::LazyFile::open(path + ".missing").failure_kind(), quarn::FailureKind::Io);
  std::remove(path.c_str());
}

// ---------------------------------------------------------------------------
// What the eager read passes over, and the size of the index.

std::string describe(const quarn::PropertyList& list) {
  std::string out;
  for (const auto& p : list) {
    out += p.name + "=";
    if (auto* s = std::get_if<quarn::PropValue::String>(&p.value.v)) out += s->value;
    if (auto* i = std::get_if<quarn::PropValue::Int>(&p.value.v)) out += std::to_string(i->value);
    out += ";";
  }
  return out;
}

TEST(LazyDetails, PropertiesFollowTheirTypesAndGroupsAreNamed) {
  const ByteBuilder b = simple_file(1, Shape::Cycles, 3);
  auto index = quarn::driver::index_bytes(b.bytes());
  ASSERT_TRUE(index) << index.error();
  std::vector<std::string> got;
  for (const LazySeries* s : all_series(*index))
    got.push_back(s->name + "[" + s->details.group + "] " + describe(s->details.properties));
  EXPECT_EQ(got, (std::vector<std::string>{
                     "x[] units=V;key=type;key=own;",
                     "a[] units=V;key=type;",
                     "c[g] units=A;n=7;",
                     "n[g] units=V^2/Hz;",
                 }));
  // A struct's members keep their own lists, in member order.
  const LazySeries* n = all_series(*index).back();
  std::vector<std::string> members;
  for (const auto& list : n->details.member_properties) members.push_back(describe(list));
  EXPECT_EQ(members, (std::vector<std::string>{"", "units=W;", ""}));
}

TEST(LazyDetails, ValuesKeepTheirPropertiesAndGroups) {
  ByteBuilder b;
  b.u32(1280);
  b.close(b.open(ChunkId::Container));
  b.type_section(types);
  b.value_section([](ByteBuilder& v) {
    v.non_swept_body([](ByteBuilder& d) {
      d.decl(1, "vdd", 1).f64(1.5).prop_string("key", "own");
      d.group(2, "m1", 1).decl(3, "gm", 2).f64(1).f64(2).prop_int("n", 3);
    });
  });
  b.footer();
  auto index = quarn::driver::index_bytes(b.bytes());
  ASSERT_TRUE(index) << index.error();
  ASSERT_EQ(index->values.size(), 2u);
  ASSERT_EQ(index->value_details.size(), 2u);
  EXPECT_EQ(describe(index->value_details[0].properties), "units=V;key=type;key=own;");
  EXPECT_EQ(index->value_details[0].group, "");
  EXPECT_EQ(describe(index->value_details[1].properties), "units=A;n=3;");
  EXPECT_EQ(index->value_details[1].group, "m1");
  // Each value's type by the name it is declared under (a device kind).
  EXPECT_EQ(index->value_details[0].type_name, "float");
  EXPECT_EQ(index->value_details[1].type_name, "complex");
}

// One learnt cycle, or one run of frames, however long the body.
TEST(LazyIndexSize, RegularBodiesAreOneStride) {
  const ByteBuilder simple = simple_file(1, Shape::TwicePerCycle, 5000);
  auto s = quarn::driver::index_bytes(simple.bytes(), Concurrency{.threads = 3, .min_bytes_per_thread = 64});
  ASSERT_TRUE(s) << s.error();
  EXPECT_EQ(s->body.segments.size(), 1u);
  EXPECT_EQ(s->body.offsets.size(), 5u);
  EXPECT_EQ(s->traces[0].layout.points, 10000u);

  const ByteBuilder windowed = windowed_file(2, 3, 3000, true);
  auto w = quarn::driver::index_bytes(windowed.bytes());
  ASSERT_TRUE(w) << w.error();
  EXPECT_EQ(w->body.frames.size(), 2u);  // the full frames, and the last, shorter one
  EXPECT_EQ(w->traces[2].layout.points, 2999u * 7 + 4);
}

}  // namespace
