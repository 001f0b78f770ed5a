#include "types/chunk_id.h"

namespace quarn {

std::string_view name_of(ChunkId id) noexcept {
  switch (id) {
    case ChunkId::SectionHeader: return "SectionHeader";
    case ChunkId::SectionType: return "SectionType";
    case ChunkId::SectionSweep: return "SectionSweep";
    case ChunkId::SectionTrace: return "SectionTrace";
    case ChunkId::SectionValue: return "SectionValue";
    case ChunkId::SectionEnd: return "SectionEnd";
    case ChunkId::Declaration: return "Declaration";
    case ChunkId::GroupDeclaration: return "GroupDeclaration";
    case ChunkId::StructEnd: return "StructEnd";
    case ChunkId::ContainerIndex: return "ContainerIndex";
    case ChunkId::ContainerPadding: return "ContainerPadding";
    case ChunkId::Container: return "Container";
    case ChunkId::SubContainer: return "SubContainer";
    case ChunkId::PropString: return "PropString";
    case ChunkId::PropInt: return "PropInt";
    case ChunkId::PropFloat: return "PropFloat";
  }
  return "?";
}

}  // namespace quarn
