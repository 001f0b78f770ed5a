// Builds psfbin bytes in memory: big-endian words, strings with their padding,
// containers whose end words are filled in once their content is known, and
// the declarations and sections the readers walk.
//
// Offsets are positions in the one buffer, so a whole file is built in one
// builder and every end word is absolute, as the readers require.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "types/chunk_id.h"
#include "types/cursor.h"

namespace quarn_test {

using quarn::ChunkId;

class ByteBuilder {
 public:
  // An open container: where its end word stands and which kind it is.
  struct Open {
    std::size_t slot;
    ChunkId kind;
  };

  // ---- plain bytes and big-endian numbers ----
  ByteBuilder& u8(std::uint8_t v) {
    buf_.push_back(v);
    return *this;
  }
  ByteBuilder& raw(std::initializer_list<std::uint8_t> bytes) {
    buf_.insert(buf_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  ByteBuilder& raw(std::string_view s) {
    buf_.insert(buf_.end(), s.begin(), s.end());
    return *this;
  }
  ByteBuilder& fill(std::size_t n, std::uint8_t v = 0) {
    buf_.insert(buf_.end(), n, v);
    return *this;
  }
  ByteBuilder& u16(std::uint16_t v) { return u8(static_cast<std::uint8_t>(v >> 8)).u8(static_cast<std::uint8_t>(v)); }
  ByteBuilder& u32(std::uint32_t v) {
    return u16(static_cast<std::uint16_t>(v >> 16)).u16(static_cast<std::uint16_t>(v));
  }
  ByteBuilder& u64(std::uint64_t v) {
    return u32(static_cast<std::uint32_t>(v >> 32)).u32(static_cast<std::uint32_t>(v));
  }
  ByteBuilder& f64(double v) { return u64(std::bit_cast<std::uint64_t>(v)); }
  ByteBuilder& chunk(ChunkId id) { return u32(quarn::number(id)); }

  // A string: its 32-bit length, its bytes, zero padding to the next word.
  ByteBuilder& str(std::string_view s) {
    u32(static_cast<std::uint32_t>(s.size())).raw(s);
    return fill((4 - s.size() % 4) % 4);
  }
  ByteBuilder& append(const ByteBuilder& other) {
    buf_.insert(buf_.end(), other.buf_.begin(), other.buf_.end());
    return *this;
  }

  // ---- containers ----
  // Writes the chunk word and a placeholder end word.
  Open open(ChunkId kind) {
    chunk(kind);
    Open o{buf_.size(), kind};
    u32(0);
    return o;
  }
  // The container ends here: a Container's end word is the end offset + 4,
  // a SubContainer's is the end offset itself.
  ByteBuilder& close(Open o) {
    const auto end = static_cast<std::uint32_t>(buf_.size());
    return patch_u32(o.slot, o.kind == ChunkId::Container ? end + 4 : end);
  }
  ByteBuilder& patch_u32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) buf_[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    return *this;
  }
  // A ContainerIndex of `entries` zeroed entries of 4 + `payload` bytes.
  ByteBuilder& index(std::uint32_t payload, std::uint32_t entries) {
    chunk(ChunkId::ContainerIndex).u32(entries * (4 + payload));
    return fill(std::size_t{entries} * (4 + payload));
  }

  // ---- properties and declarations ----
  ByteBuilder& prop_string(std::string_view name, std::string_view v) { return chunk(ChunkId::PropString).str(name).str(v); }
  ByteBuilder& prop_int(std::string_view name, std::uint32_t v) { return chunk(ChunkId::PropInt).str(name).u32(v); }
  ByteBuilder& prop_float(std::string_view name, double v) { return chunk(ChunkId::PropFloat).str(name).f64(v); }

  // A type declaration's head: chunk, id, name, leading tag, datatype tag.
  // A scalar is complete after it (plus optional properties); a struct (tag 16)
  // continues with member declarations and `chunk(ChunkId::StructEnd)`.
  ByteBuilder& type_decl(std::uint32_t id, std::string_view name, std::uint32_t tag, std::uint32_t leading = 0) {
    return chunk(ChunkId::Declaration).u32(id).str(name).u32(leading).u32(tag);
  }
  // A data declaration up to its value (Value context) or properties.
  ByteBuilder& decl(std::uint32_t id, std::string_view name, std::uint32_t type_id) {
    return chunk(ChunkId::Declaration).u32(id).str(name).u32(type_id);
  }
  // A group header; `count` member declarations and its properties follow.
  ByteBuilder& group(std::uint32_t id, std::string_view name, std::uint32_t count) {
    return chunk(ChunkId::GroupDeclaration).u32(id).str(name).u32(count);
  }

  // ---- files and sections ----
  // The first word and an empty HEADER: 12 bytes, the header ending at 12.
  static ByteBuilder file(std::uint32_t first_word) {
    ByteBuilder b;
    auto h = b.u32(first_word).open(ChunkId::Container);
    b.close(h);
    return b;
  }
  // "Clarissa" and four bytes that are never read.
  ByteBuilder& footer() { return raw("Clarissa").u32(0); }

  // TYPE and TRACE: section word, Container, SubContainer with `content`,
  // an empty index, the Container's end.
  template <class F>
  ByteBuilder& framed_section(ChunkId word, std::uint32_t index_payload, F&& content) {
    chunk(word);
    auto outer = open(ChunkId::Container);
    auto inner = open(ChunkId::SubContainer);
    content(*this);
    close(inner);
    index(index_payload, 0);
    return close(outer);
  }
  template <class F>
  ByteBuilder& type_section(F&& content) { return framed_section(ChunkId::SectionType, 4, content); }
  template <class F>
  ByteBuilder& trace_section(F&& content) { return framed_section(ChunkId::SectionTrace, 12, content); }
  // SWEEP: section word and a Container of declarations.
  template <class F>
  ByteBuilder& sweep_section(F&& content) {
    chunk(ChunkId::SectionSweep);
    auto c = open(ChunkId::Container);
    content(*this);
    return close(c);
  }
  // VALUE: section word, Container holding `body`, SectionEnd.
  template <class F>
  ByteBuilder& value_section(F&& body) {
    chunk(ChunkId::SectionValue);
    auto c = open(ChunkId::Container);
    body(*this);
    close(c);
    return chunk(ChunkId::SectionEnd);
  }
  // The NonSwept body: a SubContainer of value declarations and an empty index.
  template <class F>
  ByteBuilder& non_swept_body(F&& content) {
    auto s = open(ChunkId::SubContainer);
    content(*this);
    close(s);
    return index(4, 0);
  }

  // ---- access ----
  std::size_t size() const noexcept { return buf_.size(); }
  std::uint32_t pos32() const noexcept { return static_cast<std::uint32_t>(buf_.size()); }
  quarn::Bytes bytes() const noexcept { return std::as_bytes(std::span(buf_)); }
  const std::vector<std::uint8_t>& vec() const noexcept { return buf_; }

 private:
  std::vector<std::uint8_t> buf_;
};

}  // namespace quarn_test
