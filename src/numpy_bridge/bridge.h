// Parsed records to Python objects: series to NumPy arrays over the parser's
// own buffers (no copy), scalar values to int/float/complex/str/dict.
#pragma once

#include <unordered_map>
#include <vector>

#include "module/ref.h"
#include "reader/parse_state.h"
#include "reader/scalar.h"

namespace quarn::numpy_bridge {

// The qualified names of the two classes below. Each extension module links
// its own copy of this code and so has its own keeper type. The internal
// error class is one for the package: quarn._quarn makes it (`internal_error`
// names it) and a module that is given nullptr takes that same class, found
// by its name among BaseException's subclasses (quarn._quarn must have been
// imported), so that one `except` clause catches it whichever module raised
// it. The strings must live as long as the process (literals).
struct Names {
  const char* internal_error;  // "quarn._quarn.InternalError", or nullptr
  const char* keeper;          // e.g. "quarn._quarn.SampleKeeper"
};

// The name of the internal error class quarn._quarn makes.
inline constexpr const char* kInternalErrorModule = "quarn._quarn";
inline constexpr const char* kInternalErrorName = "InternalError";

// Makes the keeper type and makes or finds the internal error class; called
// once per process from module execution. NumPy is not imported here.
bool init(const Names& names) noexcept;

// The exception class of internal failures (derives from BaseException).
PyObject* internal_error_type() noexcept;

// The dict keys of struct values: one str per member of each struct type,
// made for the first value of the type and shared by the dicts of all its
// values. One object serves the values of one result and is dropped with it
// (with the GIL held); nothing is kept from one result to the next.
class StructKeys {
 public:
  // The keys of `members` in member order, or nullptr with an exception set.
  // They stay valid as long as this object.
  const std::vector<Ref>* keys_for(const StructMembers& members);

 private:
  struct Entry {
    StructMembers members;  // held so that no other list can take its address
    std::vector<Ref> keys;
  };
  std::unordered_map<const std::vector<StructMemberType>*, Entry> by_type_;
};

// A new reference, or nullptr with an exception set. All consume their input.
Ref series_to_py(Series&& series);
// The dtype series_to_py gives a series of this kind, or nullptr with the
// exception it would raise (struct member names that repeat).
Ref dtype_of(const Series& kind);
Ref scalar_to_py(ScalarValue&& value, StructKeys& struct_keys);

}  // namespace quarn::numpy_bridge
