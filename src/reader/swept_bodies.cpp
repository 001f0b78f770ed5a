// The two VALUE bodies that carry samples: `Simple` records and `Windowed` frames.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "reader/parallel.h"
#include "reader/sections.h"

namespace quarn {
namespace {

Failure out_of_memory(std::uint64_t doubles, const std::string& name) {
  return fail("cannot allocate memory for {} samples of '{}'", doubles, name);
}

// Reads `count` big-endian doubles at the cursor into room already made in
// `out`. When the file ends first, fails where the first missing float starts.
Status decode_floats(Cursor& cur, std::uint64_t count, double* out) {
  if (!cur.has(count * 8)) {
    const std::uint64_t whole = cur.remaining() / 8;
    QUARN_TRY(cur.skip(whole * 8));
    return cur.need_failure(8);
  }
  load_be_f64s(cur.here(), count, out);
  return cur.skip(count * 8);
}

Status expect_record_word(Cursor& cur) {
  auto word = cur.read_u32();
  if (!word) return pass_up(word);
  if (*word != number(ChunkId::Declaration))
    return unexpected_chunk(ChunkId::Declaration, cur.pos() - 4, *word);
  return {};
}

// The declarations of one `Simple` body, by id, in a flat open-addressed
// table: the records name them once each, millions of times. Built once per
// body; the declaration table does not change while the body is read.
//
// Records usually come in the same order point after point (the sweep, then
// each trace), so each slot remembers which slot followed it last time; a
// lookup tries that guess before it hashes.
class RecordIndex {
 public:
  struct Slot {
    std::uint32_t id = 0;
    DataDecl* decl = nullptr;      // null: an empty slot
    SampleBuffer* samples = nullptr;
    std::uint64_t doubles = 0;     // doubles per point
    std::uint64_t records = 0;     // records counted by the first pass
    Slot* next = nullptr;          // the slot named right after this one, last time
  };

  explicit RecordIndex(DeclTable& decls) {
    std::size_t cap = 8;
    while (cap < decls.size() * 2) cap *= 2;
    slots_.resize(cap);
    mask_ = cap - 1;
    for (auto& [id, decl] : decls) {
      std::size_t i = hash(id);
      while (slots_[i].decl != nullptr) i = (i + 1) & mask_;
      slots_[i] = Slot{id, &decl, &decl.series.samples(), decl.series.point_doubles(), 0, nullptr};
    }
  }

  // The slot of `id` in a walk whose previous record was `prev`'s (or null).
  Slot* find_after(Slot* prev, std::uint32_t id) noexcept {
    if (prev != nullptr && prev->next != nullptr && prev->next->id == id) return prev->next;
    Slot* found = find(id);
    if (prev != nullptr) prev->next = found;
    return found;
  }

  Slot* find(std::uint32_t id) noexcept {
    for (std::size_t i = hash(id);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.decl == nullptr) return nullptr;
      if (s.id == id) return &s;
    }
  }

  std::vector<Slot>& slots() noexcept { return slots_; }

 private:
  // Fibonacci hashing: the top bits of the product spread consecutive ids.
  std::size_t hash(std::uint32_t id) const noexcept {
    return static_cast<std::size_t>((id * 0x9E3779B97F4A7C15ull) >> 40) & mask_;
  }
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

// One record at `cur`, read step by step as the format states it: the path
// that produces the exact failure for a record the fast walk refused.
Result<RecordIndex::Slot*> read_record_head(Cursor& cur, RecordIndex& index) {
  QUARN_TRY(expect_record_word(cur));
  auto id = cur.read_u32();
  if (!id) return pass_up(id);
  RecordIndex::Slot* slot = index.find(*id);
  if (slot == nullptr) return fail("value record references unknown declaration {}", *id);
  return slot;
}

// The record at `pos` if it is whole and well formed (chunk word, a known id,
// its point inside the file), else null. `prev` is the previous record's slot.
inline RecordIndex::Slot* fast_record(const std::byte* base, std::uint64_t size,
                                      std::uint64_t pos, RecordIndex& index,
                                      RecordIndex::Slot* prev) noexcept {
  if (size - pos < 8 || load_be32(base + pos) != number(ChunkId::Declaration)) return nullptr;
  RecordIndex::Slot* slot = index.find_after(prev, load_be32(base + pos + 4));
  if (slot == nullptr || slot->doubles * 8 > size - pos - 8) return nullptr;
  return slot;
}

// The first and one-past-last of `count` items in part `part` of `parts`.
inline std::uint64_t part_begin(std::uint64_t count, unsigned part, unsigned parts) noexcept {
  return count / parts * part + std::min<std::uint64_t>(part, count % parts);
}

// Series made at their final size before any sample is written, so that
// threads can fill disjoint parts of them. `undo` gives every series back the
// size (and, when it had none, the memory) it had before.
class Prepared {
 public:
  // Room for `extra` more doubles in `samples`, counted as written; null when
  // memory cannot be had.
  double* add(SampleBuffer& samples, std::uint64_t extra) {
    entries_.push_back({&samples, samples.size()});
    if (!samples.reserve_more_exact(extra)) return nullptr;
    return samples.extend(extra);
  }
  void undo() noexcept {
    for (auto [samples, size] : entries_) {
      // LCOV_EXCL_BR_LINE: a body is read once, into series that hold nothing yet
      if (size == 0)
        *samples = SampleBuffer();
      else
        samples->truncate(size);
    }
    entries_.clear();
  }

 private:
  struct Entry {
    SampleBuffer* samples;
    std::size_t size;
  };
  std::vector<Entry> entries_;
};

// Most files record every point the same way (the sweep, then each trace, in
// one order), so a `Simple` body is one cycle of records repeated to its end.
// Such a body is read in a single pass: the cycle is learnt from the first
// records, every series is made at its final size, and each thread checks and
// decodes a range of cycles. A body that strays from its cycle anywhere is
// handed back untouched to the two-pass walk, which reports what is wrong.
// A cycle (the records of one point) may hold this many records, or a few per
// declaration where there are more declarations: its description then stays
// small next to the declarations themselves.
constexpr std::size_t kMaxCycleRecords = std::size_t{1} << 16;

struct CycleStep {
  std::uint64_t head;     // the record's chunk word and id, as the file has them
  std::uint64_t offset;   // of the record in its cycle
  std::uint64_t doubles;  // in its point
  std::uint64_t stride;   // doubles its series gains per cycle
  double* out;            // where its point of cycle 0 goes
};

// Checks and decodes cycles [from, to); the first cycle that does not match
// the steps, or `to` when all do.
std::uint64_t decode_cycles(const std::byte* body, std::uint64_t cycle, std::uint64_t from,
                            std::uint64_t to, const std::vector<CycleStep>& steps) noexcept {
  for (std::uint64_t m = from; m < to; ++m) {
    const std::byte* at = body + m * cycle;
    for (const CycleStep& step : steps) {
      const std::byte* p = at + step.offset;
      std::uint64_t head;
      std::memcpy(&head, p, 8);
      if (head != step.head) return m;
      load_be_f64s(p + 8, step.doubles, step.out + m * step.stride);
    }
  }
  return to;
}

// Reads the body as repeated cycles if it is one; false (and nothing changed)
// when it is not.
bool read_simple_cycles(Cursor& cur, std::uint64_t end, RecordIndex& index,
                        const Concurrency& concurrency) {
  const std::byte* base = cur.data().data();
  const std::uint64_t size = cur.size();
  const std::uint64_t start = cur.pos();
  if (end > size || end <= start) return false;

  // The records up to the first that names the same declaration as the first.
  std::vector<RecordIndex::Slot*> records;
  std::vector<std::uint64_t> offsets;
  const std::size_t most = std::max(kMaxCycleRecords, 2 * index.slots().size());
  std::uint64_t pos = start;
  for (RecordIndex::Slot* prev = nullptr; pos < end;) {
    RecordIndex::Slot* slot = fast_record(base, size, pos, index, prev);
    if (slot == nullptr) return false;
    if (!records.empty() && slot == records.front()) break;
    if (records.size() == most) return false;
    records.push_back(slot);
    offsets.push_back(pos - start);
    pos += 8 + 8 * slot->doubles;
    prev = slot;
  }
  const std::uint64_t cycle = pos - start;
  if ((end - start) % cycle != 0) return false;
  const std::uint64_t cycles = (end - start) / cycle;

  // Each series gets its records' points of every cycle; none of these sizes
  // can overflow, as they add up to less than the body's bytes.
  std::vector<RecordIndex::Slot>& slots = index.slots();
  std::vector<std::uint64_t> per_cycle(slots.size());
  std::vector<CycleStep> steps(records.size());
  for (std::size_t j = 0; j < records.size(); ++j) {
    const auto at = static_cast<std::size_t>(records[j] - slots.data());
    steps[j].offset = offsets[j];
    steps[j].doubles = records[j]->doubles;
    steps[j].stride = per_cycle[at]++;  // the record's rank among its series' records, for now
    std::memcpy(&steps[j].head, base + start + offsets[j], 8);
  }
  Prepared prepared;
  std::vector<double*> outs(slots.size());
  for (std::size_t at = 0; at < slots.size(); ++at) {
    if (per_cycle[at] == 0) continue;
    outs[at] = prepared.add(*slots[at].samples, cycles * per_cycle[at] * slots[at].doubles);
    if (outs[at] == nullptr) {
      prepared.undo();
      return false;
    }
  }
  for (std::size_t j = 0; j < records.size(); ++j) {
    const auto at = static_cast<std::size_t>(records[j] - slots.data());
    steps[j].out = outs[at] + steps[j].stride * steps[j].doubles;
    steps[j].stride = per_cycle[at] * steps[j].doubles;
  }

  const unsigned parts = concurrency.threads_for(end - start);
  std::vector<unsigned char> ok(parts, 0);
  run_parallel(parts, concurrency.scope, [&](std::size_t part) {
    const auto p = static_cast<unsigned>(part);
    const std::uint64_t from = part_begin(cycles, p, parts);
    const std::uint64_t to = part_begin(cycles, p + 1, parts);
    ok[part] = decode_cycles(base + start, cycle, from, to, steps) == to;
  });
  if (std::find(ok.begin(), ok.end(), 0) != ok.end()) {
    prepared.undo();
    return false;
  }
  cur.seek(end);
  return true;
}

// The exact failure of the record at `pos`, which the fast check refused:
// the step-by-step read of the first pass.
Status record_failure(Cursor& cur, std::uint64_t pos, RecordIndex& index) {
  cur.seek(pos);
  auto head = read_record_head(cur, index);
  if (!head) return pass_up(head);
  QUARN_TRY(cur.skip(8 * (*head)->doubles));
  return fail("internal: record at offset {} refused and then read", pos);
}

// The head of record `offset` of a learnt cycle, as the file has it.
struct CycleHead {
  std::uint64_t offset;
  std::uint64_t head;
};

// The first of cycles [from, to) after `pos` whose heads differ from the
// learnt ones, or `to`.
std::uint64_t first_stray_cycle(const std::byte* at, std::uint64_t cycle, std::uint64_t from,
                                std::uint64_t to, const std::vector<CycleHead>& heads) noexcept {
  for (std::uint64_t m = from; m < to; ++m) {
    for (const CycleHead& h : heads) {
      std::uint64_t head;
      std::memcpy(&head, at + m * cycle + h.offset, 8);
      if (head != h.head) return m;
    }
  }
  return to;
}

// How many cycles from `at` (the first one known to match, at most `most`)
// repeat the learnt heads. Checked in runs of doubling length, each on
// several threads when it is long, so a segment costs at most twice its own
// length however soon it ends.
std::uint64_t matching_cycles(const std::byte* at, std::uint64_t cycle, std::uint64_t most,
                              const std::vector<CycleHead>& heads,
                              const Concurrency& concurrency) {
  std::uint64_t done = 1;
  for (std::uint64_t run = 1; done < most; run *= 2) {
    const std::uint64_t to = std::min(most, done + run);
    const unsigned parts = concurrency.threads_for((to - done) * cycle);
    std::vector<std::uint64_t> stray(parts);
    run_parallel(parts, concurrency.scope, [&](std::size_t part) {
      const auto p = static_cast<unsigned>(part);
      const std::uint64_t count = to - done;
      stray[part] = first_stray_cycle(at, cycle, done + part_begin(count, p, parts),
                                      done + part_begin(count, p + 1, parts), heads);
    });
    for (unsigned p = 0; p < parts; ++p)
      if (stray[p] != done + part_begin(to - done, p + 1, parts)) return stray[p];
    done = to;
  }
  return most;
}

// Walks a `Simple` body without decoding it: the records are validated as
// the two-pass read validates them (a refused record fails with the same
// message) and their places are kept as segments of learnt cycles.
Status index_simple_body(Cursor& cur, std::uint64_t end, ParseState& state,
                         const Concurrency& concurrency) {
  BodyIndex& body = state.lazy->body;
  body.layout = BodyIndex::Layout::Simple;
  const std::byte* base = cur.data().data();
  const std::uint64_t size = cur.size();
  const std::uint64_t limit = std::min(end, size);
  RecordIndex index(state.decls);
  std::vector<RecordIndex::Slot>& slots = index.slots();
  std::vector<std::uint64_t> points(slots.size());  // of each slot's series so far
  std::vector<std::vector<std::uint64_t>> offsets(slots.size());  // in this cycle
  std::vector<std::size_t> order;  // the slots of this cycle by first record
  std::vector<CycleHead> heads;
  const std::size_t most = std::max(kMaxCycleRecords, 2 * slots.size());

  std::uint64_t pos = cur.pos();
  while (pos < end) {
    // Learn the cycle: the records up to the first that names the first's
    // declaration again, or the end.
    heads.clear();
    order.clear();
    RecordIndex::Slot* first = nullptr;
    std::uint64_t p = pos;
    for (RecordIndex::Slot* prev = nullptr; p < end && heads.size() < most;) {
      RecordIndex::Slot* slot = fast_record(base, size, p, index, prev);
      if (slot == nullptr) return record_failure(cur, p, index);
      if (slot == first) break;
      if (first == nullptr) first = slot;
      const auto at = static_cast<std::size_t>(slot - slots.data());
      if (offsets[at].empty()) order.push_back(at);
      offsets[at].push_back(p - pos);
      heads.push_back({p - pos, 0});
      std::memcpy(&heads.back().head, base + p, 8);
      p += 8 + 8 * slot->doubles;
      prev = slot;
    }
    const std::uint64_t cycle = p - pos;
    const std::uint64_t cycles =
        p > limit ? 1 : matching_cycles(base + pos, cycle, (limit - pos) / cycle, heads, concurrency);

    const std::uint64_t segment = body.segments.size();
    body.segments.push_back({pos, cycle, cycles});
    for (std::size_t at : order) {
      const std::uint64_t per_cycle = offsets[at].size();
      body.parts[slots[at].id].push_back({points[at], body.offsets.size(), segment, per_cycle});
      body.offsets.insert(body.offsets.end(), offsets[at].begin(), offsets[at].end());
      points[at] += cycles * per_cycle;
      offsets[at].clear();
    }
    pos += cycles * cycle;
  }
  cur.seek(pos);
  return {};
}

}  // namespace

Status read_simple_body(Cursor& cur, std::uint64_t end, ParseState& state,
                        const Concurrency& concurrency) {
  const std::uint64_t start = cur.pos();
  const std::byte* base = cur.data().data();
  const std::uint64_t size = cur.size();
  if (state.lazy) return index_simple_body(cur, end, state, concurrency);
  RecordIndex index(state.decls);
  if (read_simple_cycles(cur, end, index, concurrency)) return {};

  // First pass: validate every record and count the records per declaration.
  RecordIndex::Slot* slot = nullptr;
  for (std::uint64_t pos = start; pos < end;) {
    RecordIndex::Slot* prev = slot;
    slot = fast_record(base, size, pos, index, prev);
    if (slot != nullptr) {
      pos += 8 + 8 * slot->doubles;
    } else {
      cur.seek(pos);
      auto head = read_record_head(cur, index);
      if (!head) return pass_up(head);
      slot = *head;
      QUARN_TRY(cur.skip(8 * slot->doubles));
      pos = cur.pos();
    }
    ++slot->records;
  }

  // Reserve every series once, at its exact final size.
  for (RecordIndex::Slot& entry : index.slots()) {
    if (entry.records == 0) continue;
    std::uint64_t doubles;
    if (auto* st = std::get_if<Series::Struct>(&entry.decl->series.v)) {
      // LCOV_EXCL_BR_LINE: the first pass found every record's doubles in the file, so fewer than its bytes
      if (__builtin_mul_overflow(entry.records, st->width(), &doubles))
        return fail("struct buffer size overflow ({} * {})", entry.records, st->width());
    } else {
      doubles = entry.records * entry.doubles;
    }
    if (!entry.samples->reserve_more_exact(doubles)) return out_of_memory(doubles, entry.decl->name);
  }

  // Second pass: decode into the reserved room. The room is checked again, so
  // bytes that changed under the reader can never overrun a buffer.
  std::uint64_t pos = start;
  slot = nullptr;
  while (pos < end) {
    RecordIndex::Slot* prev = slot;
    slot = fast_record(base, size, pos, index, prev);
    // The checks of this pass repeat the first pass's over the same bytes:
    // they fail only where the bytes changed under the reader.
    // LCOV_EXCL_BR_LINE: the first pass read these records whole
    if (slot == nullptr) {
      cur.seek(pos);
      auto head = read_record_head(cur, index);
      // LCOV_EXCL_BR_LINE: the first pass read this head
      if (!head) return pass_up(head);
      slot = *head;
      // LCOV_EXCL_BR_LINE: the first pass found these samples
      if (!cur.has(8 * slot->doubles)) return decode_floats(cur, slot->doubles, nullptr);
    }
    SampleBuffer& samples = *slot->samples;
    const std::uint64_t k = slot->doubles;
    // LCOV_EXCL_BR_LINE: the first pass counted this record, and its room is reserved
    if (!samples.grow_for(k)) return out_of_memory(samples.size() + k, slot->decl->name);
    load_be_f64s(base + pos + 8, k, samples.extend(k));
    pos += 8 + 8 * k;
  }
  cur.seek(pos);
  return {};
}

namespace {

// The frame list of a `Windowed` body: the one sweep, then every trace, each
// looked up once (the declarations do not move while the section is read).
// An id with no declaration is reported at the first frame that reaches it.
struct FrameList {
  std::vector<std::uint32_t> ids;
  std::vector<DataDecl*> decls;  // null where an id is not declared
};

// A frame's window size W and point count N.
struct FrameHead {
  std::uint64_t w;
  std::uint64_t n;
  bool operator==(const FrameHead&) const = default;
};

// Reads what stands at the cursor: a padding chunk, which is skipped (no
// head), or the head of a frame, which is checked.
Result<std::optional<FrameHead>> read_frame_head(Cursor& cur) {
  if (cur.next_is(ChunkId::ContainerPadding)) {
    QUARN_TRY(cur.skip(4));
    auto size = cur.read_u32();
    if (!size) return pass_up(size);
    QUARN_TRY(cur.skip(*size));
    return std::optional<FrameHead>();
  }
  QUARN_TRY(expect_record_word(cur));
  auto window = cur.read_u16();
  if (!window) return pass_up(window);
  auto count = cur.read_u16();
  if (!count) return pass_up(count);
  const std::uint64_t w = *window, n = *count;
  if (n > w) return fail("windowed frame: num_words {} > window_size {}", n, w);
  return std::optional<FrameHead>(FrameHead{w, n});
}

// The windows of one frame, in frame-list order: `take(decl, n)` is called
// with the cursor at a window's N samples, which are in the file, and reads
// or skips them.
template <class Take>
Status read_windows(Cursor& cur, const FrameList& frame, FrameHead head, Take&& take) {
  for (std::size_t k = 0; k < frame.decls.size(); ++k) {
    DataDecl* decl = frame.decls[k];
    if (decl == nullptr)
      return fail("windowed frame references unknown declaration {}", frame.ids[k]);
    if (!cur.has(8 * head.n)) return decode_floats(cur, head.n, nullptr);
    QUARN_TRY(take(*decl, head.n));
    QUARN_TRY(cur.skip(8 * (head.w - head.n)));
    if (k + 1 != frame.decls.size()) QUARN_TRY(cur.skip(8));
  }
  return {};
}

// Reads the frames one by one, growing each series as it goes: for frame
// lists that name a declaration twice, and for bytes that changed between the
// walk and the decoding of `read_windowed_body`.
Status read_frames_growing(Cursor& cur, std::uint64_t end, const FrameList& frame) {
  auto decode = [&cur](DataDecl& decl, std::uint64_t n) -> Status {
    SampleBuffer& samples = decl.series.samples();
    if (!samples.grow_for(n)) return out_of_memory(samples.size() + n, decl.name);
    return decode_floats(cur, n, samples.extend(n));
  };
  while (cur.pos() < end) {
    auto head = read_frame_head(cur);
    if (!head) return pass_up(head);
    if (*head) QUARN_TRY(read_windows(cur, frame, **head, decode));
  }
  return {};
}

// What a walk over the frames found: the points each series gets, and where
// to split the decoding (frame starts, with the points before each).
struct FrameWalk {
  struct Split {
    std::uint64_t pos;
    std::uint64_t points;
  };
  std::uint64_t points = 0;
  std::vector<Split> splits;
};

// Walks the frames without decoding, making every check of
// `read_frames_growing` in the same order, so it fails exactly where reading
// would. Splits the frames into up to `parts` runs of about equal bytes.
Result<FrameWalk> walk_frames(Cursor& cur, std::uint64_t end, const FrameList& frame,
                              unsigned parts) {
  FrameWalk walk;
  const std::uint64_t start = cur.pos();
  const std::uint64_t span = end > start ? end - start : 0;
  unsigned next = 1;  // the split to make next
  while (cur.pos() < end) {
    if (next < parts && cur.pos() - start >= part_begin(span, next, parts)) {
      walk.splits.push_back({cur.pos(), walk.points});
      while (next < parts && cur.pos() - start >= part_begin(span, next, parts)) ++next;
    }
    auto head = read_frame_head(cur);
    if (!head) return pass_up(head);
    if (!*head) continue;
    QUARN_TRY(read_windows(cur, frame, **head,
                           [&cur](DataDecl&, std::uint64_t n) { return cur.skip(8 * n); }));
    walk.points += (*head)->n;
  }
  return walk;
}

// Decodes the frames in [from, to), which a walk has checked, into
// `outs[k] + first` on; false when the bytes are no longer what the walk saw
// (the points would not end at `last`, or a frame no longer fits).
bool decode_frames(Bytes data, std::uint64_t from, std::uint64_t to, std::uint64_t first,
                   std::uint64_t last, const std::vector<double*>& outs) noexcept {
  const std::byte* base = data.data();
  const std::uint64_t size = data.size();
  const std::uint64_t k = outs.size();
  std::uint64_t pos = from, at = first;
  // Every check repeats one of the walk's over the same bytes: it fails only
  // where the bytes changed under the reader.
  while (pos < to) {
    // LCOV_EXCL_BR_LINE: the walk read this chunk's head
    if (size - pos < 8) return false;
    const std::uint32_t word = load_be32(base + pos);
    if (word == number(ChunkId::ContainerPadding)) {
      const std::uint64_t filler = load_be32(base + pos + 4);
      pos += 8;
      // LCOV_EXCL_BR_LINE: the walk skipped this filler
      if (filler > size - pos) return false;
      pos += filler;
      continue;
    }
    // LCOV_EXCL_BR_LINE: the walk read a frame here
    if (word != number(ChunkId::Declaration)) return false;
    const std::uint64_t w = load_be16(base + pos + 4), n = load_be16(base + pos + 6);
    pos += 8;
    // LCOV_EXCL_BR_LINE: the walk checked this frame's sizes
    if (n > w || n > last - at || 8 * (k * (w + 1) - 1) > size - pos) return false;
    for (std::uint64_t i = 0; i < k; ++i) {
      load_be_f64s(base + pos, n, outs[i] + at);
      pos += 8 * (w + 1);
    }
    pos -= 8;  // no gap after the last window
    at += n;
  }
  // LCOV_EXCL_BR_LINE: the walk ended these frames here
  return pos == to && at == last;
}

// The frame list of the body, or the failure of the checks that come before
// any frame is read.
Result<FrameList> frame_list(ParseState& state) {
  if (state.sweep_order.size() != 1)
    return fail("WINDOWED value section requires exactly one sweep, found {}",
                state.sweep_order.size());

  FrameList frame;
  frame.ids.reserve(1 + state.trace_order.size());
  frame.ids.push_back(state.sweep_order.front());
  frame.ids.insert(frame.ids.end(), state.trace_order.begin(), state.trace_order.end());
  frame.decls.reserve(frame.ids.size());
  for (std::uint32_t id : frame.ids) {
    auto it = state.decls.find(id);
    DataDecl* decl = it == state.decls.end() ? nullptr : &it->second;
    if (decl != nullptr) {
      if (std::holds_alternative<Series::Complex>(decl->series.v))
        return fail("windowed complex value layout is not supported (trace '{}')", decl->name);
      if (std::holds_alternative<Series::Struct>(decl->series.v))
        return fail("windowed struct value layout is not supported (trace '{}')", decl->name);
    }
    frame.decls.push_back(decl);
  }
  return frame;
}

// A stretch of body that repeats: `frames` frames of one shape, `stride`
// bytes each, then (when `pad` is set) a padding chunk of `*pad` bytes.
struct Cycle {
  FrameHead shape;
  std::uint64_t stride;
  std::uint64_t frames;
  std::optional<std::uint64_t> pad;
  std::uint64_t bytes() const noexcept { return frames * stride + (pad ? 8 + *pad : 0); }
  bool operator==(const Cycle&) const = default;
};

// How many of `count` repetitions of `cycle` from `from` are exactly there (the
// heads of the frames and of the padding say what the cycle says): the first
// that is not, or `count`. Checked on `parts` threads, each letting go of the
// pages it has finished with; heads far enough apart are read from the file
// instead, and then no page is mapped, nor let go.
std::uint64_t same_cycles(const std::byte* base, std::uint64_t from, const Cycle& cycle,
                          std::uint64_t count, unsigned parts, const ThreadScope* scope,
                          const PagesDone* pages_done, const ReadAt* read_at) {
  const std::uint64_t bytes = cycle.bytes();
  if (read_at != nullptr && cycle.stride < read_at->worth_from) read_at = nullptr;
  if (read_at != nullptr) pages_done = nullptr;
  auto head = [&](std::uint64_t at, std::byte* word) {
    if (read_at != nullptr) return read_at->read(read_at->context, at, word, 8);
    std::memcpy(word, base + at, 8);
    return true;
  };
  auto same = [&](std::uint64_t at) {
    std::byte word[8];
    for (std::uint64_t f = 0; f < cycle.frames; ++f, at += cycle.stride)
      if (!head(at, word) || load_be32(word) != number(ChunkId::Declaration) ||
          load_be16(word + 4) != cycle.shape.w || load_be16(word + 6) != cycle.shape.n)
        return false;
    return !cycle.pad || (head(at, word) && load_be32(word) == number(ChunkId::ContainerPadding) &&
                          load_be32(word + 4) == *cycle.pad);
  };
  std::vector<std::uint64_t> first_other(parts, count);
  run_parallel(parts, scope, [&](std::size_t part) {
    const std::uint64_t begin = count * part / parts, stop = count * (part + 1) / parts;
    std::uint64_t kept = from + begin * bytes;
    for (std::uint64_t c = begin; c < stop; ++c) {
      const std::uint64_t at = from + c * bytes;
      if (!same(at)) {
        first_other[part] = c;
        break;
      }
      tell_every_span(pages_done, kept, at);
    }
    if (pages_done != nullptr) (*pages_done)(kept, from + stop * bytes);
  });
  for (std::uint64_t c : first_other)
    if (c != count) return c;
  return count;
}

// With at least this many cycles ahead, a cycle the walk has just seen twice
// is looked for on several threads: each check costs a page fault, and the
// faults of several threads overlap.
constexpr std::uint64_t kSpeculateCycles = 16;

// Walks the frames as `walk_frames` does, making the same checks in the same
// order, and keeps their places as runs of frames of one shape.
Status index_frames(Cursor& cur, std::uint64_t end, const FrameList& frame, BodyIndex& body,
                    const Concurrency& concurrency, const PagesDone* pages_done,
                    const ReadAt* read_at) {
  body.layout = BodyIndex::Layout::Windowed;
  std::uint64_t kept = cur.pos();  // the first byte not yet given back
  body.windows = frame.ids.size();
  for (std::uint64_t k = 0; k < frame.ids.size(); ++k) body.window_of.emplace(frame.ids[k], k);
  auto add_frames = [&body](std::uint64_t at, std::uint64_t frames, FrameHead shape,
                            std::uint64_t stride) {
    FrameRun* run = body.frames.empty() ? nullptr : &body.frames.back();
    if (run != nullptr && run->w == shape.w && run->n == shape.n &&
        run->pos + run->frames * stride == at)
      run->frames += frames;
    else
      body.frames.push_back({body.frame_points, at, frames, static_cast<std::uint32_t>(shape.w),
                             static_cast<std::uint32_t>(shape.n)});
    body.frame_points += frames * shape.n;
  };

  // The cycle being read and the one before it. A body is most often frames
  // of one shape, with or without a padding chunk every so many frames: once
  // a cycle repeats, its repetitions further on are checked at once (they
  // pass every check the walk makes, since windows are skipped unread).
  Cycle last{}, now{};
  bool single = concurrency.threads != 1, padded = single;  // worth trying still
  // The repetitions of `cycle` found from here on, taken into the index.
  auto take_cycles = [&](const Cycle& cycle) -> std::uint64_t {
    const std::uint64_t from = cur.pos(), bytes = cycle.bytes();
    const std::uint64_t limit = std::min(end, cur.size());
    const std::uint64_t room = limit > from ? limit - from : 0;
    const std::uint64_t count = room / bytes;
    const unsigned parts = concurrency.threads_for(count * bytes);
    if (count < kSpeculateCycles || parts < 2) return 0;
    const std::uint64_t same =
        same_cycles(cur.data().data(), from, cycle, count, parts, concurrency.scope, pages_done,
                    read_at);
    for (std::uint64_t c = 0; c < same; ++c)
      add_frames(from + c * bytes, cycle.frames, cycle.shape, cycle.stride);
    cur.seek(from + same * bytes);
    kept = cur.pos();
    return same;
  };

  while (cur.pos() < end) {
    const std::uint64_t at = cur.pos();
    auto head = read_frame_head(cur);
    if (!head) return pass_up(head);
    tell_every_span(pages_done, kept, at);
    if (!*head) {  // a padding chunk ends the cycle
      now.pad = cur.pos() - at - 8;
      const bool repeats = now.frames > 0 && now == last;
      last = now;
      now = Cycle{};
      // A guess that rarely holds would cost a thread start for little.
      if (padded && repeats && take_cycles(last) < kSpeculateCycles) padded = false;
      continue;
    }
    QUARN_TRY(read_windows(cur, frame, **head,
                           [&cur](DataDecl&, std::uint64_t n) { return cur.skip(8 * n); }));
    const FrameHead shape = **head;
    if (shape.n == 0) {  // no points: not part of any cycle
      last = now = Cycle{};
      continue;
    }
    const std::uint64_t stride = cur.pos() - at;
    add_frames(at, 1, shape, stride);
    if (now.frames > 0 && now.shape != shape)
      last = now = Cycle{};  // another shape: a cycle starts here
    now.shape = shape;
    now.stride = stride;
    ++now.frames;
    if (single && now.frames == 2) {
      // Two frames of one shape in a row: perhaps the whole body is such frames.
      const std::uint64_t same = take_cycles(Cycle{shape, stride, 1, std::nullopt});
      now.frames += same;
      if (same < kSpeculateCycles) single = false;
    }
  }
  return {};
}

}  // namespace

// The frames are walked once without decoding (cheap: a header per frame),
// which checks them and counts the points; every series is then made at its
// final size, and the decoding is split by frames over the threads.
Status read_windowed_body(Cursor& cur, std::uint64_t end, ParseState& state,
                          const Concurrency& concurrency) {
  auto made = frame_list(state);
  if (!made) return pass_up(made);
  const FrameList& frame = *made;
  if (state.lazy)
    return index_frames(cur, end, frame, state.lazy->body, concurrency, state.lazy->pages_done,
                        state.lazy->read_at);
  std::vector<DataDecl*> named(frame.decls);
  std::sort(named.begin(), named.end());
  if (std::adjacent_find(named.begin(), named.end(), [](DataDecl* a, DataDecl* b) {
        return a != nullptr && a == b;
      }) != named.end())
    return read_frames_growing(cur, end, frame);

  const std::uint64_t start = cur.pos();
  const unsigned parts = concurrency.threads_for(end > start ? end - start : 0);
  auto walk = walk_frames(cur, end, frame, parts);
  if (!walk) return pass_up(walk);
  const std::uint64_t stop = cur.pos();
  if (walk->points == 0) return {};

  // A walk that counted points has met every declaration of the frame list.
  Prepared prepared;
  std::vector<double*> outs;
  outs.reserve(frame.decls.size());
  for (DataDecl* decl : frame.decls) {
    double* out = prepared.add(decl->series.samples(), walk->points);
    if (out == nullptr) {
      const std::uint64_t had = decl->series.samples().size();
      prepared.undo();
      return out_of_memory(had + walk->points, decl->name);
    }
    outs.push_back(out);
  }
  const std::vector<FrameWalk::Split>& splits = walk->splits;
  std::vector<unsigned char> ok(splits.size() + 1, 0);
  run_parallel(ok.size(), concurrency.scope, [&](std::size_t i) {
    const std::uint64_t from = i == 0 ? start : splits[i - 1].pos;
    const std::uint64_t first = i == 0 ? 0 : splits[i - 1].points;
    const std::uint64_t to = i == splits.size() ? stop : splits[i].pos;
    const std::uint64_t last = i == splits.size() ? walk->points : splits[i].points;
    ok[i] = decode_frames(cur.data(), from, to, first, last, outs);
  });
  // LCOV_EXCL_BR_LINE: the decode fails only where the bytes changed since the walk
  if (std::find(ok.begin(), ok.end(), 0) != ok.end()) {
    prepared.undo();
    cur.seek(start);
    return read_frames_growing(cur, end, frame);
  }
  return {};
}

}  // namespace quarn
