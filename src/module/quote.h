// The quoted form of a name, as reprs and messages show it.
#pragma once

#include <string>
#include <string_view>

namespace quarn {

// `name` (UTF-8) between double quotes, with quotes, backslashes, control,
// format, separator, unassigned and private-use characters and combining
// (grapheme-extending) marks escaped. Printability comes from the
// interpreter's Unicode tables, the marks from a table of the same version.
std::string quote_name(std::string_view name);

}  // namespace quarn
