#include "reader/parse_state.h"

namespace quarn {

Result<std::vector<NamedSeries>> ParseState::take_order(const std::vector<std::uint32_t>& ids) {
  std::vector<NamedSeries> out;
  out.reserve(ids.size());
  for (std::uint32_t id : ids) {
    auto node = decls.extract(id);
    if (node.empty()) return fail("internal: missing declaration {} during assembly", id);
    out.push_back(NamedSeries{std::move(node.mapped().name), std::move(node.mapped().series)});
  }
  return out;
}

}  // namespace quarn
