// The fuzz target of the parse core: bytes in, records or one message out.
//
// The same function runs under libFuzzer (clang, -fsanitize=fuzzer) and under
// the replay main of replay_main.cpp, which the ordinary build compiles and
// the test run feeds with fuzz/corpus and fuzz/regressions.
//
// Beyond "no crash, no sanitizer report", every outcome is checked; a broken
// rule aborts, so the fuzzer keeps the input as a crash:
//  - a failure is one non-empty UTF-8 message, and an end-of-file message
//    names the real file length and an offset from which the wanted bytes
//    really do not fit;
//  - a success holds only well-formed UTF-8 names and strings, series whose
//    sample counts fit their kind (complex: pairs, struct: whole points of
//    as many doubles as fields, and at least one field), capacity >= size,
//    samples only in the layouts that carry them, and nothing that points
//    into the input: the input is parsed from a private copy that is freed
//    before the records are walked;
//  - the sweeps and traces are then taken out in declaration order as the
//    assembly does, and that fails exactly when a declaration id repeats;
//  - a second parse of the same bytes, its samples decoded by up to three
//    threads in runs as short as 16 bytes, gives the same outcome;
//  - the lazy reader's walk (given a reader of far-apart heads that fails now
//    and then) accepts the input exactly when the parse and the assembly do,
//    fails with the same message otherwise, and every series it reads, whole
//    and in a few stretches, is the parsed one bit for bit.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "driver/lazy_file.h"
#include "driver/parse.h"
#include "types/utf8.h"

namespace {

using quarn::driver::ParsedFile;

[[noreturn]] void violated(const char* rule, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_parse: invariant violated: %s%s%s\n", rule,
               detail.empty() ? "" : ": ", detail.c_str());
  std::abort();
}

void require(bool ok, const char* rule, const std::string& detail = {}) {
  if (!ok) violated(rule, detail);
}

// The address range of the input the records were parsed from. It is freed
// by the time the records are checked, so it is only compared, never read.
struct InputRange {
  std::uintptr_t begin;
  std::uintptr_t end;
  bool holds(const void* p) const noexcept {
    auto a = reinterpret_cast<std::uintptr_t>(p);
    return a >= begin && a < end;
  }
};

// A hash over everything a parse produced, in an order that does not depend
// on the hash map's iteration; reading every byte also lets AddressSanitizer
// see any record that still refers to the freed input.
class Digest {
 public:
  void bytes(const void* p, std::size_t n) noexcept {
    const auto* b = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) h_ = (h_ ^ b[i]) * 0x100000001b3ULL;
  }
  template <class T>
  void pod(const T& v) noexcept {
    bytes(&v, sizeof v);
  }
  void str(const std::string& s) noexcept {
    pod(s.size());
    bytes(s.data(), s.size());
  }
  std::uint64_t value() const noexcept { return h_; }

 private:
  std::uint64_t h_ = 0xcbf29ce484222325ULL;
};

void check_string(const std::string& s, const InputRange& input, const char* what) {
  require(!input.holds(s.data()), "a string refers to the input bytes", what);
  require(!quarn::utf8::validate(s).has_value(), "a string is not well-formed UTF-8", what);
}

void check_series(const quarn::Series& series, const InputRange& input, const std::string& name) {
  const quarn::SampleBuffer& samples = series.samples();
  require(samples.capacity() >= samples.size(), "series capacity below its size", name);
  require(samples.size() == 0 || samples.data() != nullptr, "series with samples but no buffer",
          name);
  require(samples.data() == nullptr || !input.holds(samples.data()),
          "a series refers to the input bytes", name);
  if (std::holds_alternative<quarn::Series::Complex>(series.v)) {
    require(samples.size() % 2 == 0, "complex series holds an odd number of doubles", name);
  } else if (const auto* s = std::get_if<quarn::Series::Struct>(&series.v)) {
    require(s->members != nullptr, "struct series without a member list", name);
    require(s->width() >= 1, "struct series without fields", name);
    require(samples.size() % s->width() == 0, "struct series holds a partial point", name);
    for (const auto& m : *s->members) check_string(m.name, input, "struct field name");
  }
}

void check_scalar(const quarn::ScalarValue& value, const InputRange& input, bool in_struct) {
  std::visit(
      [&](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, quarn::ScalarValue::Int>) {
          require(v.value >= 0 && v.value <= 0xFFFFFFFFLL, "integer value out of 0..2^32-1");
        } else if constexpr (std::is_same_v<V, quarn::ScalarValue::String>) {
          check_string(v.value, input, "string value");
        } else if constexpr (std::is_same_v<V, quarn::ScalarValue::Struct>) {
          require(!in_struct, "a struct value nested in a struct value");
          require(v.members != nullptr, "a struct value without a member list");
          require(!v.members->empty(), "a struct value without members");
          require(v.values.size() == v.members->size(),
                  "a struct value whose values differ in number from its members");
          for (const auto& m : *v.members) check_string(m.name, input, "struct member name");
          for (const auto& member_value : v.values) check_scalar(member_value, input, true);
        }
      },
      value.v);
}

void digest_scalar(Digest& d, const quarn::ScalarValue& value) {
  d.pod(value.v.index());
  std::visit(
      [&](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, quarn::ScalarValue::Int>) d.pod(v.value);
        if constexpr (std::is_same_v<V, quarn::ScalarValue::Float>) d.pod(v.value);
        if constexpr (std::is_same_v<V, quarn::ScalarValue::Complex>) {
          d.pod(v.re);
          d.pod(v.im);
        }
        if constexpr (std::is_same_v<V, quarn::ScalarValue::String>) d.str(v.value);
        if constexpr (std::is_same_v<V, quarn::ScalarValue::Struct>) {
          d.pod(v.values.size());
          for (std::size_t i = 0; i < v.values.size(); ++i) {
            d.str((*v.members)[i].name);
            digest_scalar(d, v.values[i]);
          }
        }
      },
      value.v);
}

void digest_series(Digest& d, const quarn::Series& series) {
  d.pod(series.v.index());
  if (const auto* s = std::get_if<quarn::Series::Struct>(&series.v)) {
    d.pod(s->width());
    for (const auto& m : *s->members) d.str(m.name);
  }
  const quarn::SampleBuffer& samples = series.samples();
  d.pod(samples.size());
  if (samples.size() != 0) d.bytes(samples.data(), samples.size() * sizeof(double));
}

std::uint64_t digest(const ParsedFile& f) {
  Digest d;
  d.pod(static_cast<std::uint32_t>(f.layout));
  d.pod(f.header.size());
  for (const auto& p : f.header) {
    d.str(p.name);
    d.pod(p.value.v.index());
    if (const auto* s = std::get_if<quarn::PropValue::String>(&p.value.v)) d.str(s->value);
    if (const auto* i = std::get_if<quarn::PropValue::Int>(&p.value.v)) d.pod(i->value);
    if (const auto* x = std::get_if<quarn::PropValue::Float>(&p.value.v)) d.pod(x->value);
  }
  for (const auto* order : {&f.state.sweep_order, &f.state.trace_order}) {
    d.pod(order->size());
    if (!order->empty()) d.bytes(order->data(), order->size() * sizeof(std::uint32_t));
  }
  d.pod(f.state.values.size());
  for (const auto& v : f.state.values) {
    d.str(v.name);
    digest_scalar(d, v.value);
  }
  std::set<std::uint32_t> keys;
  for (const auto& [id, decl] : f.state.decls) keys.insert(id);
  for (std::uint32_t id : keys) {
    const quarn::DataDecl& decl = f.state.decls.at(id);
    d.pod(id);
    d.str(decl.name);
    digest_series(d, decl.series);
  }
  return d.value();
}

void check_success(ParsedFile& f, const InputRange& input) {
  using quarn::ValueSectionType;
  const ValueSectionType layout = f.layout;
  require(layout == ValueSectionType::Empty || layout == ValueSectionType::Simple ||
              layout == ValueSectionType::Windowed || layout == ValueSectionType::NonSwept,
          "unknown layout");
  for (const auto& p : f.header) {
    check_string(p.name, input, "header property name");
    if (const auto* s = std::get_if<quarn::PropValue::String>(&p.value.v))
      check_string(s->value, input, "header property value");
  }

  quarn::ParseState& state = f.state;

  // Every declared id is in one of the order lists and every listed id is declared.
  std::unordered_set<std::uint32_t> listed(state.sweep_order.begin(), state.sweep_order.end());
  listed.insert(state.trace_order.begin(), state.trace_order.end());
  require(listed.size() == state.decls.size(), "declaration table and order lists disagree");
  for (std::uint32_t id : listed)
    require(state.decls.contains(id), "a listed id has no declaration", std::to_string(id));

  bool any_samples = false;
  std::vector<std::size_t> sizes;
  for (const auto& [id, decl] : state.decls) {
    check_string(decl.name, input, "declaration name");
    check_series(decl.series, input, decl.name);
    const quarn::SampleBuffer& samples = decl.series.samples();
    any_samples = any_samples || samples.size() != 0;
    sizes.push_back(samples.size());
    // The Simple body reserves each series once at its exact final size.
    if (layout == ValueSectionType::Simple)
      require(samples.capacity() == samples.size(), "Simple body left spare capacity", decl.name);
    if (layout == ValueSectionType::Windowed && samples.size() != 0)
      require(std::holds_alternative<quarn::Series::Real>(decl.series.v),
              "Windowed body filled a series that is not real", decl.name);
  }
  for (const auto& v : state.values) {
    check_string(v.name, input, "value name");
    check_scalar(v.value, input, false);
  }

  // Only the swept bodies append samples, only the non-swept one values.
  if (layout == ValueSectionType::Empty || layout == ValueSectionType::NonSwept)
    require(!any_samples, "samples in a layout without swept bodies");
  if (layout != ValueSectionType::NonSwept)
    require(state.values.empty(), "non-swept values in a swept or empty layout");

  // The assembly's order: sweeps first, then traces. It fails exactly when an
  // id repeats, and at the first repeated id; otherwise it hands out every
  // declaration once, by name and with its samples, and empties the table.
  std::vector<std::uint32_t> all = state.sweep_order;
  all.insert(all.end(), state.trace_order.begin(), state.trace_order.end());
  std::unordered_set<std::uint32_t> seen;
  std::size_t first_repeat = all.size();
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (!seen.insert(all[i]).second) {
      first_repeat = i;
      break;
    }
  }
  // A windowed frame adds the same number of points to the sweep and to every trace.
  if (layout == ValueSectionType::Windowed && first_repeat == all.size())
    for (std::size_t s : sizes) require(s == sizes.front(), "windowed series of unequal length");

  std::vector<std::pair<std::string, std::size_t>> expected;
  for (std::uint32_t id : all) {
    const quarn::DataDecl& decl = state.decls.at(id);
    expected.emplace_back(decl.name, decl.series.samples().size());
  }
  auto sweep_order = std::exchange(state.sweep_order, {});
  auto trace_order = std::exchange(state.trace_order, {});
  auto sweeps = state.take_order(sweep_order);
  const bool repeat_in_sweeps = first_repeat < sweep_order.size();
  if (first_repeat == all.size() || !repeat_in_sweeps)
    require(sweeps.has_value(), "take_order failed on the sweeps without a repeated id");
  if (!sweeps) {
    require(repeat_in_sweeps, "take_order failed on the sweeps without a repeated id");
    require(sweeps.error() == quarn::format("internal: missing declaration {} during assembly",
                                            all[first_repeat]),
            "take_order names another id", sweeps.error());
    return;
  }
  auto traces = state.take_order(trace_order);
  if (first_repeat != all.size()) {
    require(!traces.has_value(), "take_order accepted a repeated declaration id");
    require(traces.error() == quarn::format("internal: missing declaration {} during assembly",
                                            all[first_repeat]),
            "take_order names another id", traces.error());
    return;
  }
  require(traces.has_value(), "take_order failed on the traces without a repeated id");
  require(sweeps->size() == sweep_order.size() && traces->size() == trace_order.size(),
          "take_order handed out a wrong number of series");
  require(state.decls.empty(), "declarations left after taking every id");
  std::size_t i = 0;
  for (const auto* taken : {&*sweeps, &*traces}) {
    for (const quarn::NamedSeries& s : *taken) {
      require(s.name == expected[i].first, "take_order handed out another declaration", s.name);
      require(s.series.samples().size() == expected[i].second,
              "take_order changed a series' samples", s.name);
      ++i;
    }
  }
}

// Reads "<prefix><number>" at the start of `s`, advancing past it.
bool read_number(std::string_view& s, std::string_view prefix, std::uint64_t& out) {
  if (s.substr(0, prefix.size()) != prefix) return false;
  s.remove_prefix(prefix.size());
  std::size_t n = 0;
  out = 0;
  while (n < s.size() && s[n] >= '0' && s[n] <= '9') {
    out = out * 10 + static_cast<std::uint64_t>(s[n] - '0');
    ++n;
  }
  s.remove_prefix(n);
  return n > 0;
}

// The messages whose numbers come from the cursor are checked against the
// input: the cursor never passes the end, and an end-of-file failure is real.
void check_failure(const std::string& message, std::uint64_t size) {
  require(!message.empty(), "failure without a message");
  require(!quarn::utf8::validate(message).has_value(), "failure message is not UTF-8", message);
  for (std::string_view kind : {"need ", "skip "}) {
    std::string_view s = message;
    std::uint64_t n = 0, offset = 0, len = 0;
    if (!read_number(s, std::string("unexpected end of file: ").append(kind), n)) continue;
    require(read_number(s, " bytes at offset ", offset) && read_number(s, " (len ", len) &&
                s == ")",
            "malformed end-of-file message", message);
    require(len == size, "end-of-file message names another length", message);
    require(offset <= size, "end-of-file message names an offset past the end", message);
    require(n > size - offset, "end-of-file failure for bytes that are there", message);
  }
  // "expected chunk Declaration (16) at offset 48, got 21" and the data
  // declaration's "expected DECLARATION (16) or GROUP_DECLARATION (17) at ...":
  // the word was read, so it lies inside the input.
  if (message.starts_with("expected chunk ") || message.starts_with("expected DECLARATION ")) {
    auto at = message.find(") at offset ");
    std::string_view s = std::string_view(message).substr(at == std::string::npos ? 0 : at + 1);
    std::uint64_t offset = 0;
    require(at != std::string::npos && read_number(s, " at offset ", offset),
            "malformed expected-chunk message", message);
    require(offset + 4 <= size, "expected-chunk message names a word past the end", message);
  }
  for (std::string_view section : {"HEADER", "TYPE", "SWEEP", "TRACE", "VALUE"}) {
    std::string_view s = message;
    if (!s.starts_with(section)) continue;
    s.remove_prefix(section.size());
    std::uint64_t pos = 0, end = 0;
    if (!read_number(s, " container end mismatch: at offset ", pos)) continue;
    require(read_number(s, " but expected ", end) && s.empty(), "malformed container end message",
            message);
    require(pos <= size, "the cursor passed the end of the input", message);
    require(pos != end, "container end mismatch at the container end", message);
  }
  if (message.starts_with("invalid UTF-8 in string at offset ")) {
    std::string_view s = message;
    std::uint64_t offset = 0;
    require(read_number(s, "invalid UTF-8 in string at offset ", offset) && offset <= size,
            "UTF-8 message names an offset past the end", message);
  }
}

bool same_value(const quarn::PropValue& a, const quarn::PropValue& b) {
  using V = quarn::PropValue;
  if (a.v.index() != b.v.index()) return false;
  if (const auto* s = std::get_if<V::String>(&a.v)) return s->value == std::get<V::String>(b.v).value;
  if (const auto* i = std::get_if<V::Int>(&a.v)) return i->value == std::get<V::Int>(b.v).value;
  return std::bit_cast<std::uint64_t>(std::get<V::Float>(a.v).value) ==
         std::bit_cast<std::uint64_t>(std::get<V::Float>(b.v).value);
}

// The HEADER read from the file's first bytes and its footer alone is the one
// the whole file gives, wherever those bytes settle it.
void check_header_from_ends(quarn::Bytes data) {
  for (std::size_t head : {std::size_t{12}, std::size_t{64}, data.size() / 2, std::size_t{4096}}) {
    if (data.size() <= head + 12) continue;
    for (bool footer : {true, false}) {
      auto part = quarn::driver::header_from_ends(data.first(head), data.last(12), footer);
      if (!part) continue;
      auto whole = quarn::driver::parse_header(data, footer);
      require(whole.has_value(), "the HEADER read from the ends passes where the file fails",
              whole ? "" : whole.error());
      require(part->layout == whole->layout && part->header.size() == whole->header.size(),
              "the HEADER read from the ends differs");
      for (std::size_t i = 0; i < part->header.size(); ++i)
        require(part->header[i].name == whole->header[i].name &&
                    same_value(part->header[i].value, whole->header[i].value),
                "the HEADER read from the ends differs", part->header[i].name);
    }
  }
}

// The lazy walk and reads of `data` against its eager parse and assembly.
void check_lazy(quarn::Bytes data) {
  auto parsed = quarn::driver::parse(data);
  std::vector<quarn::NamedSeries> want;
  std::string error;
  if (!parsed) {
    error = parsed.error();
  } else {
    auto sweeps = parsed->state.take_order(parsed->state.sweep_order);
    if (!sweeps) {
      error = sweeps.error();
    } else if (auto traces = parsed->state.take_order(parsed->state.trace_order); !traces) {
      error = traces.error();
    } else {
      want = std::move(*sweeps);
      for (auto& t : *traces) want.push_back(std::move(t));
    }
  }
  const quarn::Concurrency split{.threads = 3, .min_bytes_per_thread = 16};
  // The walk may read heads as from a file; every seventh read fails, as a
  // read of a file cut meanwhile would, and the walk must not notice.
  struct Source {
    quarn::Bytes data;
    std::atomic<unsigned> reads{0};
    static bool read(void* self, std::uint64_t pos, std::byte* out, std::size_t n) noexcept {
      auto& s = *static_cast<Source*>(self);
      if (++s.reads % 7 == 0 || pos > s.data.size() || n > s.data.size() - pos) return false;
      std::memcpy(out, s.data.data() + pos, n);
      return true;
    }
  } source{data};
  const quarn::ReadAt read_at{&Source::read, &source, 64};  // heads nearer go through the bytes
  auto index = quarn::driver::index_bytes(data, split, nullptr, &read_at);
  require(index.has_value() == error.empty(), "the lazy walk and the parse disagree",
          index ? error : index.error());
  if (!index) {
    require(index.error() == error, "the lazy walk fails differently", index.error());
    return;
  }
  std::vector<const quarn::driver::LazySeries*> lazy;
  for (const auto& s : index->sweeps) lazy.push_back(&s);
  for (const auto& s : index->traces) lazy.push_back(&s);
  require(lazy.size() == want.size(), "the lazy walk has another number of series");
  for (std::size_t i = 0; i < lazy.size(); ++i) {
    const quarn::Series& series = want[i].series;
    const std::uint64_t n = series.points(), k = series.point_doubles();
    require(lazy[i]->name == want[i].name && lazy[i]->layout.points == n,
            "a lazy series differs in name or length", want[i].name);
    const std::uint64_t cuts[][2] = {{0, n}, {n / 3, n - n / 4}, {n / 2, n / 2 + (n > 0)}, {n, n}};
    for (const auto& [start, stop] : cuts) {
      auto got = quarn::driver::read_series(data, index->body, *lazy[i], start, stop, split);
      require(got.has_value(), "a lazy read failed", got ? "" : got.error());
      const std::span<const double> expected(series.samples().data() + start * k,
                                             (stop - start) * k);
      const std::span<const double> read(got->samples().data(), got->samples().size());
      require(std::ranges::equal(read, expected, [](double a, double b) {
                return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
              }),
              "a lazy read differs from the parsed series", want[i].name);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Parse a private copy and free it before anything of the result is read.
  std::unique_ptr<std::byte[]> copy(new std::byte[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(copy.get(), data, size);
  const InputRange input{reinterpret_cast<std::uintptr_t>(copy.get()),
                         reinterpret_cast<std::uintptr_t>(copy.get()) + size};
  auto parsed = quarn::driver::parse(quarn::Bytes(copy.get(), size));
  copy.reset();
  check_header_from_ends(std::as_bytes(std::span(data, size)));
  check_lazy(std::as_bytes(std::span(data, size)));

  // The same bytes parse to the same outcome, however the decoding is split.
  auto again = quarn::driver::parse(std::as_bytes(std::span(data, size)),
                                    quarn::Concurrency{.threads = 3, .min_bytes_per_thread = 16});
  require(parsed.has_value() == again.has_value(), "two parses of one input disagree");
  if (!parsed) {
    require(parsed.error() == again.error(), "two parses fail differently", parsed.error());
    check_failure(parsed.error(), size);
    return 0;
  }
  require(digest(*parsed) == digest(*again), "two parses give different records");
  check_success(*parsed, input);
  return 0;
}
