// The Python half of the driver: parsed records to Python objects, and the one
// place a failure of the core becomes an exception. Both extension modules
// (quarn._quarn and quarn._native) build their results here.
#pragma once

#include <string>

#include "driver/load.h"
#include "module/ref.h"

namespace quarn::driver {

// Raises the exception of a failed load and returns nullptr: OSError when the
// file could not be opened, mapped or read to its end, ValueError when it is
// malformed.
PyObject* raise_failure(FailureKind kind, const std::string& message) noexcept;

template <class T>
PyObject* raise_failure(const Result<T>& failed) noexcept {
  return raise_failure(failed.failure_kind(), failed.error());
}

// A property list as a dict (str / int / float values); a later property of
// the same name replaces the value, the key keeps its first position.
// nullptr with an exception set on failure.
Ref properties_to_py(PropertyList&& properties);

// A new Psf owning the converted records, or nullptr with the exception set.
Ref records_to_py(Records&& records);

// Reads the file at `path` (bytes in the file-system encoding) into a new Psf,
// or returns nullptr with the exception set: OSError for opening or mapping,
// ValueError for every parse failure, or what a conversion raised.
Ref read_psf_file(const std::string& path);

}  // namespace quarn::driver
