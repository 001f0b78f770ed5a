// The working record of one parse: declared series, their order, the values.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "reader/body_index.h"
#include "reader/properties.h"
#include "reader/sample_buffer.h"
#include "reader/scalar.h"
#include "types/result.h"

namespace quarn {

// The samples of one sweep or trace. The variant is fixed at declaration.
struct Series {
  struct Real {
    SampleBuffer samples;
  };
  struct Complex {
    SampleBuffer samples;  // (real, imaginary) pairs, interleaved
  };
  struct Struct {
    StructMembers members;  // the type's list, shared with every series and value of it
    SampleBuffer samples;   // point after point, `width()` doubles each

    std::uint64_t width() const noexcept { return members->size(); }
  };
  std::variant<Real, Complex, Struct> v;

  SampleBuffer& samples() noexcept {
    return std::visit([](auto& s) -> SampleBuffer& { return s.samples; }, v);
  }
  const SampleBuffer& samples() const noexcept {
    return std::visit([](const auto& s) -> const SampleBuffer& { return s.samples; }, v);
  }
  // Doubles per point: 1, 2 or the struct's width.
  std::uint64_t point_doubles() const noexcept {
    if (std::holds_alternative<Real>(v)) return 1;
    if (std::holds_alternative<Complex>(v)) return 2;
    return std::get<Struct>(v).width();
  }
  std::uint64_t points() const noexcept { return samples().size() / point_doubles(); }
};

struct DataDecl {
  std::string name;
  Series series;
};

struct NamedSeries {
  std::string name;
  Series series;
};

// Declaration id to declaration; ids of sweeps and traces share one table.
using DeclTable = std::unordered_map<std::uint32_t, DataDecl>;

// What a declaration carries besides its name and type that the eager read
// passes over: its property list, after those of its type (so a later name
// wins when the list becomes a dict), and the name of the group it stands in.
struct DeclDetails {
  PropertyList properties;
  std::string group;      // the innermost group's name; empty outside groups
  std::string type_name;  // the name its type is declared under (a device kind)
  std::vector<PropertyList> member_properties;  // a struct type's members' own lists
};

// What a parse for the lazy reader keeps on top of an eager one. The swept
// bodies are walked and indexed instead of decoded.
struct LazyRecord {
  std::unordered_map<std::uint32_t, PropertyList> type_properties;  // by type id
  std::unordered_map<std::uint32_t, std::string> type_names;        // by type id
  std::unordered_map<std::uint32_t, std::vector<PropertyList>> member_properties;  // by type id
  std::vector<DeclDetails> sweeps;  // one per entry of sweep_order
  std::vector<DeclDetails> traces;  // one per entry of trace_order
  std::vector<DeclDetails> values;  // one per entry of values
  BodyIndex body;
  const PagesDone* pages_done = nullptr;  // told of the stretches a walk is done with
  const ReadAt* read_at = nullptr;        // the file behind the bytes, if it may be read
};

struct ParseState {
  std::vector<std::uint32_t> sweep_order;
  std::vector<std::uint32_t> trace_order;
  std::vector<NamedScalar> values;
  DeclTable decls;
  // Null for an eager parse; set before the walk for the lazy reader.
  std::unique_ptr<LazyRecord> lazy;

  // Moves the declarations of `ids` out of `decls`, in the order of `ids`.
  // An id that is not (or no longer) there fails the assembly.
  Result<std::vector<NamedSeries>> take_order(const std::vector<std::uint32_t>& ids);
};

}  // namespace quarn
