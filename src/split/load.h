// The whole read of a split transient from its main file, without Python:
// the main file's sections, the data sibling found beside it and decoded, and
// the records every entry point builds its result from.
#pragma once

#include <string>

#include "driver/load.h"
#include "reader/parallel.h"
#include "reader/properties.h"
#include "types/result.h"

namespace quarn::split {

// Reads the split result whose main file is at `main_path` (bytes in the
// file-system encoding). The sweep and the traces come in TRACE's order, every
// array with n float64 values; `values` is empty. A file that cannot be
// opened, a missing data file or a file that shrinks while it is read is
// FailureKind::Io; everything else FailureKind::Format, the message naming
// the file at fault (and, in the data file, the record and its offset).
// `threads` bounds the threads the data file is decoded on.
Result<driver::Records> load_split(const std::string& main_path,
                                   unsigned threads = Concurrency::kAvailable);

// The main file's HEADER, once the main file is known to be a split main
// file; the data file is not looked for.
Result<PropertyList> load_split_header(const std::string& main_path);

// Whether the file at `path` is the main file of a split result, by its
// content alone: a windowed file without a footer whose TRACE section ends in
// the VALUE stub. A file that cannot be read is not one.
bool is_split_main(const std::string& path);

}  // namespace quarn::split
