#include "split/main_file.h"

#include <cstring>
#include <utility>

#include "reader/container.h"
#include "reader/type_declaration.h"
#include "types/datatype.h"

namespace quarn::split {
namespace {

constexpr char kMagic[8] = {'C', 'l', 'a', 'r', 'i', 's', 's', 'a'};
constexpr std::uint32_t kWindowed = 1024;
constexpr std::uint32_t kSummaryChunk = 0x24;
constexpr std::uint64_t kSummaryBytes = 52;

bool has_footer(Bytes data) noexcept {
  return data.size() >= 12 && std::memcmp(data.data() + data.size() - 12, kMagic, 8) == 0;
}

Status read_type_section(Cursor& cur, TypeTable& types) {
  QUARN_TRY(cur.skip(4));
  auto end = read_container_preamble(cur, ChunkId::Container);
  if (!end) return pass_up(end);
  auto decls_end = read_container_preamble(cur, ChunkId::SubContainer);
  if (!decls_end) return pass_up(decls_end);
  while (cur.pos() < *decls_end) {
    auto decl = read_type_declaration(cur);
    if (!decl) return pass_up(decl);
    types.insert_or_assign(decl->id, std::move(decl->info));
  }
  QUARN_TRY(read_container_index(cur, 4));
  return check_container_end(cur, "TYPE", *end);
}

Result<SignalSummary> read_summary(Cursor& cur) {
  QUARN_TRY(cur.skip(4));
  auto span = cur.take(kSummaryBytes - 4);
  if (!span) return pass_up(span);
  auto u64 = [&](std::size_t at) {
    return std::uint64_t{load_be32(span->data() + at)} << 32 | load_be32(span->data() + at + 4);
  };
  return SignalSummary{u64(0), u64(8), load_be_f64(span->data() + 16),
                       load_be_f64(span->data() + 24), load_be_f64(span->data() + 32),
                       load_be_f64(span->data() + 40)};
}

// After a member of the innermost open group (`member`) or an empty group:
// closes every group whose members are all read (its property list follows
// its last member), each counting as one member of its parent.
Status close_groups(Cursor& cur, std::vector<std::uint32_t>& open, bool member) {
  if (member && !open.empty()) --open.back();
  while (!open.empty() && open.back() == 0) {
    QUARN_TRY(skip_properties(cur));
    open.pop_back();
    if (!open.empty()) --open.back();
  }
  return {};
}

// The declarations of SWEEP or TRACE up to `end`, groups flattened depth
// first with an explicit count of the members each open group still has.
Status read_declarations(Cursor& cur, std::uint64_t end, const TypeTable& types, bool trace,
                         MainFile& out, std::vector<std::string>& names) {
  std::vector<std::uint32_t> open;
  while (cur.pos() < end || !open.empty()) {
    const std::uint64_t at = cur.pos();
    auto chunk = cur.read_u32();
    if (!chunk) return pass_up(chunk);
    if (*chunk == kSummaryChunk)
      return fail("chunk 0x24 at offset {} is not right after a trace declaration's type id", at);
    auto id = cur.read_u32();
    if (!id) return pass_up(id);
    auto name = cur.read_string();
    if (!name) return pass_up(name);
    if (*chunk == number(ChunkId::GroupDeclaration)) {
      auto count = cur.read_u32();
      if (!count) return pass_up(count);
      open.push_back(*count);
      if (*count == 0) QUARN_TRY(close_groups(cur, open, false));
    } else if (*chunk == number(ChunkId::Declaration)) {
      auto type_id = cur.read_u32();
      if (!type_id) return pass_up(type_id);
      auto found = types.find(*type_id);
      if (found == types.end())
        return fail("declaration {} references unknown type id {}", *id, *type_id);
      const auto* scalar = std::get_if<TypeInfo::Scalar>(&found->second.v);
      if (scalar == nullptr || scalar->type != Datatype::Float64)
        return fail("{} '{}' has type {}; only Float64 is seen in split form (refused)",
                    trace ? "trace" : "sweep", *name,
                    scalar == nullptr ? std::string_view("Struct") : name_of(scalar->type));
      std::optional<SignalSummary> summary;
      std::uint32_t next = 0;
      if (cur.peek_u32(next) && next == kSummaryChunk) {
        if (!trace)
          return fail("chunk 0x24 at offset {} is not right after a trace declaration's type id",
                      cur.pos());
        auto read = read_summary(cur);
        if (!read) return pass_up(read);
        summary = *read;
      }
      QUARN_TRY(skip_properties(cur));
      names.push_back(std::move(*name));
      if (trace) out.summaries.push_back(summary);
      QUARN_TRY(close_groups(cur, open, true));
    } else {
      return fail("expected DECLARATION (16) or GROUP_DECLARATION (17) at offset {}, got {}", at,
                  *chunk);
    }
  }
  return {};
}

}  // namespace

Result<MainFile> parse_main_file(Bytes data) {
  if (has_footer(data)) return fail("has a footer: an ordinary single file, not a split main file");
  Cursor cur(data);
  auto first = cur.read_u32();
  if (!first) return pass_up(first);
  if (*first != kWindowed)
    return fail("first word is not 0x00000400 (windowed layout): not a split main file");

  MainFile out;
  auto header_end = read_container_preamble(cur, ChunkId::Container);
  if (!header_end) return pass_up(header_end);
  auto header = read_properties(cur);
  if (!header) return pass_up(header);
  QUARN_TRY(check_container_end(cur, "HEADER", *header_end));
  out.header = std::move(*header);

  TypeTable types;
  if (cur.next_is(ChunkId::SectionType)) QUARN_TRY(read_type_section(cur, types));
  std::vector<std::string> sweeps;
  if (cur.next_is(ChunkId::SectionSweep)) {
    QUARN_TRY(cur.skip(4));
    auto end = read_container_preamble(cur, ChunkId::Container);
    if (!end) return pass_up(end);
    QUARN_TRY(read_declarations(cur, *end, types, false, out, sweeps));
    QUARN_TRY(check_container_end(cur, "SWEEP", *end));
  }
  if (cur.next_is(ChunkId::SectionTrace)) {
    QUARN_TRY(cur.skip(4));
    auto end = read_container_preamble(cur, ChunkId::Container);
    if (!end) return pass_up(end);
    auto decls_end = read_container_preamble(cur, ChunkId::SubContainer);
    if (!decls_end) return pass_up(decls_end);
    QUARN_TRY(read_declarations(cur, *decls_end, types, true, out, out.traces));
    QUARN_TRY(read_container_index(cur, 12));
    QUARN_TRY(check_container_end(cur, "TRACE", *end));
  }

  constexpr unsigned char kStub[12] = {0, 0, 0, 4, 0, 0, 0, 0x15, 0xff, 0xff, 0xff, 0xff};
  if (!cur.has(12) || std::memcmp(cur.here(), kStub, 12) != 0)
    return fail("the 12 bytes after TRACE (offset {}) are not the VALUE stub 00000004 00000015 "
                "ffffffff: an unfinished or damaged single file, not a split main file",
                cur.pos());

  const Property* analysis = nullptr;
  for (const Property& p : out.header)
    if (p.name == "analysis type") analysis = &p;
  if (analysis == nullptr) return fail("no 'analysis type' in HEADER (only tran seen)");
  const auto* kind = std::get_if<PropValue::String>(&analysis->value.v);
  if (kind == nullptr || kind->value != "tran")
    return fail("analysis type '{}' (only tran seen)",
                kind == nullptr ? std::string("(not a string)") : kind->value);
  if (sweeps.size() != 1) return fail("{} sweep declarations (exactly one seen)", sweeps.size());
  out.sweep = std::move(sweeps[0]);
  return out;
}

}  // namespace quarn::split
