// The result classes Psf, Sweep, Trace and Value: immutable records that only
// the reader creates.
#pragma once

#include <string>
#include <vector>

#include "module/ref.h"

namespace quarn::result_types {

// Makes the four classes (once per process). Returns false with an exception set.
bool init() noexcept;

// The class objects, for adding to the module.
PyObject* psf_type() noexcept;
PyObject* sweep_type() noexcept;
PyObject* trace_type() noexcept;
PyObject* value_type() noexcept;

enum class Kind { Sweep, Trace, Value };

// A new Sweep, Trace or Value owning `name` and `data`; nullptr with an
// exception set on failure (what it was given is released).
Ref make_named(Kind kind, std::string&& name, Ref data);

// A new Psf owning the three lists of result objects and the header dict.
Ref make_psf(std::vector<Ref>&& sweeps, std::vector<Ref>&& traces, std::vector<Ref>&& values,
             Ref header);

}  // namespace quarn::result_types
