// Type declarations of the TYPE section.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reader/properties.h"
#include "types/cursor.h"
#include "types/datatype.h"

namespace quarn {

struct TypeDeclaration {
  std::uint32_t id;
  std::string name;
  TypeInfo info;
};

// Reads one type declaration, struct members included. Members nest as deep
// as the file nests them; they are read with an explicit stack, so the depth
// costs heap in proportion to the bytes read, never call stack. With
// `properties`, the declaration's own property list is kept there, and with
// `member_properties` a struct's members' lists, in member order (otherwise
// they are passed over all the same).
Result<TypeDeclaration> read_type_declaration(
    Cursor& cur, PropertyList* properties = nullptr,
    std::vector<PropertyList>* member_properties = nullptr);

}  // namespace quarn
