// The two VALUE bodies that carry samples: `Simple` records and `Windowed` frames.
#include <unordered_map>
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

Result<DataDecl*> find_record_decl(Cursor& cur, DeclTable& decls) {
  auto id = cur.read_u32();
  if (!id) return pass_up(id);
  auto it = decls.find(*id);
  if (it == decls.end()) return fail("value record references unknown declaration {}", *id);
  return &it->second;
}

}  // namespace

Status read_simple_body(Cursor& cur, std::uint64_t end, ParseState& state) {
  const std::uint64_t start = cur.pos();

  // First pass: validate every record and count the records per declaration.
  std::unordered_map<DataDecl*, std::uint64_t> record_counts;
  while (cur.pos() < end) {
    QUARN_TRY(expect_record_word(cur));
    auto decl = find_record_decl(cur, state.decls);
    if (!decl) return pass_up(decl);
    QUARN_TRY(cur.skip(8 * (*decl)->series.point_doubles()));
    ++record_counts[*decl];
  }

  // Reserve every series once, at its exact final size.
  for (auto [decl, n] : record_counts) {
    Series& series = decl->series;
    std::uint64_t doubles;
    if (auto* s = std::get_if<Series::Struct>(&series.v)) {
      if (__builtin_mul_overflow(n, s->width, &doubles))
        return fail("struct buffer size overflow ({} * {})", n, s->width);
    } else {
      doubles = n * series.point_doubles();
    }
    if (!series.samples().reserve_more_exact(doubles)) return out_of_memory(doubles, decl->name);
  }
  record_counts = {};

  // Second pass: decode into the reserved room. The room is checked again, so
  // bytes that changed under the reader can never overrun a buffer.
  cur.seek(start);
  while (cur.pos() < end) {
    QUARN_TRY(expect_record_word(cur));
    auto decl = find_record_decl(cur, state.decls);
    if (!decl) return pass_up(decl);
    SampleBuffer& samples = (*decl)->series.samples();
    const std::uint64_t k = (*decl)->series.point_doubles();
    if (!samples.grow_for(k)) return out_of_memory(samples.size() + k, (*decl)->name);
    if (!cur.has(8 * k)) return decode_floats(cur, k, nullptr);  // fails at the missing float
    QUARN_TRY(decode_floats(cur, k, samples.extend(k)));
  }
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
