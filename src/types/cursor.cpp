#include "types/cursor.h"

#include "types/utf8.h"

namespace quarn {

Failure unexpected_chunk(ChunkId expected, std::uint64_t offset, std::uint32_t got) {
  return fail("expected chunk {} ({}) at offset {}, got {}", expected, number(expected), offset, got);
}

Status Cursor::expect(ChunkId id) {
  auto word = read_u32();
  if (!word) return pass_up(word);
  if (*word != number(id)) return unexpected_chunk(id, pos_ - 4, *word);
  return {};
}

Result<std::string_view> Cursor::read_string_view() {
  auto len = read_u32();
  if (!len) return pass_up(len);
  auto bytes = take(*len);
  if (!bytes) return pass_up(bytes);
  std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  if (auto bad = utf8::validate(text)) {
    std::string detail =
        bad->bad_len == 0
            ? format("incomplete utf-8 byte sequence from index {}", bad->index)
            : format("invalid utf-8 sequence of {} bytes from index {}", bad->bad_len, bad->index);
    return fail("invalid UTF-8 in string at offset {}: {}", pos_, detail);
  }
  if (auto rem = *len % 4; rem != 0) {
    if (auto s = skip(4 - rem); !s) return pass_up(s);
  }
  return text;
}

Result<std::string> Cursor::read_string() {
  auto text = read_string_view();
  if (!text) return pass_up(text);
  return std::string(*text);
}

}  // namespace quarn
