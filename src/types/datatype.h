// Element types named by the format, declared types, and the type table.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "types/result.h"

namespace quarn {

enum class Datatype : std::uint8_t { None, Int8, String, Array, Int32, Float64, Complex, Struct };

// The printed name of a datatype ("Float64", "Int32", ...).
std::string_view name_of(Datatype t) noexcept;

namespace datatype {
// Maps a tag of the file to its datatype, or fails with "unknown datatype tag {}".
Result<Datatype> from_tag(std::uint32_t tag);
}  // namespace datatype

struct StructMemberType {
  std::string name;
  Datatype type;
};

// The members of one declared struct type, in declaration order. One list is
// made per type declaration and never changes; every series and value of the
// type refers to it, so a name exists once however often the type is used.
using StructMembers = std::shared_ptr<const std::vector<StructMemberType>>;

// A declared type: one scalar datatype, or a flat struct of scalar members.
struct TypeInfo {
  struct Scalar {
    Datatype type;  // never Struct
  };
  struct Struct {
    StructMembers members;  // never null; at least one; none is None, Array or Struct
  };
  std::variant<Scalar, Struct> v;
};

// Type id to declared type; a later declaration of an id replaces the earlier.
using TypeTable = std::unordered_map<std::uint32_t, TypeInfo>;

}  // namespace quarn
