// The fuzz target of the text-form reader: bytes in, records or one message out.
//
// Runs under libFuzzer (quarn_fuzz_text) and under the replay main
// (quarn_fuzz_text_replay, fed fuzz/corpus_text by the test run). Beyond "no
// crash, no sanitizer report", a broken rule aborts:
//  - a failure is one UTF-8 message "line L, column C: ..." whose position
//    lies inside the input or just after its end;
//  - a success holds only UTF-8 names and strings, every sweep and trace has
//    the same number of points and whole points of its kind, and the details
//    beside the records match them in number;
//  - the header-only read of the same bytes succeeds whenever the whole read
//    does, with the same pairs;
//  - nothing points into the input: it is parsed from a private copy that is
//    freed before the records are walked.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "text/text_form.h"
#include "types/utf8.h"

namespace {

[[noreturn]] void violated(const char* rule, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_text: invariant violated: %s%s%s\n", rule, detail.empty() ? "" : ": ",
               detail.c_str());
  std::abort();
}

void require(bool ok, const char* rule, const std::string& detail = {}) {
  if (!ok) violated(rule, detail);
}

void require_utf8(const std::string& s, const char* what) {
  require(!quarn::utf8::validate(s).has_value(), what, s);
}

// Reads "line L, column C: " and checks the position against the input.
void check_message(const std::string& message, std::string_view input) {
  require(!message.empty(), "a failure has a message");
  require_utf8(message, "a message is UTF-8");
  unsigned long line = 0, column = 0;
  int used = 0;
  require(std::sscanf(message.c_str(), "line %lu, column %lu: %n", &line, &column, &used) == 2 &&
              used > 0,
          "a message starts with its line and column", message);
  const auto lines = static_cast<unsigned long>(std::count(input.begin(), input.end(), '\n')) + 1;
  require(line >= 1 && line <= lines, "the line lies in the input", message);
  // The line's length in bytes bounds its characters (+1: just past its end).
  std::size_t start = 0;
  for (unsigned long l = 1; l < line; ++l) start = input.find('\n', start) + 1;
  const std::size_t end = std::min(input.find('\n', start), input.size());
  require(column >= 1 && column <= end - start + 1, "the column lies in the line", message);
}

void check_props(const quarn::PropertyList& props) {
  for (const auto& p : props) {
    require_utf8(p.name, "a property name is UTF-8");
    if (const auto* s = std::get_if<quarn::PropValue::String>(&p.value.v))
      require_utf8(s->value, "a property string is UTF-8");
  }
}

// Walks a value with an explicit stack: values nest as deep as types do.
void check_scalar(const quarn::ScalarValue& root) {
  std::vector<const quarn::ScalarValue*> stack{&root};
  while (!stack.empty()) {
    const quarn::ScalarValue* v = stack.back();
    stack.pop_back();
    if (const auto* s = std::get_if<quarn::ScalarValue::String>(&v->v)) {
      require_utf8(s->value, "a string value is UTF-8");
    } else if (const auto* st = std::get_if<quarn::ScalarValue::Struct>(&v->v)) {
      require(st->members && st->members->size() == st->values.size(), "a struct has a value per member");
      for (const auto& m : *st->members) require_utf8(m.name, "a member name is UTF-8");
      for (const auto& e : st->values) stack.push_back(&e);
    } else if (const auto* a = std::get_if<quarn::ScalarValue::Array>(&v->v)) {
      for (const auto& e : a->values) {
        require(!std::holds_alternative<quarn::ScalarValue::Array>(e.v), "no array in an array");
        stack.push_back(&e);
      }
    }
  }
}

void check_records(const quarn::driver::Records& r, const quarn::text::TextExtras& x) {
  check_props(r.header);
  require(x.sweeps.size() == r.sweeps.size() && x.traces.size() == r.traces.size() &&
              x.values.size() == r.values.size(),
          "one detail per sweep, trace and value");
  require(r.sweeps.size() <= 1, "at most one sweep");
  require(r.traces.empty() || !r.sweeps.empty(), "traces only beside a sweep");
  const std::uint64_t points = r.sweeps.empty() ? 0 : r.sweeps[0].series.points();
  for (const auto* list : {&r.sweeps, &r.traces}) {
    for (const auto& s : *list) {
      require_utf8(s.name, "a series name is UTF-8");
      const auto& samples = s.series.samples();
      require(s.series.point_doubles() > 0, "a point holds at least one double");
      require(samples.size() % s.series.point_doubles() == 0, "whole points only", s.name);
      require(samples.capacity() >= samples.size(), "capacity covers the samples");
      require(s.series.points() == points, "every series has the sweep's points", s.name);
    }
  }
  for (const auto& v : r.values) {
    require_utf8(v.name, "a value name is UTF-8");
    check_scalar(v.value);
  }
  for (const auto* list : {&x.sweeps, &x.traces, &x.values})
    for (const auto& d : *list) {
      check_props(d.decl.properties);
      require_utf8(d.type_name, "a type name is UTF-8");
      for (const auto& m : d.member_properties) check_props(m);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::Result<quarn::driver::Records> parsed = quarn::Failure{};
  quarn::Result<quarn::PropertyList> header = quarn::Failure{};
  quarn::text::TextExtras extras;
  std::string input(reinterpret_cast<const char*>(data), size);
  {
    // A private copy, freed before anything parsed is looked at.
    auto copy = std::make_unique<std::byte[]>(size + 1);
    if (size != 0) std::memcpy(copy.get(), data, size);
    const quarn::Bytes bytes(copy.get(), size);
    parsed = quarn::text::parse_text(bytes, &extras);
    header = quarn::text::parse_text_header(bytes);
  }
  if (!parsed) {
    require(parsed.failure_kind() == quarn::FailureKind::Format, "a parse fails as a format failure");
    check_message(parsed.error(), input);
  } else {
    check_records(*parsed, extras);
  }
  if (!header) {
    require(!parsed, "the header reads whenever the whole file does", header.error());
    check_message(header.error(), input);
  } else if (parsed) {
    require(header->size() == parsed->header.size(), "the header-only read gives the same pairs");
    for (std::size_t i = 0; i < header->size(); ++i)
      require((*header)[i].name == parsed->header[i].name, "the header-only read gives the same names");
  }
  return 0;
}
