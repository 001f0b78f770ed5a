// The quoted form of a name, as reprs and messages show it.
#pragma once

#include <string>
#include <string_view>

namespace quarn {

// `name` (UTF-8) between double quotes, with quotes, backslashes, control,
// format, separator, unassigned and private-use characters and combining
// (grapheme-extending) marks escaped. Needs the interpreter (the Unicode
// tables are the runtime's); returns false with an exception set on failure.
bool quote_name(std::string_view name, std::string& out);

}  // namespace quarn
