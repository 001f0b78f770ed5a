// The parsing half of the driver: bytes of a whole file in, records out.
// Knows nothing of Python, so tests, fuzzers and benchmarks call it directly.
#pragma once

#include "reader/parse_state.h"
#include "reader/properties.h"
#include "reader/sections.h"
#include "types/cursor.h"

namespace quarn::driver {

struct ParsedFile {
  ValueSectionType layout;
  PropertyList header;
  ParseState state;
};

// Validates the container (size, footer magic, first word), reads the HEADER
// and walks the optional TYPE, SWEEP, TRACE and VALUE sections.
Result<ParsedFile> parse(Bytes data);

}  // namespace quarn::driver
