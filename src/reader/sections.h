// Readers of whole sections: TRACE, and VALUE in its four layouts.
#pragma once

#include <cstdint>

#include "reader/parallel.h"
#include "reader/parse_state.h"
#include "types/cursor.h"
#include "types/datatype.h"

namespace quarn {

// The layout of the VALUE section, chosen by the file's first word.
enum class ValueSectionType : std::uint32_t {
  Empty = 0,
  Simple = 512,
  Windowed = 1024,
  NonSwept = 1280,
};

// Reads the TRACE section from its section word to the end of its container.
Status parse_trace_section(Cursor& cur, const TypeTable& types, ParseState& state);

// Reads the VALUE section from its section word to just past its SectionEnd.
// The swept bodies may decode on up to `concurrency.threads` threads.
Status parse_value_section(Cursor& cur, const TypeTable& types, ParseState& state,
                           ValueSectionType layout, const Concurrency& concurrency = {});

// The two swept bodies, from just after the Container preamble while the
// cursor is before `end`; the caller checks where they stop.
Status read_simple_body(Cursor& cur, std::uint64_t end, ParseState& state,
                        const Concurrency& concurrency = {});
Status read_windowed_body(Cursor& cur, std::uint64_t end, ParseState& state,
                          const Concurrency& concurrency = {});

}  // namespace quarn
