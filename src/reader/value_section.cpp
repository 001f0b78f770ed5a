#include "reader/container.h"
#include "reader/data_declaration.h"
#include "reader/sections.h"

namespace quarn {
namespace {

Status read_non_swept_body(Cursor& cur, const TypeTable& types, ParseState& state) {
  auto decls_end = read_container_preamble(cur, ChunkId::SubContainer);
  if (!decls_end) return pass_up(decls_end);
  while (cur.pos() < *decls_end)
    QUARN_TRY(read_data_declaration(cur, types, state, DeclContext::Value));
  return read_container_index(cur, 4);
}

}  // namespace

Status parse_value_section(Cursor& cur, const TypeTable& types, ParseState& state,
                           ValueSectionType layout, const Concurrency& concurrency) {
  QUARN_TRY(cur.expect(ChunkId::SectionValue));
  auto end = read_container_preamble(cur, ChunkId::Container);
  if (!end) return pass_up(end);
  // LCOV_EXCL_BR_LINE: every layout has its case; none other comes from the first word
  switch (layout) {
    case ValueSectionType::Empty:
      break;
    case ValueSectionType::NonSwept:
      QUARN_TRY(read_non_swept_body(cur, types, state));
      break;
    case ValueSectionType::Simple:
      QUARN_TRY(read_simple_body(cur, *end, state, concurrency));
      break;
    case ValueSectionType::Windowed:
      QUARN_TRY(read_windowed_body(cur, *end, state, concurrency));
      break;
  }
  QUARN_TRY(check_container_end(cur, "VALUE", *end));
  return cur.expect(ChunkId::SectionEnd);
}

}  // namespace quarn
