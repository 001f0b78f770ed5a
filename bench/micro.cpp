// Micro-benchmarks of the parse core's hot loops, on inputs built in memory:
//   - decoding one window of big-endian doubles (the loop every sample goes through),
//     with the samples at 0 and at 4 mod 8, against a plain memcpy of the same bytes;
//   - the Windowed body (frames of 2048 words, a sweep and 8 traces);
//   - the Simple body, walking interleaved records (complex AC, struct noise);
//   - one NonSwept struct value of 13 members, and a whole operating-point file;
//   - the whole parse of one small (~20 KB) transient file.
// Buffers that the readers fill are fresh in every iteration, as in read_psf, so
// page faults of new memory are part of the body benchmarks.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/parse.h"
#include "reader/data_declaration.h"
#include "reader/scalar.h"
#include "reader/sections.h"
#include "types/cursor.h"

namespace {

using quarn::Cursor;
using quarn::DataDecl;
using quarn::ParseState;
using quarn::Series;

// A big-endian byte writer for building sections in memory.
class Builder {
 public:
  std::vector<std::byte> bytes;

  std::size_t size() const { return bytes.size(); }
  Builder& u32(std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) bytes.push_back(static_cast<std::byte>(v >> s));
    return *this;
  }
  Builder& u16(std::uint16_t v) {
    bytes.push_back(static_cast<std::byte>(v >> 8));
    bytes.push_back(static_cast<std::byte>(v));
    return *this;
  }
  Builder& f64(double d) {
    std::uint64_t v;
    std::memcpy(&v, &d, 8);
    for (int s = 56; s >= 0; s -= 8) bytes.push_back(static_cast<std::byte>(v >> s));
    return *this;
  }
  Builder& str(const std::string& s) {
    u32(static_cast<std::uint32_t>(s.size()));
    for (char c : s) bytes.push_back(static_cast<std::byte>(c));
    while (bytes.size() % 4 != 0) bytes.push_back(std::byte{0});
    return *this;
  }
  Builder& zeros(std::size_t n) {
    bytes.insert(bytes.end(), n, std::byte{0});
    return *this;
  }
  void put_u32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<std::byte>(v >> (24 - 8 * i));
  }
  quarn::Bytes span() const { return {bytes.data(), bytes.size()}; }
};

constexpr std::uint32_t kDeclaration = 16, kPadding = 20, kContainer = 21, kSubContainer = 22;
constexpr std::uint32_t kIndex = 19, kStructEnd = 18;

std::size_t iterations(const benchmark::State& state) {
  return static_cast<std::size_t>(state.iterations());
}

// "prefix" followed by the number (built in steps: g++ 12 warns wrongly about
// `"literal" + std::to_string(n)`).
std::string numbered(const char* prefix, std::size_t n, const char* suffix = "") {
  std::string s = prefix;
  s += std::to_string(n);
  s += suffix;
  return s;
}

DataDecl real_decl(const std::string& name) { return DataDecl{name, Series{Series::Real{}}}; }

// ---- decoding one window ----------------------------------------------------

// The loop the readers run per window: load, byte-swap, store. `offset` places
// the samples at that offset mod 8 in memory.
void BM_DecodeWindow(benchmark::State& state) {
  const std::size_t n = 2048, offset = static_cast<std::size_t>(state.range(0));
  std::vector<std::byte> in(8 * n + 8);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::byte>(i * 37);
  std::vector<double> out(n, 1.0);
  const std::byte* p = in.data() + offset;
  for (auto _ : state) {
    for (std::size_t i = 0; i < n; ++i) out[i] = quarn::load_be_f64(p + 8 * i);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(iterations(state) * 8 * n));
}
BENCHMARK(BM_DecodeWindow)->Arg(0)->Arg(4)->ArgName("offset");

// The physical limit for the same bytes: a copy into memory already touched.
void BM_CopyWindow(benchmark::State& state) {
  const std::size_t n = 2048;
  std::vector<std::byte> in(8 * n, std::byte{1});
  std::vector<double> out(n, 1.0);
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), 8 * n);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(iterations(state) * 8 * n));
}
BENCHMARK(BM_CopyWindow);

// ---- the Windowed body --------------------------------------------------------

struct WindowedInput {
  Builder b;
  std::size_t start = 0, end = 0;
  std::size_t samples = 0;
};

// `frames` frames of a sweep and `traces` traces, windows of `window` words, a
// padding chunk after every 16 frames; the samples sit at `align` mod 8.
WindowedInput windowed_input(std::size_t frames, std::uint16_t window, std::size_t traces,
                             std::size_t align) {
  WindowedInput in;
  in.b.zeros(align == 4 ? 4 : 8);  // the body starts at 8 or 4; samples 8 bytes into a frame
  in.start = in.b.size();
  double t = 0;
  for (std::size_t f = 0; f < frames; ++f) {
    if (f != 0 && f % 16 == 0) in.b.u32(kPadding).u32(2040).zeros(2040);
    in.b.u32(kDeclaration).u16(window).u16(window);
    for (std::size_t k = 0; k <= traces; ++k) {
      if (k != 0) in.b.zeros(8);
      for (std::size_t i = 0; i < window; ++i) in.b.f64(k == 0 ? (t += 1e-10) : 0.5 * double(i));
    }
  }
  in.end = in.b.size();
  in.samples = frames * window * (traces + 1);
  return in;
}

ParseState windowed_state(std::size_t traces) {
  ParseState st;
  st.sweep_order.push_back(1);
  st.decls.emplace(1, real_decl("time"));
  for (std::uint32_t id = 2; id < 2 + traces; ++id) {
    st.trace_order.push_back(id);
    st.decls.emplace(id, real_decl(numbered("v", id)));
  }
  return st;
}

// Times `read` over the body [start, end) of `b`, each time into the fresh
// state `make` gives, and counts bytes and ns per sample.
template <class Make, class Read>
void time_body(benchmark::State& state, const Builder& b, std::size_t start, std::size_t end,
               std::size_t samples, Make make, Read read) {
  for (auto _ : state) {
    ParseState st = make();
    Cursor cur(b.span());
    cur.seek(start);
    auto ok = read(cur, end, st);
    if (!ok) state.SkipWithError(ok.error().c_str());
    benchmark::DoNotOptimize(st.decls.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(iterations(state) * (end - start)));
  state.counters["ns/sample"] = benchmark::Counter(
      static_cast<double>(iterations(state) * samples),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_WindowedBody(benchmark::State& state) {
  const auto frames = static_cast<std::size_t>(state.range(0));
  const auto align = static_cast<std::size_t>(state.range(1));
  WindowedInput in = windowed_input(frames, 2048, 8, align);
  time_body(state, in.b, in.start, in.end, in.samples, [] { return windowed_state(8); },
            [](Cursor& cur, std::uint64_t end, ParseState& st) {
              return quarn::read_windowed_body(cur, end, st);
            });
}
// 16 frames: ~2.4 MB of samples per call; 256 frames: ~38 MB (large buffers, mremap growth).
BENCHMARK(BM_WindowedBody)->Args({16, 0})->Args({16, 4})->Args({256, 0})->Args({256, 4})
    ->ArgNames({"frames", "align"})->Unit(benchmark::kMillisecond);

// ---- the Simple body --------------------------------------------------------

struct SimpleInput {
  Builder b;
  std::size_t start = 0, end = 0;
  std::size_t samples = 0;
};

// `points` points, each a sweep record and one record per trace of `doubles`
// floats (2: complex, 16: a struct of 16 members). With `irregular`, every
// other point has its first two traces the other way round, so the body is
// not one repeated cycle and takes the two-pass walk.
SimpleInput simple_input(std::size_t points, std::size_t traces, std::size_t doubles,
                         std::size_t align, bool irregular) {
  SimpleInput in;
  in.b.zeros(align == 4 ? 4 : 8);
  in.start = in.b.size();
  for (std::size_t p = 0; p < points; ++p) {
    in.b.u32(kDeclaration).u32(1).f64(double(p));
    for (std::uint32_t id = 2; id < 2 + traces; ++id) {
      std::uint32_t named = id;
      if (irregular && p % 2 == 1 && id < 4) named = id == 2 ? 3 : 2;
      in.b.u32(kDeclaration).u32(named);
      for (std::size_t d = 0; d < doubles; ++d) in.b.f64(double(p + d));
    }
  }
  in.end = in.b.size();
  in.samples = points * (1 + traces * doubles);
  return in;
}

ParseState simple_state(std::size_t traces, std::size_t doubles) {
  ParseState st;
  st.sweep_order.push_back(1);
  st.decls.emplace(1, real_decl("freq"));
  const quarn::StructMembers members = std::make_shared<const std::vector<quarn::StructMemberType>>(
      doubles, quarn::StructMemberType{"m", quarn::Datatype::Float64});
  for (std::uint32_t id = 2; id < 2 + traces; ++id) {
    st.trace_order.push_back(id);
    Series s = doubles == 2 ? Series{Series::Complex{}}
                            : Series{Series::Struct{members, quarn::SampleBuffer{}}};
    st.decls.emplace(id, DataDecl{numbered("t", id), std::move(s)});
  }
  return st;
}

void simple_body(benchmark::State& state, std::size_t traces, std::size_t doubles) {
  const auto points = static_cast<std::size_t>(state.range(0));
  const auto align = static_cast<std::size_t>(state.range(1));
  const bool irregular = state.range(2) != 0;
  SimpleInput in = simple_input(points, traces, doubles, align, irregular);
  time_body(state, in.b, in.start, in.end, in.samples,
            [&] { return simple_state(traces, doubles); },
            [](Cursor& cur, std::uint64_t end, ParseState& st) {
              return quarn::read_simple_body(cur, end, st);
            });
  state.counters["ns/record"] = benchmark::Counter(
      static_cast<double>(iterations(state) * points * (1 + traces)),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// AC: a real sweep and 8 complex traces, 208 bytes per point.
void BM_SimpleBodyComplex(benchmark::State& state) { simple_body(state, 8, 2); }
BENCHMARK(BM_SimpleBodyComplex)->Args({20000, 0, 0})->Args({20000, 4, 0})->Args({20000, 0, 1})
    ->ArgNames({"points", "align", "irregular"})->Unit(benchmark::kMillisecond);

// Noise: a real sweep and 4 struct traces of 16 members, 560 bytes per point.
void BM_SimpleBodyStruct(benchmark::State& state) { simple_body(state, 4, 16); }
BENCHMARK(BM_SimpleBodyStruct)->Args({8000, 0, 0})->Args({8000, 4, 0})->Args({8000, 0, 1})
    ->ArgNames({"points", "align", "irregular"})->Unit(benchmark::kMillisecond);

// ---- NonSwept values ----------------------------------------------------------

// The 13 members of a device's operating point: 12 floats and an Int8 region.
std::vector<quarn::StructMemberType> op_members() {
  std::vector<quarn::StructMemberType> m;
  for (const char* name : {"vgs", "vds", "vbs", "ids", "gm", "gds", "gmb"})
    m.push_back({name, quarn::Datatype::Float64});
  m.push_back({"region", quarn::Datatype::Int8});
  for (const char* name : {"vth", "vdsat", "cgs", "cgd", "cdb"})
    m.push_back({name, quarn::Datatype::Float64});
  return m;
}

void put_op_value(Builder& b, std::size_t i) {
  for (std::size_t m = 0; m < 13; ++m) {
    if (m == 7) {
      b.u32(static_cast<std::uint32_t>(i % 4) << 24);
    } else {
      b.f64(double(i) * 0.001 + double(m));
    }
  }
}

void BM_NonSweptStructValue(benchmark::State& state) {
  const std::size_t values = 1024;
  const quarn::StructMembers members =
      std::make_shared<const std::vector<quarn::StructMemberType>>(op_members());
  Builder b;
  for (std::size_t i = 0; i < values; ++i) put_op_value(b, i);
  for (auto _ : state) {
    Cursor cur(b.span());
    for (std::size_t i = 0; i < values; ++i) {
      auto v = quarn::read_struct_value(cur, members);
      if (!v) state.SkipWithError(v.error().c_str());
      benchmark::DoNotOptimize(v);
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(iterations(state) * values));
}
BENCHMARK(BM_NonSweptStructValue);

// Closes the VALUE container whose end word is at `value_end_at`, then the
// section's end word and the footer.
void end_file(Builder& b, std::size_t value_end_at) {
  b.put_u32(value_end_at, static_cast<std::uint32_t>(b.size() + 4));
  b.u32(15);
  for (char c : std::string("Clarissa")) b.bytes.push_back(static_cast<std::byte>(c));
  b.u32(0);
}

// Times the parse of the whole file `b`; `items` per parse.
void time_parse(benchmark::State& state, const Builder& b, std::int64_t items) {
  for (auto _ : state) {
    auto parsed = quarn::driver::parse(b.span());
    if (!parsed) state.SkipWithError(parsed.error().c_str());
    benchmark::DoNotOptimize(parsed);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(iterations(state)) * items);
  state.SetBytesProcessed(static_cast<std::int64_t>(iterations(state) * b.size()));
}

// A whole operating-point file: 20,000 floats and 5,000 struct values.
Builder dcop_file(std::size_t floats, std::size_t structs) {
  Builder b;
  b.u32(1280).u32(kContainer).u32(0);
  b.u32(33).str("analysis type").str("dc");
  b.put_u32(8, static_cast<std::uint32_t>(b.size() + 4));
  // TYPE: 1 = Float64, 4 = the device struct.
  b.u32(1).u32(kContainer);
  const std::size_t type_end_at = b.size();
  b.u32(0).u32(kSubContainer);
  const std::size_t type_sub_at = b.size();
  b.u32(0);
  b.u32(kDeclaration).u32(1).str("V").u32(0).u32(11);
  b.u32(kDeclaration).u32(4).str("mos").u32(0).u32(16);
  std::uint32_t member_id = 300;
  for (const auto& m : op_members())
    b.u32(kDeclaration).u32(member_id++).str(m.name).u32(0).u32(
        m.type == quarn::Datatype::Int8 ? 1 : 11);
  b.u32(kStructEnd);
  b.put_u32(type_sub_at, static_cast<std::uint32_t>(b.size()));
  b.u32(kIndex).u32(0);
  b.put_u32(type_end_at, static_cast<std::uint32_t>(b.size() + 4));
  // VALUE.
  b.u32(4).u32(kContainer);
  const std::size_t value_end_at = b.size();
  b.u32(0).u32(kSubContainer);
  const std::size_t value_sub_at = b.size();
  b.u32(0);
  for (std::size_t i = 0; i < floats; ++i)
    b.u32(kDeclaration).u32(static_cast<std::uint32_t>(1000 + i))
        .str(numbered("v(n", 100000 + i, ")")).u32(1).f64(double(i));
  for (std::size_t i = 0; i < structs; ++i) {
    b.u32(kDeclaration).u32(static_cast<std::uint32_t>(100000 + i))
        .str(numbered("M", 10000 + i)).u32(4);
    put_op_value(b, i);
  }
  b.put_u32(value_sub_at, static_cast<std::uint32_t>(b.size()));
  b.u32(kIndex).u32(static_cast<std::uint32_t>(8 * (floats + structs)));
  for (std::size_t i = 0; i < floats + structs; ++i) b.u32(static_cast<std::uint32_t>(i)).u32(0);
  end_file(b, value_end_at);
  return b;
}

void BM_ParseOperatingPoint(benchmark::State& state) {
  time_parse(state, dcop_file(20000, 5000), 25000);
}
BENCHMARK(BM_ParseOperatingPoint)->Unit(benchmark::kMillisecond);

// ---- one small file, whole --------------------------------------------------

// A ~20 KB transient like the files of a Monte-Carlo run: a sweep and 4 traces,
// windows of 256 words, one full frame and one of 200 points.
Builder small_file() {
  Builder b;
  b.u32(1024).u32(kContainer).u32(0);
  b.u32(33).str("analysis type").str("tran");
  b.u32(33).str("design").str("bench/top");
  b.u32(35).str("temperature").f64(27.0);
  b.u32(34).str("mc iteration").u32(17);
  b.put_u32(8, static_cast<std::uint32_t>(b.size() + 4));
  b.u32(1).u32(kContainer);
  const std::size_t type_end_at = b.size();
  b.u32(0).u32(kSubContainer);
  const std::size_t type_sub_at = b.size();
  b.u32(0);
  b.u32(kDeclaration).u32(1).str("time").u32(0).u32(11).u32(33).str("units").str("s");
  b.u32(kDeclaration).u32(2).str("V").u32(0).u32(11).u32(33).str("units").str("V");
  b.put_u32(type_sub_at, static_cast<std::uint32_t>(b.size()));
  b.u32(kIndex).u32(16).u32(1).u32(0).u32(2).u32(0);
  b.put_u32(type_end_at, static_cast<std::uint32_t>(b.size() + 4));
  b.u32(2).u32(kContainer);
  const std::size_t sweep_end_at = b.size();
  b.u32(0);
  b.u32(kDeclaration).u32(100).str("time").u32(1);
  b.put_u32(sweep_end_at, static_cast<std::uint32_t>(b.size() + 4));
  b.u32(3).u32(kContainer);
  const std::size_t trace_end_at = b.size();
  b.u32(0).u32(kSubContainer);
  const std::size_t trace_sub_at = b.size();
  b.u32(0);
  for (std::uint32_t id = 101; id <= 104; ++id)
    b.u32(kDeclaration).u32(id).str(numbered("net", id)).u32(2);
  b.put_u32(trace_sub_at, static_cast<std::uint32_t>(b.size()));
  b.u32(kIndex).u32(64);
  for (std::uint32_t id = 101; id <= 104; ++id) b.u32(id).u32(0).u32(0).u32(0);
  b.put_u32(trace_end_at, static_cast<std::uint32_t>(b.size() + 4));
  b.u32(4).u32(kContainer);
  const std::size_t value_end_at = b.size();
  b.u32(0);
  for (std::uint16_t n : {std::uint16_t{256}, std::uint16_t{200}}) {
    b.u32(kDeclaration).u16(256).u16(n);
    for (int k = 0; k < 5; ++k) {
      if (k != 0) b.zeros(8);
      for (int i = 0; i < 256; ++i) b.f64(i < n ? double(i) : 0.0);
    }
  }
  end_file(b, value_end_at);
  return b;
}

void BM_ParseSmallFile(benchmark::State& state) {
  time_parse(state, small_file(), 1);
}
BENCHMARK(BM_ParseSmallFile);

}  // namespace

BENCHMARK_MAIN();
