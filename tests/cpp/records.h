// Renders parsed records as short canonical text, so tests compare whole
// records at once and a failure shows both sides readably. Floats are written
// as their 64-bit patterns, so a compared sample must match bit for bit.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "reader/parse_state.h"
#include "reader/properties.h"
#include "reader/scalar.h"

namespace quarn_test {

// A struct member list as one type declaration makes it.
inline quarn::StructMembers struct_members(std::vector<quarn::StructMemberType> members) {
  return std::make_shared<const std::vector<quarn::StructMemberType>>(std::move(members));
}

// A list of Float64 members with these names, as a swept struct series has.
inline quarn::StructMembers float_members(const std::vector<std::string>& names) {
  std::vector<quarn::StructMemberType> members;
  for (const auto& n : names) members.push_back({n, quarn::Datatype::Float64});
  return struct_members(std::move(members));
}

inline std::string hex64(double d) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%016llx",
                static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(d)));
  return buf;
}

// The same text for a list of doubles given by the test. (No overload for a
// single double: `bits({1})` must mean a list of one.)
inline std::string bits(const std::vector<double>& v) {
  std::string out = "[";
  for (std::size_t i = 0; i < v.size(); ++i) out += (i ? " " : "") + hex64(v[i]);
  return out + "]";
}

inline std::string bits(const quarn::SampleBuffer& b) {
  return bits(std::vector<double>(b.data(), b.data() + b.size()));
}

inline std::string describe(const quarn::ScalarValue& v) {
  using SV = quarn::ScalarValue;
  if (auto* i = std::get_if<SV::Int>(&v.v)) return "Int(" + std::to_string(i->value) + ")";
  if (auto* f = std::get_if<SV::Float>(&v.v)) return "Float(" + hex64(f->value) + ")";
  if (auto* c = std::get_if<SV::Complex>(&v.v)) return "Complex(" + hex64(c->re) + "," + hex64(c->im) + ")";
  if (auto* s = std::get_if<SV::String>(&v.v)) return "String(" + s->value + ")";
  if (auto* a = std::get_if<SV::Array>(&v.v)) {
    std::string out = "Array[";
    for (std::size_t i = 0; i < a->values.size(); ++i) out += (i ? ", " : "") + describe(a->values[i]);
    return out + "]";
  }
  std::string out = "Struct{";
  const auto& s = std::get<SV::Struct>(v.v);
  if (s.values.size() != s.members->size()) out += "(values and members differ in number) ";
  for (std::size_t i = 0; i < s.values.size() && i < s.members->size(); ++i)
    out += (i ? ", " : "") + (*s.members)[i].name + "=" + describe(s.values[i]);
  return out + "}";
}

inline std::string describe(const std::vector<quarn::NamedScalar>& values) {
  std::string out;
  for (const auto& v : values) out += v.name + ":" + describe(v.value) + ";";
  return out;
}

// "Real", "Complex" or "Struct[a,b]" followed by the samples' bit patterns.
inline std::string describe(const quarn::Series& s) {
  std::string kind;
  if (std::holds_alternative<quarn::Series::Real>(s.v)) {
    kind = "Real";
  } else if (std::holds_alternative<quarn::Series::Complex>(s.v)) {
    kind = "Complex";
  } else {
    const auto& st = std::get<quarn::Series::Struct>(s.v);
    kind = "Struct" + std::to_string(st.width()) + "[";
    for (std::size_t i = 0; i < st.members->size(); ++i)
      kind += (i ? "," : "") + (*st.members)[i].name;
    kind += "]";
  }
  return kind + bits(s.samples());
}

inline std::string describe(const quarn::PropertyList& props) {
  using PV = quarn::PropValue;
  std::string out;
  for (const auto& p : props) {
    out += p.name + "=";
    if (auto* s = std::get_if<PV::String>(&p.value.v)) out += "String(" + s->value + ")";
    else if (auto* i = std::get_if<PV::Int>(&p.value.v)) out += "Int(" + std::to_string(i->value) + ")";
    else out += "Float(" + hex64(std::get<PV::Float>(p.value.v).value) + ")";
    out += ";";
  }
  return out;
}

inline std::string describe(const std::vector<std::uint32_t>& ids) {
  std::string out = "[";
  for (std::size_t i = 0; i < ids.size(); ++i) out += (i ? "," : "") + std::to_string(ids[i]);
  return out + "]";
}

// The whole parse state, declarations sorted by id (their table order is
// not part of any result).
inline std::string describe(const quarn::ParseState& st) {
  std::map<std::uint32_t, const quarn::DataDecl*> sorted;
  for (const auto& [id, d] : st.decls) sorted.emplace(id, &d);
  std::string out = "sweeps=" + describe(st.sweep_order) + " traces=" + describe(st.trace_order) + " decls={";
  bool first = true;
  for (const auto& [id, d] : sorted) {
    out += (first ? "" : ", ") + std::to_string(id) + ":" + d->name + " " + describe(d->series);
    first = false;
  }
  return out + "} values=" + describe(st.values);
}

}  // namespace quarn_test

// Lets gtest print a table row by its label instead of as raw bytes. Use in
// the namespace of the row type.
#define QUARN_TEST_PRINTS_LABEL(Type) \
  [[maybe_unused]] inline void PrintTo(const Type& row, std::ostream* os) { *os << row.label; }
