// The whole way from a path to parsed records, without Python: open and map
// the file, parse it under a guard against the file shrinking, put the sweeps
// and traces in declaration order, and let go of the file. Every entry point
// (read_psf, the batch reader, the lazy reader's eager path) goes through here.
#pragma once

#include <string>
#include <vector>

#include "driver/mapped_file.h"
#include "reader/parallel.h"
#include "reader/parse_state.h"
#include "reader/properties.h"

namespace quarn::driver {

// Everything the Python objects are built from; it refers to nothing of the file.
struct Records {
  PropertyList header;
  std::vector<NamedSeries> sweeps;
  std::vector<NamedSeries> traces;
  std::vector<NamedScalar> values;
};

// Reads the file at `path` (bytes in the file-system encoding). A failure is
// FailureKind::Io when the file cannot be opened, mapped or read to its end
// (it shrank while being read), FailureKind::Format for a malformed file.
// `threads` bounds the threads one large body is decoded on
// (Concurrency::kAvailable: as many as the process may run on).
// The file is unmapped and closed when this returns.
Result<Records> load_records(const std::string& path,
                             unsigned threads = Concurrency::kAvailable);

// The same for a file already open; `path` is only for messages.
Result<Records> load_records(const MappedFile& file, const std::string& path,
                             unsigned threads = Concurrency::kAvailable);

}  // namespace quarn::driver
