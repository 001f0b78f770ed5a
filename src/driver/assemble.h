// The Python half of the driver: open, parse, release the file, and build the
// Psf from the parsed records.
#pragma once

#include <string>

#include "module/ref.h"

namespace quarn::driver {

// Reads the file at `path` (bytes in the file-system encoding) into a new Psf,
// or returns nullptr with the exception set: OSError for opening or mapping,
// ValueError for every parse failure, or what a conversion raised.
Ref read_psf_file(const std::string& path);

}  // namespace quarn::driver
