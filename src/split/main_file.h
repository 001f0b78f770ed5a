// The main file of a split transient: a windowed psfbin file without a footer
// that stops at the start of its VALUE section. Its HEADER, TYPE, SWEEP and
// TRACE sections are read as in a single file, with one extension: a trace
// declaration may carry a chunk 0x24 (a summary of its signal) right after
// its type id.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "reader/properties.h"
#include "types/cursor.h"
#include "types/result.h"

namespace quarn::split {

// A trace's chunk 0x24: where its record lies and what its samples span. An
// index only, for consistency checks; never used to decode.
struct SignalSummary {
  std::uint64_t record_at = 0;
  std::uint64_t points = 0;
  double first_x = 0, last_x = 0, min_y = 0, max_y = 0;
};

struct MainFile {
  PropertyList header;
  std::string sweep;                 // the one sweep's name
  std::vector<std::string> traces;   // in declaration order: signal index i is traces[i]
  std::vector<std::optional<SignalSummary>> summaries;  // one per trace
};

// Reads and checks a whole main file in the order: footer, first word, the
// sections (only Float64 sweeps and traces), the VALUE stub, the analysis
// type, the sweep count. Messages do not name the file.
Result<MainFile> parse_main_file(Bytes data);

}  // namespace quarn::split
