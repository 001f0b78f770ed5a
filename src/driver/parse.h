// The parsing half of the driver: bytes of a whole file in, records out.
// Knows nothing of Python, so tests, fuzzers and benchmarks call it directly.
#pragma once

#include <optional>

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

struct HeaderOnly {
  ValueSectionType layout;
  PropertyList header;
};

// The first steps of `parse` alone, with the same failures: the container's
// size and (when `require_footer`) its footer, the layout word and the HEADER
// section. Reads nothing past the HEADER.
Result<HeaderOnly> parse_header(Bytes data, bool require_footer = true);

// `parse_header` of a file from its first bytes (`head`) and its last 12
// (`tail`) alone: what it gives for the whole file, or nullopt where these
// bytes do not settle it (the HEADER runs past `head`, or any failure).
std::optional<HeaderOnly> header_from_ends(Bytes head, Bytes tail, bool require_footer = true);

// Validates the container (size, footer magic, first word), reads the HEADER
// and walks the optional TYPE, SWEEP, TRACE and VALUE sections. The samples of
// a large VALUE section may be decoded on up to `concurrency.threads` threads;
// the outcome is the same for any number. With `lazy`, the swept bodies are
// walked and indexed instead of decoded (`state.lazy`), and the properties
// and groups of the declarations are kept; the outcome is still the same.
// `pages_done`, for a lazy walk, is told of the stretches of a body it has
// passed; with `read_at`, the walk may read far-apart heads from the file.
Result<ParsedFile> parse(Bytes data, const Concurrency& concurrency = {}, bool lazy = false,
                         const PagesDone* pages_done = nullptr, const ReadAt* read_at = nullptr);

}  // namespace quarn::driver
