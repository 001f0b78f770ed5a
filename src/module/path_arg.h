// The `path` argument of the reading functions of both extension modules.
#pragma once

#include <string>

#include "module/ref.h"

namespace quarn {

// A str (or path-like giving a str) as bytes in the file-system encoding, or
// false with an exception set. Bytes are refused; a TypeError (exactly that
// class) is re-raised as "argument 'path': ...".
bool convert_path(PyObject* arg, std::string& out);

}  // namespace quarn
