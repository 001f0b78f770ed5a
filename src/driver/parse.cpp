#include "driver/parse.h"

#include <cstring>

#include "reader/container.h"
#include "reader/data_declaration.h"
#include "reader/type_declaration.h"

namespace quarn::driver {
namespace {

constexpr char kMagic[8] = {'C', 'l', 'a', 'r', 'i', 's', 's', 'a'};

Result<ValueSectionType> value_section_type(std::uint32_t word) {
  switch (word) {
    case 0: return ValueSectionType::Empty;
    case 512: return ValueSectionType::Simple;
    case 1024: return ValueSectionType::Windowed;
    case 1280: return ValueSectionType::NonSwept;
    default: return fail("unknown value_section_type {}", word);
  }
}

// With `lazy`, every type's property list and name are kept there by type id
// (a later declaration of an id replaces the earlier, as in the table).
Status read_type_section(Cursor& cur, TypeTable& types, LazyRecord* lazy) {
  auto* properties = lazy != nullptr ? &lazy->type_properties : nullptr;
  QUARN_TRY(cur.skip(4));  // the SectionType word, already seen
  auto end = read_container_preamble(cur, ChunkId::Container);
  if (!end) return pass_up(end);
  auto decls_end = read_container_preamble(cur, ChunkId::SubContainer);
  if (!decls_end) return pass_up(decls_end);
  while (cur.pos() < *decls_end) {
    PropertyList kept;
    std::vector<PropertyList> members;
    auto decl = read_type_declaration(cur, properties != nullptr ? &kept : nullptr,
                                      lazy != nullptr ? &members : nullptr);
    if (!decl) return pass_up(decl);
    types.insert_or_assign(decl->id, std::move(decl->info));
    if (properties != nullptr) properties->insert_or_assign(decl->id, std::move(kept));
    if (lazy != nullptr) {
      lazy->type_names.insert_or_assign(decl->id, decl->name);
      lazy->member_properties.insert_or_assign(decl->id, std::move(members));
    }
  }
  QUARN_TRY(read_container_index(cur, 4));
  return check_container_end(cur, "TYPE", *end);
}

Status read_sweep_section(Cursor& cur, const TypeTable& types, ParseState& state) {
  QUARN_TRY(cur.skip(4));  // the SectionSweep word, already seen
  auto end = read_container_preamble(cur, ChunkId::Container);
  if (!end) return pass_up(end);
  while (cur.pos() < *end)
    QUARN_TRY(read_data_declaration(cur, types, state, DeclContext::Sweep));
  return check_container_end(cur, "SWEEP", *end);
}

// The steps every reading takes first: the container's size and footer, the
// layout word and the HEADER section. Leaves `cur` at the end of the HEADER.
Result<HeaderOnly> read_leading(Cursor& cur, Bytes data, bool require_footer) {
  if (data.size() < 12) return fail("file too small to be psfbin ({} bytes)", data.size());
  if (require_footer && std::memcmp(data.data() + data.size() - 12, kMagic, sizeof kMagic) != 0)
    return fail("footer magic 'Clarissa' not found (not a psfbin file?)");

  auto first = cur.read_u32();
  // LCOV_EXCL_BR_LINE: the size was checked to hold the first word
  if (!first) return pass_up(first);
  auto layout = value_section_type(*first);
  if (!layout) return pass_up(layout);

  auto header_end = read_container_preamble(cur, ChunkId::Container);
  if (!header_end) return pass_up(header_end);
  auto header = read_properties(cur);
  if (!header) return pass_up(header);
  QUARN_TRY(check_container_end(cur, "HEADER", *header_end));
  return HeaderOnly{*layout, std::move(*header)};
}

}  // namespace

Result<HeaderOnly> parse_header(Bytes data, bool require_footer) {
  Cursor cur(data);
  return read_leading(cur, data, require_footer);
}

std::optional<HeaderOnly> header_from_ends(Bytes head, Bytes tail, bool require_footer) {
  // Every check of the leading steps reads bytes of the HEADER, or holds for a
  // longer file when it holds for `head`, but one: the property list ends at
  // the first word that is not a property, and `head` must hold that word.
  // Then a success on `head` is the whole file's. The footer is the one thing
  // looked for at the end.
  // LCOV_EXCL_BR_LINE: callers pass the 12 bytes of the footer and at least as many of head
  if (tail.size() != 12 || head.size() < 12) return std::nullopt;
  if (require_footer && std::memcmp(tail.data(), kMagic, sizeof kMagic) != 0) return std::nullopt;
  Cursor cur(head);
  auto leading = read_leading(cur, head, false);
  if (!leading || head.size() - cur.pos() < 4) return std::nullopt;
  return std::move(*leading);
}

Result<ParsedFile> parse(Bytes data, const Concurrency& concurrency, bool lazy,
                         const PagesDone* pages_done, const ReadAt* read_at) {
  Cursor cur(data);
  auto leading = read_leading(cur, data, true);
  if (!leading) return pass_up(leading);
  const ValueSectionType layout = leading->layout;

  // Each optional section is tested for once, in this order, where the
  // previous one ended; anything else ends the walk.
  TypeTable types;
  ParseState state;
  if (lazy) {
    state.lazy = std::make_unique<LazyRecord>();
    state.lazy->pages_done = pages_done;
    state.lazy->read_at = read_at;
  }
  if (cur.next_is(ChunkId::SectionType))
    QUARN_TRY(read_type_section(cur, types, state.lazy.get()));
  if (cur.next_is(ChunkId::SectionSweep)) QUARN_TRY(read_sweep_section(cur, types, state));
  if (cur.next_is(ChunkId::SectionTrace)) QUARN_TRY(parse_trace_section(cur, types, state));
  if (cur.next_is(ChunkId::SectionValue))
    QUARN_TRY(parse_value_section(cur, types, state, layout, concurrency));

  return ParsedFile{layout, std::move(leading->header), std::move(state)};
}

}  // namespace quarn::driver
