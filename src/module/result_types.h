// The result classes Psf, Sweep, Trace and Value: immutable records that only
// the reader creates.
#pragma once

#include <string>
#include <vector>

#include "module/ref.h"

namespace quarn::result_types {

// Makes the four classes (once per process). Returns false with an exception set.
bool init() noexcept;

// For a module other than quarn._quarn: takes the four classes from
// quarn._quarn (importing it) instead of making new ones, so that results of
// every module are instances of the one Psf, Sweep, Trace and Value. Each
// module has its own copy of this code; the classes' layout is checked to be
// the one this copy builds. Returns false with an exception set.
bool adopt() noexcept;

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
