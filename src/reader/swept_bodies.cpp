// The two VALUE bodies that carry samples: `Simple` records and `Windowed` frames.
#include <vector>

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
  const std::byte* p = cur.here();
  for (std::uint64_t i = 0; i < count; ++i) out[i] = load_be_f64(p + 8 * i);
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

}  // namespace

Status read_simple_body(Cursor& cur, std::uint64_t end, ParseState& state) {
  const std::uint64_t start = cur.pos();
  const std::byte* base = cur.data().data();
  const std::uint64_t size = cur.size();
  RecordIndex index(state.decls);

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
      if (__builtin_mul_overflow(entry.records, st->width, &doubles))
        return fail("struct buffer size overflow ({} * {})", entry.records, st->width);
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
    if (slot == nullptr) {
      cur.seek(pos);
      auto head = read_record_head(cur, index);
      if (!head) return pass_up(head);
      slot = *head;
      if (!cur.has(8 * slot->doubles)) return decode_floats(cur, slot->doubles, nullptr);
    }
    SampleBuffer& samples = *slot->samples;
    const std::uint64_t k = slot->doubles;
    if (!samples.grow_for(k)) return out_of_memory(samples.size() + k, slot->decl->name);
    double* out = samples.extend(k);
    const std::byte* p = base + pos + 8;
    switch (k) {  // the common points get a loop-free copy
      case 1:
        out[0] = load_be_f64(p);
        break;
      case 2:
        out[0] = load_be_f64(p);
        out[1] = load_be_f64(p + 8);
        break;
      default:
        for (std::uint64_t i = 0; i < k; ++i) out[i] = load_be_f64(p + 8 * i);
    }
    pos += 8 + 8 * k;
  }
  cur.seek(pos);
  return {};
}

Status read_windowed_body(Cursor& cur, std::uint64_t end, ParseState& state) {
  if (state.sweep_order.size() != 1)
    return fail("WINDOWED value section requires exactly one sweep, found {}",
                state.sweep_order.size());

  // The frame list: the sweep, then every trace. Declarations do not move
  // while the section is read, so each is looked up once here; an id with no
  // declaration is reported at the first frame that reaches it.
  std::vector<std::uint32_t> ids;
  ids.reserve(1 + state.trace_order.size());
  ids.push_back(state.sweep_order.front());
  ids.insert(ids.end(), state.trace_order.begin(), state.trace_order.end());
  std::vector<DataDecl*> frame;
  frame.reserve(ids.size());
  for (std::uint32_t id : ids) {
    auto it = state.decls.find(id);
    DataDecl* decl = it == state.decls.end() ? nullptr : &it->second;
    if (decl != nullptr) {
      if (std::holds_alternative<Series::Complex>(decl->series.v))
        return fail("windowed complex value layout is not supported (trace '{}')", decl->name);
      if (std::holds_alternative<Series::Struct>(decl->series.v))
        return fail("windowed struct value layout is not supported (trace '{}')", decl->name);
    }
    frame.push_back(decl);
  }

  while (cur.pos() < end) {
    if (cur.next_is(ChunkId::ContainerPadding)) {
      QUARN_TRY(cur.skip(4));
      auto size = cur.read_u32();
      if (!size) return pass_up(size);
      QUARN_TRY(cur.skip(*size));
      continue;
    }
    QUARN_TRY(expect_record_word(cur));
    auto window = cur.read_u16();
    if (!window) return pass_up(window);
    auto count = cur.read_u16();
    if (!count) return pass_up(count);
    const std::uint64_t w = *window, n = *count;
    if (n > w) return fail("windowed frame: num_words {} > window_size {}", n, w);

    for (std::size_t k = 0; k < frame.size(); ++k) {
      DataDecl* decl = frame[k];
      if (decl == nullptr) return fail("windowed frame references unknown declaration {}", ids[k]);
      SampleBuffer& samples = decl->series.samples();
      // The samples must be in the file before room is made for them.
      if (!cur.has(8 * n)) return decode_floats(cur, n, nullptr);
      if (!samples.grow_for(n)) return out_of_memory(samples.size() + n, decl->name);
      QUARN_TRY(decode_floats(cur, n, samples.extend(n)));
      QUARN_TRY(cur.skip(8 * (w - n)));
      if (k + 1 != frame.size()) QUARN_TRY(cur.skip(8));
    }
  }
  return {};
}

}  // namespace quarn
