// Non-swept values: decoding one value of a declared type.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "types/cursor.h"
#include "types/datatype.h"

namespace quarn {

struct StructMemberValue;

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
    std::vector<StructMemberValue> members;  // in member order; never nested
  };
  std::variant<Int, Float, Complex, String, Struct> v;
};

struct StructMemberValue {
  std::string name;
  ScalarValue value;
};

struct NamedScalar {
  std::string name;
  ScalarValue value;
};

Result<ScalarValue> read_scalar(Cursor& cur, Datatype type);
Result<ScalarValue> read_struct_value(Cursor& cur, const std::vector<StructMemberType>& members);

}  // namespace quarn
