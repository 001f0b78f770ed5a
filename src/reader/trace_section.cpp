#include "reader/container.h"
#include "reader/data_declaration.h"
#include "reader/sections.h"

namespace quarn {

Status parse_trace_section(Cursor& cur, const TypeTable& types, ParseState& state) {
  QUARN_TRY(cur.expect(ChunkId::SectionTrace));
  auto end = read_container_preamble(cur, ChunkId::Container);
  if (!end) return pass_up(end);
  auto decls_end = read_container_preamble(cur, ChunkId::SubContainer);
  if (!decls_end) return pass_up(decls_end);
  while (cur.pos() < *decls_end)
    QUARN_TRY(read_data_declaration(cur, types, state, DeclContext::Trace));
  QUARN_TRY(read_container_index(cur, 12));
  return check_container_end(cur, "TRACE", *end);
}

}  // namespace quarn
