#include "reader/data_declaration.h"

#include <vector>

#include "reader/properties.h"

namespace quarn {
namespace {

// The empty series a swept declaration of `info` gets, or the refusal.
Result<Series> series_for(const TypeInfo& info, const std::string& name) {
  if (const auto* scalar = std::get_if<TypeInfo::Scalar>(&info.v)) {
    if (scalar->type == Datatype::Float64) return Series{Series::Real{}};
    if (scalar->type == Datatype::Complex) return Series{Series::Complex{}};
    return fail("trace/sweep '{}' has unsupported datatype {}", name, scalar->type);
  }
  const StructMembers& members = std::get<TypeInfo::Struct>(info.v).members;
  for (const auto& m : *members)
    if (m.type != Datatype::Float64)
      return fail(
          "swept struct trace '{}' member '{}' has non-FLOAT64 type {} (only flat float64 struct "
          "traces are supported; heterogeneous structs are supported as non-swept values only)",
          name, m.name, m.type);
  return Series{Series::Struct{members, {}}};
}

// Everything of a plain declaration (chunk 16) after its name, up to but not
// including its property list.
Status read_declaration_body(Cursor& cur, const TypeTable& types, ParseState& state,
                             DeclContext context, std::uint32_t id, std::string&& name) {
  auto type_id = cur.read_u32();
  if (!type_id) return pass_up(type_id);
  auto found = types.find(*type_id);
  if (found == types.end())
    return fail("declaration {} references unknown type id {}", id, *type_id);
  const TypeInfo& info = found->second;

  if (context == DeclContext::Value) {
    auto value = std::holds_alternative<TypeInfo::Struct>(info.v)
                     ? read_struct_value(cur, std::get<TypeInfo::Struct>(info.v).members)
                     : read_scalar(cur, std::get<TypeInfo::Scalar>(info.v).type);
    if (!value) return pass_up(value);
    state.values.push_back(NamedScalar{std::move(name), std::move(*value)});
    return {};
  }

  auto series = series_for(info, name);
  if (!series) return pass_up(series);
  state.decls.insert_or_assign(id, DataDecl{std::move(name), std::move(*series)});
  (context == DeclContext::Sweep ? state.sweep_order : state.trace_order).push_back(id);
  return {};
}

// A declaration read for the lazy reader: as `read_declaration_body` and its
// property list, keeping the list (after its type's) and its group's name.
Status read_declaration_details(Cursor& cur, const TypeTable& types, ParseState& state,
                                DeclContext context, std::uint32_t id, std::string&& name,
                                std::string group) {
  const std::uint64_t type_at = cur.pos();
  QUARN_TRY(read_declaration_body(cur, types, state, context, id, std::move(name)));
  auto own = read_properties(cur);
  if (!own) return pass_up(own);

  DeclDetails details;
  details.group = std::move(group);
  const std::uint32_t type_id = load_be32(cur.data().data() + type_at);
  if (auto it = state.lazy->type_properties.find(type_id); it != state.lazy->type_properties.end())
    details.properties = it->second;
  if (auto it = state.lazy->type_names.find(type_id); it != state.lazy->type_names.end())
    details.type_name = it->second;
  if (auto it = state.lazy->member_properties.find(type_id);
      it != state.lazy->member_properties.end())
    details.member_properties = it->second;
  details.properties.insert(details.properties.end(), std::make_move_iterator(own->begin()),
                            std::make_move_iterator(own->end()));
  LazyRecord& lazy = *state.lazy;
  (context == DeclContext::Value   ? lazy.values
   : context == DeclContext::Sweep ? lazy.sweeps
                                   : lazy.traces)
      .push_back(std::move(details));
  return {};
}

}  // namespace

Status read_data_declaration(Cursor& cur, const TypeTable& types, ParseState& state,
                             DeclContext context) {
  // Members still to read of each open group, outermost first, and (for the
  // lazy reader) the groups' names.
  std::vector<std::uint32_t> open_groups;
  std::vector<std::string> group_names;
  LazyRecord* lazy = state.lazy.get();
  for (;;) {
    const std::uint64_t start = cur.pos();
    auto chunk = cur.read_u32();
    if (!chunk) return pass_up(chunk);
    auto id = cur.read_u32();
    if (!id) return pass_up(id);
    auto name = cur.read_string();
    if (!name) return pass_up(name);

    bool finished;  // whether this chunk is complete, property list included
    if (*chunk == number(ChunkId::Declaration)) {
      if (lazy == nullptr) {
        QUARN_TRY(read_declaration_body(cur, types, state, context, *id, std::move(*name)));
        QUARN_TRY(skip_properties(cur));
      } else {
        QUARN_TRY(read_declaration_details(cur, types, state, context, *id, std::move(*name),
                                           group_names.empty() ? std::string() : group_names.back()));
      }
      finished = true;
    } else if (*chunk == number(ChunkId::GroupDeclaration)) {
      auto count = cur.read_u32();
      if (!count) return pass_up(count);
      open_groups.push_back(*count);
      if (lazy != nullptr) group_names.push_back(std::move(*name));
      finished = false;
    } else {
      return fail("expected DECLARATION (16) or GROUP_DECLARATION (17) at offset {}, got {}",
                  start, *chunk);
    }

    // Close every group whose members are all read: its property list follows
    // its last member, and it then counts as one member of its parent.
    for (;;) {
      if (finished) {
        if (open_groups.empty()) return {};
        --open_groups.back();
        finished = false;
      }
      if (open_groups.back() != 0) break;
      QUARN_TRY(skip_properties(cur));
      open_groups.pop_back();
      if (lazy != nullptr) group_names.pop_back();
      finished = true;
    }
  }
}

}  // namespace quarn
