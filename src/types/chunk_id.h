// The numbered chunk identifiers of the format and their printed names.
#pragma once

#include <cstdint>
#include <string_view>

namespace quarn {

enum class ChunkId : std::uint32_t {
  SectionHeader = 0,
  SectionType = 1,
  SectionSweep = 2,
  SectionTrace = 3,
  SectionValue = 4,
  SectionEnd = 15,
  Declaration = 16,
  GroupDeclaration = 17,
  StructEnd = 18,
  ContainerIndex = 19,
  ContainerPadding = 20,
  Container = 21,
  SubContainer = 22,
  PropString = 33,
  PropInt = 34,
  PropFloat = 35,
};

constexpr std::uint32_t number(ChunkId id) noexcept { return static_cast<std::uint32_t>(id); }

// The name messages print for an expected chunk.
std::string_view name_of(ChunkId id) noexcept;

}  // namespace quarn
