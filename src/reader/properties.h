// Property lists: the name/value pairs that close the HEADER and every declaration.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "types/cursor.h"

namespace quarn {

struct PropValue {
  struct String {
    std::string value;
  };
  struct Int {
    std::int64_t value;  // an unsigned 32-bit word in binary files; signed in text files
  };
  struct Float {
    double value;
  };
  std::variant<String, Int, Float> v;
};

struct Property {
  std::string name;
  PropValue value;
};

// In file order; a repeated name stays twice.
using PropertyList = std::vector<Property>;

// Reads property chunks until the first word that is not one (or the end of
// the file), which is left unconsumed.
Result<PropertyList> read_properties(Cursor& cur);

// The same walk, keeping nothing: declarations read their list only to pass it.
Status skip_properties(Cursor& cur);

}  // namespace quarn
