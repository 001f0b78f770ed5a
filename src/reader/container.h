// Container framing shared by every section: preambles, indexes, the end check.
#pragma once

#include <cstdint>
#include <string_view>

#include "types/cursor.h"

namespace quarn {

// Reads the chunk word (must be `expected`) and the end word; returns the
// container's end offset: end word - 4 for a Container, the end word itself
// for a SubContainer.
Result<std::uint64_t> read_container_preamble(Cursor& cur, ChunkId expected);

// Passes over a ContainerIndex whose entries carry `payload` bytes after
// their 4-byte key; nothing in it is kept.
Status read_container_index(Cursor& cur, std::uint32_t payload);

// Fails unless the cursor stands exactly at the container end `end`.
Status check_container_end(const Cursor& cur, std::string_view section, std::uint64_t end);

}  // namespace quarn
