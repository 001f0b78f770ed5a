// Non-swept values: decoding one value of a declared type.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "types/cursor.h"
#include "types/datatype.h"

namespace quarn {

struct ScalarValue {
  struct Int {
    std::int64_t value;
  };
  struct Float {
    double value;
  };
  struct Complex {
    double re;
    double im;
  };
  struct String {
    std::string value;
  };
  struct Struct {
    StructMembers members;            // the type's list, shared with its other values
    std::vector<ScalarValue> values;  // values[i] is member i's; never a Struct
  };
  struct Array {  // text files only; the elements are of one kind, never an Array
    std::vector<ScalarValue> values;
  };
  std::variant<Int, Float, Complex, String, Struct, Array> v;
};

struct NamedScalar {
  std::string name;
  ScalarValue value;
};

Result<ScalarValue> read_scalar(Cursor& cur, Datatype type);
// One value of each member in turn; the result refers to `members`.
Result<ScalarValue> read_struct_value(Cursor& cur, const StructMembers& members);

}  // namespace quarn
