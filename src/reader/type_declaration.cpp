#include "reader/type_declaration.h"

#include <memory>
#include <vector>

#include "reader/properties.h"

namespace quarn {
namespace {

// A declaration whose head has been read and whose end is still to come.
struct Open {
  std::uint32_t id;
  std::string name;
  Datatype type;
  std::vector<StructMemberType> members;  // collected while `type` is Struct
};

// The chunk word, id, name, leading tag and datatype tag.
Result<Open> read_head(Cursor& cur) {
  QUARN_TRY(cur.expect(ChunkId::Declaration));
  auto id = cur.read_u32();
  if (!id) return pass_up(id);
  auto name = cur.read_string();
  if (!name) return pass_up(name);
  auto leading = cur.read_u32();
  if (!leading) return pass_up(leading);
  if (auto t = datatype::from_tag(*leading); !t) return pass_up(t);
  auto tag = cur.read_u32();
  if (!tag) return pass_up(tag);
  auto type = datatype::from_tag(*tag);
  if (!type) return pass_up(type);
  return Open{*id, std::move(*name), *type, {}};
}

// The property list that ends a declaration: kept for the outermost one when
// asked for, passed over otherwise.
Status end_properties(Cursor& cur, PropertyList* keep) {
  if (keep == nullptr) return skip_properties(cur);
  auto list = read_properties(cur);
  if (!list) return pass_up(list);
  *keep = std::move(*list);
  return {};
}

}  // namespace

Result<TypeDeclaration> read_type_declaration(Cursor& cur, PropertyList* properties,
                                              std::vector<PropertyList>* member_properties) {
  // stack.back() is the innermost declaration being read; each entry below
  // it is a struct whose member list it belongs to.
  auto head = read_head(cur);
  if (!head) return pass_up(head);
  if (head->type != Datatype::Struct) {  // the usual case: no members, no stack
    QUARN_TRY(end_properties(cur, properties));
    return TypeDeclaration{head->id, std::move(head->name), TypeInfo{TypeInfo::Scalar{head->type}}};
  }
  std::vector<Open> stack;
  stack.push_back(std::move(*head));

  for (;;) {
    Open& top = stack.back();
    TypeInfo info;
    if (top.type == Datatype::Struct) {
      if (!cur.next_is(ChunkId::StructEnd)) {
        auto member = read_head(cur);
        if (!member) return pass_up(member);
        stack.push_back(std::move(*member));
        continue;
      }
      QUARN_TRY(cur.skip(4));  // the StructEnd word just seen
      if (top.members.empty())
        return fail("struct '{}' has zero fields (empty structs unsupported)", top.name);
      info.v = TypeInfo::Struct{
          std::make_shared<const std::vector<StructMemberType>>(std::move(top.members))};
    } else {
      info.v = TypeInfo::Scalar{top.type};
    }
    // A member of the outermost struct keeps its list when asked for.
    PropertyList member_list;
    PropertyList* keep = stack.size() == 1                                    ? properties
                         : stack.size() == 2 && member_properties != nullptr ? &member_list
                                                                              : nullptr;
    QUARN_TRY(end_properties(cur, keep));

    Open done = std::move(stack.back());
    stack.pop_back();
    if (stack.empty()) return TypeDeclaration{done.id, std::move(done.name), std::move(info)};

    Open& parent = stack.back();
    if (std::holds_alternative<TypeInfo::Struct>(info.v))
      return fail("struct '{}' has a nested struct member '{}' (nested structs are not supported)",
                  parent.name, done.name);
    if (done.type == Datatype::None || done.type == Datatype::Array)
      return fail(
          "struct '{}' member '{}' has unsupported type (only flat scalar struct members are "
          "supported)",
          parent.name, done.name);
    parent.members.push_back(StructMemberType{std::move(done.name), done.type});
    if (keep == &member_list) member_properties->push_back(std::move(member_list));
  }
}

}  // namespace quarn
