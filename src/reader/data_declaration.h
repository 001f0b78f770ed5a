// Data declarations of the SWEEP, TRACE and non-swept VALUE sections.
#pragma once

#include "reader/parse_state.h"
#include "types/cursor.h"
#include "types/datatype.h"

namespace quarn {

enum class DeclContext { Sweep, Trace, Value };

// Reads one declaration or group (groups flattened depth-first, with an
// explicit stack) and records it in `state` as the context says.
Status read_data_declaration(Cursor& cur, const TypeTable& types, ParseState& state,
                             DeclContext context);

}  // namespace quarn
