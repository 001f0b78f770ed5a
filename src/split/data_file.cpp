#include "split/data_file.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "split/fastlz.h"
#include "split/hex.h"

namespace quarn::split {
namespace {

// The generations seen; a new one is added here when a sample of it appears.
constexpr std::array<std::string_view, 3> kGenerations = {"0.1", "1.1", "1.4"};
constexpr std::string_view kGenerationList = "0.1, 1.1, 1.4";
constexpr std::string_view kFirstKey = "!ngpsf-";
constexpr std::uint64_t kNone = ~std::uint64_t{0};
constexpr std::size_t kMaxLine = 1024;
constexpr std::uint64_t kBlockHeader = 20;

// The keys of the text records seen; their payloads are skipped.
constexpr std::array<std::string_view, 6> kTextKeys = {
    "VersionIdent", "SubVersion", "size_t = 8", "size_t = 4", "db source version", "char(1)"};

std::uint32_t load_le32(const std::byte* p) noexcept {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | std::to_integer<std::uint32_t>(p[i]);
  return v;
}

std::uint64_t load_le64(const std::byte* p) noexcept {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | std::to_integer<std::uint64_t>(p[i]);
  return v;
}

std::string hex_of(std::uint64_t v) {
  std::string s;
  do {
    s.insert(s.begin(), "0123456789abcdef"[v & 15u]);
    v >>= 4;
  } while (v != 0);
  return s;
}

std::uint64_t round_up8(std::uint64_t v) noexcept { return (v + 7) & ~std::uint64_t{7}; }

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    const auto colon = line.find(':');
    fields.push_back(line.substr(0, colon));
    if (colon == std::string_view::npos) return fields;
    line.remove_prefix(colon + 1);
  }
}

// One block of byte planes, walked but not decoded: where its stored planes
// (mode 01) or its one stream (mode 11) lie.
struct BlockPlan {
  std::string part;               // message prefix: "<record>, x block" or "..., y block"
  bool one_stream = false;        // mode 11
  unsigned stored = 0;            // sub-blocks walked (all of them unless the walk failed)
  std::array<Bytes, 8> sub{};     // the stored bytes of each plane, or [0]: the stream
};

// Something to make of the bytes once the walk is done. Series 0 is the sweep,
// series 1 + i the trace of signal index i.
struct Job {
  enum class Kind { Block, Constant, Column, Copy };
  Job(Kind k, std::size_t s) : kind(k), series(s) {}
  Kind kind;
  std::size_t series;
  BlockPlan block;             // Block
  std::uint64_t bits = 0;      // Constant: the double's bit pattern
  Bytes column;                // Column: n little-endian doubles
  std::size_t source = 0;      // Copy: the series whose values it takes
};

// Decodes the planes of `plan` for n points; with `out`, rebuilds the doubles
// there. `scratch` holds 8 * n bytes.
Status decode_block(const BlockPlan& plan, std::uint64_t n, std::uint8_t* scratch, double* out) {
  std::array<const std::uint8_t*, 8> planes{};
  const std::size_t count = static_cast<std::size_t>(n);
  if (plan.one_stream) {
    if (plan.stored == 1) {
      auto* bytes = reinterpret_cast<std::byte*>(scratch);
      if (auto st = fastlz_decode(plan.sub[0], {bytes, 8 * count}); !st)
        return fail("{}, stream: {}", plan.part, st.error());
    }
    for (std::size_t k = 0; k < 8; ++k) planes[k] = scratch + k * count;
  } else {
    for (unsigned k = 0; k < plan.stored; ++k) {
      const Bytes stored = plan.sub[k];
      if (stored.size() == count) {
        planes[k] = reinterpret_cast<const std::uint8_t*>(stored.data());
        continue;
      }
      auto* bytes = reinterpret_cast<std::byte*>(scratch + k * count);
      if (auto st = fastlz_decode(stored, {bytes, count}); !st)
        return fail("{}, plane {}: {}", plan.part, k, st.error());
      planes[k] = scratch + k * count;
    }
  }
  if (out == nullptr) return {};
  for (std::size_t j = 0; j < count; ++j) {
    const std::uint64_t v =
        std::uint64_t{planes[0][j]} | std::uint64_t{planes[1][j]} << 8 |
        std::uint64_t{planes[2][j]} << 16 | std::uint64_t{planes[3][j]} << 24 |
        std::uint64_t{planes[4][j]} << 32 | std::uint64_t{planes[5][j]} << 40 |
        std::uint64_t{planes[6][j]} << 48 | std::uint64_t{planes[7][j]} << 56;
    out[j] = std::bit_cast<double>(v);
  }
  return {};
}

class Walk {
 public:
  Walk(Bytes data, const std::string& name, DataSuffix suffix, std::uint64_t traces)
      : data_(data), name_(name), suffix_(suffix), traces_(traces) {}

  // Walks every record. On a failure, `jobs` holds the work of the records
  // before it (and of the failing record's blocks up to the fault), which a
  // decoding walk would have met first.
  Status run();

  std::vector<Job> jobs;
  std::string generation;
  std::uint64_t points = 0;
  std::vector<std::uint64_t> record_at;

 private:
  std::uint8_t byte(std::uint64_t at) const noexcept {
    return std::to_integer<std::uint8_t>(data_[static_cast<std::size_t>(at)]);
  }
  // "<file>: record r at offset R ('line')", the line left out while unknown.
  std::string where() const {
    return line_known_ ? format("{}: record {} at offset {} ('{}')", name_, record_, at_, line_)
                       : format("{}: record {} at offset {}", name_, record_, at_);
  }
  Failure refuse(std::string_view what) const { return fail("{}: {}", where(), what); }
  template <class... A>
  Failure refuse(std::string_view tmpl, const A&... args) const {
    return refuse(std::string_view(format(tmpl, args...)));
  }
  Result<std::uint64_t> hex_field(std::string_view text, std::string_view what) const {
    if (auto v = parse_hex(text)) return *v;
    return refuse("bad hexadecimal {} '{}'", what, text);
  }

  Status frame(std::uint64_t& next);
  Status first_record(const std::vector<std::string_view>& fields);
  Status text_record(const std::vector<std::string_view>& fields);
  Status column_record(const std::vector<std::string_view>& fields);
  Status signal_record(const std::vector<std::string_view>& fields);
  // A block of n points at [at, at + length): walked, its job queued for `series`.
  Status block(std::uint64_t at, std::uint64_t length, std::uint64_t n, bool is_x,
               std::size_t series);
  // A reference field "B.L" as (start, length), checked to lie before the record.
  Result<std::pair<std::uint64_t, std::uint64_t>> reference(std::string_view field,
                                                            std::string_view what);

  Bytes data_;
  const std::string& name_;
  DataSuffix suffix_;
  std::uint64_t traces_;

  // The record being walked.
  std::uint64_t record_ = 0;
  std::uint64_t at_ = 0;
  std::uint64_t payload_ = 0;
  std::uint64_t length_ = 0;
  std::string_view line_;
  bool line_known_ = false;

  bool column_seen_ = false;
  std::uint64_t signals_ = 0;  // signal records so far
  std::optional<std::pair<std::uint64_t, std::uint64_t>> x_block_;  // (start, length)
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> y_blocks_;  // range → series
};

Status Walk::run() {
  const std::uint64_t size = data_.size();
  if (size == 0) return fail("{}: empty data file", name_);
  std::uint64_t pos = 0;
  while (pos < size) {
    at_ = pos;
    line_known_ = false;
    std::uint64_t next = 0;
    QUARN_TRY(frame(next));
    const std::vector<std::string_view> fields = split_fields(line_);
    const std::string_view key = fields[0];
    if (record_ == 0) {
      QUARN_TRY(first_record(fields));
    } else if (key == "3") {
      QUARN_TRY(signal_record(fields));
    } else if (key == "1") {
      QUARN_TRY(column_record(fields));
    } else if (std::find(kTextKeys.begin(), kTextKeys.end(), key) != kTextKeys.end()) {
      QUARN_TRY(text_record(fields));
    } else {
      return refuse("unknown record key '{}'", key);
    }
    if (record_ == 0 || (key != "3" && key != "1")) {
      next = round_up8(payload_ + length_);
      if (next > size) return refuse("record padding runs past the end of the file ({} bytes)", size);
      for (std::uint64_t i = payload_ + length_; i < next; ++i)
        if (byte(i) != 0) return refuse("non-zero record padding");
    }
    pos = next;
    ++record_;
  }
  if (generation == "0.1") {
    if (!column_seen_) return fail("{}: no column record", name_);
  } else {
    if (signals_ == 0) return fail("{}: no signal records", name_);
    if (signals_ < traces_)
      return fail("{}: no record for signal index {} (the main file declares {} traces)", name_,
                  signals_, traces_);
  }
  return {};
}

Status Walk::frame(std::uint64_t& next) {
  const std::uint64_t size = data_.size();
  if (byte(at_) != 0) return refuse("record does not start with a NUL byte");
  const std::uint64_t last = std::min(size - 1, at_ + kMaxLine);
  std::uint64_t lf = at_ + 1;
  while (lf <= last && byte(lf) != '\n') ++lf;
  if (lf > last) return refuse("no line feed within 1024 bytes");
  line_ = std::string_view(reinterpret_cast<const char*>(data_.data()) + at_ + 1,
                           static_cast<std::size_t>(lf - at_ - 1));
  for (char c : line_)
    if (c < 0x20 || c > 0x7e) return refuse("header line is not printable ASCII");
  line_known_ = true;
  if (lf + 1 >= size) return refuse("header padding runs past the end of the file ({} bytes)", size);
  if (byte(lf + 1) != 0) return refuse("header line not followed by a NUL byte");
  payload_ = round_up8(lf + 2);
  if (payload_ > size) return refuse("header padding runs past the end of the file ({} bytes)", size);
  for (std::uint64_t i = lf + 2; i < payload_; ++i)
    if (byte(i) != 0) return refuse("non-zero header padding");
  const std::vector<std::string_view> fields = split_fields(line_);
  if (fields.size() < 5) return refuse("fewer than 5 fields");
  auto length = hex_field(fields[4], "payload length");
  if (!length) return pass_up(length);
  length_ = *length;
  if (length_ > size - payload_)
    return refuse("payload of {} bytes runs past the end of the file ({} bytes)", length_, size);
  next = payload_ + length_;
  return {};
}

Status Walk::first_record(const std::vector<std::string_view>& fields) {
  const std::string_view key = fields[0];
  if (!key.starts_with(kFirstKey)) return refuse("first record key '{}' is not !ngpsf-<generation>", key);
  const std::string_view gen = key.substr(kFirstKey.size());
  if (std::find(kGenerations.begin(), kGenerations.end(), gen) == kGenerations.end())
    return refuse("generation {} not supported (seen: {})", gen, kGenerationList);
  const bool older = gen == "0.1";
  if (older != (suffix_ == DataSuffix::Dat))
    return refuse("generation {} does not belong in a {} file", gen,
                  suffix_ == DataSuffix::Dat ? ".dat" : ".psfxl");
  generation = std::string(gen);
  if (parse_hex(fields[1]) != 0 || parse_hex(fields[2]) != kNone || parse_hex(fields[3]) != 4 ||
      length_ != 0x20)
    return refuse("first record fields are not 0:ffffffffffffffff:4:20");
  if (fields.size() > 6 || (fields.size() == 6 && parse_hex(fields[5]) != 0))
    return refuse("unexpected extra fields in the first record");
  const std::byte* p = data_.data() + payload_;
  constexpr std::uint8_t kMark[8] = {8, 7, 6, 5, 4, 3, 2, 1};
  constexpr std::uint8_t kReversed[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  if (std::memcmp(p, kReversed, 8) == 0)
    return refuse("byte-order mark 01 02 .. 08: a big-endian writer (not seen; refused)");
  if (std::memcmp(p, kMark, 8) != 0) {
    std::string mark;
    for (int i = 0; i < 8; ++i) {
      if (i != 0) mark += ' ';
      mark += hex2(std::to_integer<unsigned>(p[i]));
    }
    return refuse("unknown byte-order mark {}", mark);
  }
  const std::uint64_t a = load_le64(p + 8), b = load_le64(p + 16), c = load_le64(p + 24);
  const std::uint64_t want_b = older ? 0 : 1, want_c = gen == "1.4" ? 4 : 1;
  if (a != 0 || b != want_b || c != want_c)
    return refuse("header words ({}, {}, {}) are not (0, {}, {}) for generation {}", a, b, c,
                  want_b, want_c, gen);
  return {};
}

Status Walk::text_record(const std::vector<std::string_view>& fields) {
  if (fields.size() != 5) return refuse("text record with {} fields (5 seen)", fields.size());
  if (parse_hex(fields[2]) != at_)
    return refuse("text record field 2 ({}) is not its own offset", fields[2]);
  auto one = hex_field(fields[1], "number");
  if (!one) return pass_up(one);
  auto three = hex_field(fields[3], "number");
  if (!three) return pass_up(three);
  return {};
}

Status Walk::column_record(const std::vector<std::string_view>& fields) {
  if (generation != "0.1") return refuse("a column record in a generation {} file (not seen)", generation);
  if (column_seen_) return refuse("a second column record (several column records: not seen)");
  if (fields.size() != 5) return refuse("column record with {} fields (5 seen)", fields.size());
  if (parse_hex(fields[1]) != 0 || parse_hex(fields[2]) != kNone)
    return refuse("column record fields 1 and 2 are not 0 and ffffffffffffffff");
  auto n = hex_field(fields[3], "point count");
  if (!n) return pass_up(n);
  if (*n == 0) return refuse("n = 0");
  // len = 8 n (N + 1), without overflow: len fits in the file.
  const std::uint64_t columns = traces_ + 1;  // at most the main file's size
  if (*n > length_ / 8 / columns || 8 * *n * columns != length_)
    return refuse("payload of {} bytes is not {} points x ({} traces + 1) x 8", length_, *n, traces_);
  column_seen_ = true;
  points = *n;
  record_at.assign(static_cast<std::size_t>(traces_), at_);
  const std::uint64_t run = 8 * *n;
  for (std::uint64_t k = 0; k < columns; ++k) {
    Job job(Job::Kind::Column, static_cast<std::size_t>(k));
    job.column = data_.subspan(static_cast<std::size_t>(payload_ + k * run), static_cast<std::size_t>(run));
    jobs.push_back(std::move(job));
  }
  return {};
}

Result<std::pair<std::uint64_t, std::uint64_t>> Walk::reference(std::string_view field,
                                                                 std::string_view what) {
  const auto dot = field.find('.');
  if (dot == std::string_view::npos || field.find('.', dot + 1) != std::string_view::npos)
    return refuse("bad reference '{}'", field);
  auto back = hex_field(field.substr(0, dot), "reference");
  if (!back) return pass_up(back);
  auto length = hex_field(field.substr(dot + 1), "reference");
  if (!length) return pass_up(length);
  if (*back < 1 || *back > at_ || *length > *back)
    return refuse("{} reference {} does not lie wholly before the record", what, field);
  return std::pair{at_ - *back, *length};
}

Status Walk::signal_record(const std::vector<std::string_view>& fields) {
  if (generation == "0.1") return refuse("a signal record in a generation 0.1 file (not seen)");
  if (fields.size() != 7 && fields.size() != 8)
    return refuse("signal record with {} fields", fields.size());
  auto index = hex_field(fields[1], "signal index");
  if (!index) return pass_up(index);
  if (parse_hex(fields[2]) != kNone) return refuse("field 2 is not ffffffffffffffff");
  auto n = hex_field(fields[3], "point count");
  if (!n) return pass_up(n);
  auto flags = hex_field(fields[5], "flags");
  if (!flags) return pass_up(flags);

  const std::uint64_t i = *index, k = signals_;
  if (i < k) return refuse("a second record for signal {} (several records per signal: not seen)", i);
  if (i > k) return refuse("signal index {} out of order (expected {})", i, k);
  if (i >= traces_) return refuse("signal index {} is not below the {} traces of the main file", i, traces_);
  if (*n == 0) return refuse("n = 0");
  const std::uint64_t f = *flags;
  if (f != 0x20 && f != 0x22 && f != 0xa0 && f != 0xa2 && f != 0xaa)
    return refuse("flags 0x{} not one of 20, 22, a0, a2, aa", hex_of(f));
  const bool y_block = (f & 0x02) != 0;
  if (fields.size() != (y_block ? 8u : 7u))
    return refuse("{} fields do not fit the flags 0x{}", fields.size(), hex_of(f));
  const std::size_t series = static_cast<std::size_t>(i) + 1;

  // The x block: by reference to the first record's, or its own.
  std::uint64_t x_length = 0;
  if ((f & 0x80) != 0) {
    auto ref = reference(fields[6], "x");
    if (!ref) return pass_up(ref);
    if (!x_block_) return refuse("x reference before any record carried an x block");
    if (*ref != *x_block_)
      return refuse("x reference to offset {} ({} bytes) is not the x block at offset {} ({} bytes)",
                    ref->first, ref->second, x_block_->first, x_block_->second);
    if (*n != points) return refuse("n = {} differs from the x block's n = {}", *n, points);
  } else {
    if (x_block_) return refuse("a second own x block (several records per signal / second time axis: not seen)");
    auto lx = hex_field(fields[6], "x length");
    if (!lx) return pass_up(lx);
    x_length = *lx;
    if (x_length > length_) return refuse("x length {} exceeds the payload length {}", x_length, length_);
    if (y_block) {
      auto ly = hex_field(fields[7], "y length");
      if (!ly) return pass_up(ly);
      if (*ly != length_ - x_length)
        return refuse("y length {} is not len - Lx = {}", *ly, length_ - x_length);
    } else if (length_ - x_length != 8) {
      return refuse("payload of {} bytes is not Lx + 8", length_);
    }
    if (*n > fastlz_max_output(x_length))
      return refuse("n = {} is more than an x block of {} bytes can hold", *n, x_length);
    points = *n;
    x_block_ = std::pair{payload_, x_length};
    QUARN_TRY(block(payload_, x_length, *n, true, 0));
  }

  record_at.push_back(at_);
  ++signals_;
  const std::uint64_t y_at = payload_ + x_length;
  if ((f & 0x08) != 0) {
    if (length_ != 0) return refuse("payload of {} bytes with flags aa (must be empty)", length_);
    auto ref = reference(fields[7], "y");
    if (!ref) return pass_up(ref);
    const auto found = y_blocks_.find(*ref);
    if (found == y_blocks_.end())
      return refuse("y reference to offset {} ({} bytes) is not the y block of an earlier record",
                    ref->first, ref->second);
    Job job(Job::Kind::Copy, series);
    job.source = found->second;
    jobs.push_back(std::move(job));
  } else if (y_block) {
    std::uint64_t y_length = length_ - x_length;
    if ((f & 0x80) != 0) {
      auto ly = hex_field(fields[7], "y length");
      if (!ly) return pass_up(ly);
      if (*ly != length_) return refuse("y length {} is not the payload length {}", *ly, length_);
      y_length = *ly;
    }
    y_blocks_.emplace(std::pair{y_at, y_length}, series);
    QUARN_TRY(block(y_at, y_length, *n, false, series));
  } else {
    if ((f & 0x80) != 0 && length_ != 8) return refuse("constant payload of {} bytes is not 8", length_);
    Job job(Job::Kind::Constant, series);
    job.bits = load_le64(data_.data() + y_at);
    jobs.push_back(std::move(job));
  }
  return {};
}

Status Walk::block(std::uint64_t at, std::uint64_t length, std::uint64_t n, bool is_x,
                   std::size_t series) {
  Job job(Job::Kind::Block, series);
  BlockPlan& plan = job.block;
  plan.part = format("{}, {}", where(), is_x ? "x block" : "y block");
  auto refuse_block = [&](std::string_view what) { return fail("{}: {}", plan.part, what); };
  if (length < kBlockHeader)
    return refuse_block(format("block of {} bytes is shorter than its 20-byte header", length));
  const std::byte* p = data_.data() + at;
  const unsigned b0 = std::to_integer<unsigned>(p[0]), b1 = std::to_integer<unsigned>(p[1]);
  if (b0 != 2 || b1 != 1)
    return refuse_block(format("block starts with {} {}, not 02 01", hex2(b0), hex2(b1)));
  const unsigned mode = std::to_integer<unsigned>(p[2]);
  if (mode != 0x01 && mode != 0x11)
    return refuse_block(format("block mode 0x{} is not 0x01 or 0x11", hex2(mode)));
  const unsigned element = std::to_integer<unsigned>(p[3]);
  if (element != 8) return refuse_block(format("element size {} is not 8", element));
  const std::uint64_t decoded_a = load_le32(p + 4), decoded_b = load_le32(p + 8);
  if (decoded_a != decoded_b || n > decoded_a / 8 || decoded_a != 8 * n)
    return refuse_block(format("decoded sizes {} and {} are not 8 x {}", decoded_a, decoded_b, n));
  const std::uint64_t stated = load_le32(p + 12);
  if (stated != length)
    return refuse_block(format("block size {} is not the length {} given in the header line", stated, length));
  const std::uint64_t header = load_le32(p + 16);
  if (header != kBlockHeader) return refuse_block(format("header size {} is not 20", header));

  // From here a fault in a sub-block still leaves the planes before it to be
  // decoded first, as a walk that decodes as it goes would.
  plan.one_stream = mode == 0x11;
  std::uint64_t pos = kBlockHeader;
  Status outcome;
  const unsigned count = plan.one_stream ? 1 : 8;
  for (unsigned k = 0; k < count; ++k) {
    const std::string sub = plan.one_stream ? std::string("stream") : format("plane {}", k);
    if (length - pos < 4) {
      outcome = refuse_block(format("{} length runs past the end of the block",
                                    plan.one_stream ? std::string("stream") : sub + ": sub-block"));
      break;
    }
    const std::uint64_t stored = load_le32(p + pos);
    pos += 4;
    if (stored > length - pos) {
      outcome = refuse_block(plan.one_stream
                                 ? format("stream of {} bytes runs past the end of the block", stored)
                                 : format("{}: sub-block of {} bytes runs past the end of the block", sub, stored));
      break;
    }
    const std::uint64_t wanted = plan.one_stream ? 8 * n : n;
    if (!plan.one_stream && stored > n) {
      outcome = refuse_block(format("{}: stored length {} is more than n = {}", sub, stored, n));
      break;
    }
    if (plan.one_stream && stored >= wanted) {
      outcome = refuse_block(format(
          "mode 0x11 stream of {} bytes is not shorter than 8 x n = {} (raw mode 0x11 not seen)",
          stored, wanted));
      break;
    }
    plan.sub[k] = data_.subspan(static_cast<std::size_t>(at + pos), static_cast<std::size_t>(stored));
    plan.stored = k + 1;
    pos += stored;
    // A stream that cannot produce its plane fails its decode before any
    // output: the walk stops here, so nothing is sized from such a count.
    if (stored != wanted && wanted > fastlz_max_output(stored)) {
      outcome = Failure{};
      break;
    }
  }
  if (outcome && pos != length)
    outcome = refuse_block(format("{} bytes left over after the sub-blocks", length - pos));
  jobs.push_back(std::move(job));
  return outcome;
}

// Runs one job into the series. Without series (a walk that failed), only
// blocks are run, to find their faults.
Status run_job(const Job& job, std::uint64_t n, std::vector<SampleBuffer>& series,
               std::unique_ptr<std::uint8_t[]>& scratch) {
  const std::size_t count = static_cast<std::size_t>(n);
  double* out = series.empty() ? nullptr : series[job.series].data();
  if (job.kind == Job::Kind::Block) {
    if (!scratch) {
      scratch.reset(new (std::nothrow) std::uint8_t[8 * count]);
      // LCOV_EXCL_BR_LINE: the size is bounded by the file's; no test runs out of memory
      if (!scratch) return fail("cannot allocate memory to decode {} points", n);
    }
    return decode_block(job.block, n, scratch.get(), out);
  }
  if (job.kind == Job::Kind::Constant) std::fill(out, out + count, std::bit_cast<double>(job.bits));
  if (job.kind == Job::Kind::Column)
    for (std::size_t j = 0; j < count; ++j)
      out[j] = std::bit_cast<double>(load_le64(job.column.data() + 8 * j));
  // A copy is made after every block is decoded.
  return {};
}

}  // namespace

Result<DecodedData> decode_data_file(Bytes data, const std::string& name, DataSuffix suffix,
                                     std::uint64_t traces, const Concurrency& concurrency) {
  Walk walk(data, name, suffix, traces);
  if (auto walked = walk.run(); !walked) {
    // The blocks before the fault are decoded first: their faults come earlier.
    std::vector<SampleBuffer> none;
    std::unique_ptr<std::uint8_t[]> scratch;
    for (const Job& job : walk.jobs)
      if (job.kind == Job::Kind::Block)
        QUARN_TRY(run_job(job, walk.points, none, scratch));
    return pass_up(walked);
  }

  const std::uint64_t n = walk.points;
  std::vector<SampleBuffer> series(static_cast<std::size_t>(traces) + 1);
  for (SampleBuffer& s : series) {
    // LCOV_EXCL_BR_LINE: n is bounded by the file's size; no test runs out of memory
    if (!s.reserve_more_exact(n))
      return fail("{}: cannot allocate memory for {} samples", name, n);
    s.extend(static_cast<std::size_t>(n));
  }

  const std::vector<Job>& jobs = walk.jobs;
  std::vector<Status> outcomes(jobs.size());
  std::atomic<std::size_t> next{0};
  auto worker = [&](std::size_t) {
    std::unique_ptr<std::uint8_t[]> scratch;
    for (std::size_t j; (j = next.fetch_add(1, std::memory_order_relaxed)) < jobs.size();)
      outcomes[j] = run_job(jobs[j], n, series, scratch);
  };
  const unsigned threads = concurrency.threads_for(data.size());
  const std::size_t helpers = std::min<std::size_t>(threads, jobs.size());
  if (helpers <= 1)
    worker(0);
  else
    run_parallel(helpers, concurrency.scope, worker);
  for (Status& outcome : outcomes)
    if (!outcome) return pass_up(outcome);
  for (const Job& job : jobs)
    if (job.kind == Job::Kind::Copy)
      std::memcpy(series[job.series].data(), series[job.source].data(),
                  static_cast<std::size_t>(n) * sizeof(double));

  DecodedData out;
  out.generation = std::move(walk.generation);
  out.points = n;
  out.sweep = std::move(series[0]);
  out.traces.reserve(static_cast<std::size_t>(traces));
  for (std::size_t i = 1; i < series.size(); ++i) out.traces.push_back(std::move(series[i]));
  out.record_at = std::move(walk.record_at);
  return out;
}

}  // namespace quarn::split
