#include "types/datatype.h"

namespace quarn {

std::string_view name_of(Datatype t) noexcept {
  switch (t) {
    case Datatype::None: return "None";
    case Datatype::Int8: return "Int8";
    case Datatype::String: return "String";
    case Datatype::Array: return "Array";
    case Datatype::Int32: return "Int32";
    case Datatype::Float64: return "Float64";
    case Datatype::Complex: return "Complex";
    case Datatype::Struct: return "Struct";
  }
  return "?";
}

Result<Datatype> datatype::from_tag(std::uint32_t tag) {
  switch (tag) {
    case 0: return Datatype::None;
    case 1: return Datatype::Int8;
    case 2: return Datatype::String;
    case 3: return Datatype::Array;
    case 5: return Datatype::Int32;
    case 11: return Datatype::Float64;
    case 12: return Datatype::Complex;
    case 16: return Datatype::Struct;
    default: return fail("unknown datatype tag {}", tag);
  }
}

}  // namespace quarn
