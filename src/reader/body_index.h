// Where the samples of every sweep and trace stand in a swept VALUE body, as
// a walk of its structure found them: any stretch of one series can then be
// decoded without touching the others.
//
// The positions are kept as strides, not one offset per record: a `Simple`
// body is a few segments of one learnt cycle of records repeated, a
// `Windowed` body a few runs of frames of one size following each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "reader/parallel.h"
#include "types/cursor.h"

namespace quarn {

// Consecutive frames of one window size W and point count N (N > 0).
struct FrameRun {
  std::uint64_t first_point;  // points every series had before the run
  std::uint64_t pos;          // of the first frame's chunk word
  std::uint64_t frames;
  std::uint32_t w;
  std::uint32_t n;
};

// `cycles` repetitions of one cycle of `cycle` bytes of records from `pos`.
struct CycleRun {
  std::uint64_t pos;
  std::uint64_t cycle;
  std::uint64_t cycles;
};

// The records of one series in one cycle segment: `per_cycle` records per
// cycle, at the offsets (from the cycle's start) `offsets[offsets_at...]`.
struct SeriesPart {
  std::uint64_t first_point;  // points the series had before the segment
  std::uint64_t offsets_at;
  std::uint64_t segment;
  std::uint64_t per_cycle;
};

struct BodyIndex {
  enum class Layout : unsigned char { None, Simple, Windowed };
  Layout layout = Layout::None;

  // Windowed: the frame list's length, each id's first place in it, the runs
  // and the points every series of the list has.
  std::uint64_t windows = 0;
  std::unordered_map<std::uint32_t, std::uint64_t> window_of;
  std::vector<FrameRun> frames;
  std::uint64_t frame_points = 0;

  // Simple: the segments, every series' parts by id, the record offsets.
  std::vector<CycleRun> segments;
  std::unordered_map<std::uint32_t, std::vector<SeriesPart>> parts;
  std::vector<std::uint64_t> offsets;
};

// The samples of one series in an indexed body.
struct SeriesLayout {
  std::uint64_t points = 0;
  std::uint64_t doubles = 1;            // per point
  std::uint64_t window = 0;             // Windowed: its place in the frame list
  std::vector<SeriesPart> parts;        // Simple
};

// The layout of declaration `id`, whose points have `doubles` doubles, in a
// body indexed as `body`.
SeriesLayout layout_of(const BodyIndex& body, std::uint32_t id, std::uint64_t doubles);

// Told of each stretch of `data` a decoding has finished with, about every
// kReleaseSpan bytes: the owner of a mapping can then let its pages go, so a
// read holds only a few stretches of the file at once, whatever it spans. A
// walk or read split over threads tells it from each of them, at once.
struct PagesDone {
  static constexpr std::uint64_t kReleaseSpan = std::uint64_t{8} << 20;
  void (*done)(void* context, std::uint64_t pos, std::uint64_t length) noexcept;
  void* context;
  void operator()(std::uint64_t pos, std::uint64_t end) const noexcept {
    if (end > pos) done(context, pos, end - pos);
  }
};

// Reads bytes of the data being walked straight from the file behind its
// mapping. A head checked through the mapping costs a page fault that maps the
// pages around it too, and letting them go again; for heads `worth_from` or
// more bytes apart one small read each is cheaper. `read` gives false when
// the bytes cannot all be read (the file shrank, an I/O error): the walk then
// goes on through the mapping, which meets the same end and says so.
struct ReadAt {
  bool (*read)(void* context, std::uint64_t pos, std::byte* out, std::size_t n) noexcept;
  void* context;
  std::uint64_t worth_from;
};

// Tells `pages_done`, if any, of [kept, at) once that spans kReleaseSpan
// bytes, and then moves `kept` to `at`.
inline void tell_every_span(const PagesDone* pages_done, std::uint64_t& kept,
                            std::uint64_t at) noexcept {
  if (pages_done == nullptr || at - kept < PagesDone::kReleaseSpan) return;
  (*pages_done)(kept, at);
  kept = at;
}

// Decodes points [start, stop) of `series` (stop <= series.points) into
// `out`, which has room for their doubles, on up to `concurrency.threads`
// threads. Reads only the bytes that hold those points; never reads outside
// `data`, which must be the bytes the index was made of.
void decode_points(Bytes data, const BodyIndex& body, const SeriesLayout& series,
                   std::uint64_t start, std::uint64_t stop, double* out,
                   const Concurrency& concurrency = {},
                   const PagesDone* pages_done = nullptr) noexcept;

}  // namespace quarn
