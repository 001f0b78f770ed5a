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
#include "types/cursor.h"

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

// The same for a whole file already in memory (tests, fuzzing, a batch of
// buffers): the outcome `load_records` gives for a file of these bytes.
Result<Records> load_records(Bytes data, unsigned threads = Concurrency::kAvailable);

// The HEADER properties of the file at `path`, reading nothing past the HEADER
// section; failures as `load_records` gives them for the same file (a file
// whose later sections are malformed passes here). Without `require_footer`
// the footer is not looked at, so that a file still being written, or the
// first part of a split result, gives its header too.
Result<PropertyList> load_header(const std::string& path, bool require_footer = true);

// The same for a file already open; `path` is only for messages.
Result<Records> load_records(const MappedFile& file, const std::string& path,
                             unsigned threads = Concurrency::kAvailable);

}  // namespace quarn::driver
