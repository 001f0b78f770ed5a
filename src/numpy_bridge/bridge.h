// Parsed records to Python objects: series to NumPy arrays over the parser's
// own buffers (no copy), scalar values to int/float/complex/str/dict.
#pragma once

#include "module/ref.h"
#include "reader/parse_state.h"
#include "reader/scalar.h"

namespace quarn::numpy_bridge {

// Makes the keeper type and the internal error class; called once per
// process from module execution. NumPy is not imported here.
bool init() noexcept;

// The exception class of internal failures (derives from BaseException).
PyObject* internal_error_type() noexcept;

// A new reference, or nullptr with an exception set. Both consume their input.
Ref series_to_py(Series&& series);
Ref scalar_to_py(ScalarValue&& value);

}  // namespace quarn::numpy_bridge
