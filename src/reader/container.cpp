#include "reader/container.h"

namespace quarn {

Result<std::uint64_t> read_container_preamble(Cursor& cur, ChunkId expected) {
  QUARN_TRY(cur.expect(expected));
  auto end = cur.read_u32();
  if (!end) return pass_up(end);
  if (expected == ChunkId::Container) {
    if (*end < 4) return fail("invalid CONTAINER size {}", *end);
    return std::uint64_t{*end} - 4;
  }
  return std::uint64_t{*end};
}

Status read_container_index(Cursor& cur, std::uint32_t payload) {
  QUARN_TRY(cur.expect(ChunkId::ContainerIndex));
  auto count = cur.read_u32();
  if (!count) return pass_up(count);
  const std::uint64_t entry = std::uint64_t{payload} + 4;
  if (*count < entry) return {};
  // Each entry is a key word and `payload` bytes, all passed over. The entry
  // count comes from the file, so each step is bounds-checked before it moves.
  for (std::uint64_t n = *count / entry; n > 0; --n) {
    auto key = cur.read_u32();
    if (!key) return pass_up(key);
    QUARN_TRY(cur.skip(payload));
  }
  return {};
}

Status check_container_end(const Cursor& cur, std::string_view section, std::uint64_t end) {
  if (cur.pos() != end)
    return fail("{} container end mismatch: at offset {} but expected {}", section, cur.pos(), end);
  return {};
}

}  // namespace quarn
