#include "reader/properties.h"

#include <string_view>

namespace quarn {
namespace {

bool is_property_chunk(std::uint32_t w) noexcept {
  return w == number(ChunkId::PropString) || w == number(ChunkId::PropInt) ||
         w == number(ChunkId::PropFloat);
}

// One property as read, its strings still views into the file.
struct PropertyView {
  std::string_view name;
  std::variant<std::string_view, std::uint32_t, double> value;
};

// Reads one property chunk whose identifier has been peeked as `tag`.
Result<PropertyView> read_property(Cursor& cur, std::uint32_t tag) {
  QUARN_TRY(cur.skip(4));
  auto name = cur.read_string_view();
  if (!name) return pass_up(name);
  if (tag == number(ChunkId::PropString)) {
    auto s = cur.read_string_view();
    if (!s) return pass_up(s);
    return PropertyView{*name, *s};
  }
  if (tag == number(ChunkId::PropInt)) {
    auto i = cur.read_u32();
    if (!i) return pass_up(i);
    return PropertyView{*name, *i};
  }
  auto f = cur.read_f64();
  if (!f) return pass_up(f);
  return PropertyView{*name, *f};
}

PropValue owned_value(const PropertyView& p) {
  if (const auto* s = std::get_if<std::string_view>(&p.value))
    return PropValue{PropValue::String{std::string(*s)}};
  if (const auto* i = std::get_if<std::uint32_t>(&p.value)) return PropValue{PropValue::Int{*i}};
  return PropValue{PropValue::Float{std::get<double>(p.value)}};
}

// The room a list gets at its first property: a usual HEADER fits.
constexpr std::size_t kTypicalCount = 16;

}  // namespace

Result<PropertyList> read_properties(Cursor& cur) {
  PropertyList list;
  std::uint32_t tag;
  while (cur.peek_u32(tag) && is_property_chunk(tag)) {
    auto prop = read_property(cur, tag);
    if (!prop) return pass_up(prop);
    if (list.empty()) list.reserve(kTypicalCount);
    list.push_back(Property{std::string(prop->name), owned_value(*prop)});
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
