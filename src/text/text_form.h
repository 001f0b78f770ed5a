// The text form of result files: the same records as the binary reader makes,
// read from whitespace-separated tokens in the sections HEADER, TYPE, SWEEP,
// TRACE, VALUE and END.
//
// A failure is FailureKind::Format with one message that starts with the line
// and column of the offending token ("line 3, column 7: expected ..."), or
// FailureKind::Io when the file cannot be opened, mapped or read to its end.
// Nothing of a failed parse is returned.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "driver/load.h"
#include "reader/parse_state.h"
#include "reader/properties.h"
#include "types/cursor.h"
#include "types/result.h"

namespace quarn::text {

// What the text form says about a sweep, trace or non-swept entry besides
// its value: the binary reader's DeclDetails (the type's properties, then
// the declaration's or entry's own), the name of its type, and, for a struct
// type, each member's property list in member order.
struct TextDetails {
  DeclDetails decl;
  std::string type_name;
  std::vector<PropertyList> member_properties;
};

// One per sweep, trace and value of the records, in the same order.
struct TextExtras {
  std::vector<TextDetails> sweeps;
  std::vector<TextDetails> traces;
  std::vector<TextDetails> values;
};

// Whether `data` starts as a text-form file does: "HEADER" followed by
// whitespace or nothing.
bool looks_like_text(Bytes data) noexcept;

// Parses a whole text-form file. With `extras`, also fills in the details of
// every sweep, trace and value.
Result<driver::Records> parse_text(Bytes data, TextExtras* extras = nullptr);

// The HEADER pairs of a text-form file, reading nothing past the token that
// ends the HEADER section; what follows that token may be malformed.
Result<PropertyList> parse_text_header(Bytes data);

// parse_text over the file at `path` (bytes in the file-system encoding),
// mapped for the parse and released before this returns.
Result<driver::Records> load_text(const std::string& path, TextExtras* extras = nullptr);

}  // namespace quarn::text
