#include "reader/properties.h"

namespace quarn {
namespace {

bool is_property_chunk(std::uint32_t w) noexcept {
  return w == number(ChunkId::PropString) || w == number(ChunkId::PropInt) ||
         w == number(ChunkId::PropFloat);
}

// Reads one property chunk whose identifier has been peeked as `tag`.
Result<Property> read_property(Cursor& cur, std::uint32_t tag) {
  QUARN_TRY(cur.skip(4));
  auto name = cur.read_string();
  if (!name) return pass_up(name);
  if (tag == number(ChunkId::PropString)) {
    auto s = cur.read_string();
    if (!s) return pass_up(s);
    return Property{std::move(*name), PropValue{PropValue::String{std::move(*s)}}};
  }
  if (tag == number(ChunkId::PropInt)) {
    auto i = cur.read_u32();
    if (!i) return pass_up(i);
    return Property{std::move(*name), PropValue{PropValue::Int{*i}}};
  }
  auto f = cur.read_f64();
  if (!f) return pass_up(f);
  return Property{std::move(*name), PropValue{PropValue::Float{*f}}};
}

}  // namespace

Result<PropertyList> read_properties(Cursor& cur) {
  PropertyList list;
  std::uint32_t tag;
  while (cur.peek_u32(tag) && is_property_chunk(tag)) {
    auto prop = read_property(cur, tag);
    if (!prop) return pass_up(prop);
    list.push_back(std::move(*prop));
  }
  return list;
}

Status skip_properties(Cursor& cur) {
  std::uint32_t tag;
  while (cur.peek_u32(tag) && is_property_chunk(tag)) {
    auto prop = read_property(cur, tag);
    if (!prop) return pass_up(prop);
  }
  return {};
}

}  // namespace quarn
