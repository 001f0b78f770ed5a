#include "reader/body_index.h"

#include <algorithm>

namespace quarn {
namespace {

// The first and one-past-last of `count` items in part `part` of `parts`.
std::uint64_t part_begin(std::uint64_t count, std::uint64_t part, std::uint64_t parts) noexcept {
  return count / parts * part + std::min<std::uint64_t>(part, count % parts);
}

// Points [from, to) of the series, counted from its first point, which lie
// in frame run `run`; `out` receives them.
void decode_frames(const std::byte* base, std::uint64_t windows, std::uint64_t window,
                   const FrameRun& run, std::uint64_t from, std::uint64_t to, double* out,
                   const PagesDone* pages_done) noexcept {
  const std::uint64_t stride = 8 * windows * (std::uint64_t{run.w} + 1);
  const std::uint64_t at = 8 + 8 * window * (std::uint64_t{run.w} + 1);
  std::uint64_t frame = (from - run.first_point) / run.n;
  std::uint64_t i = (from - run.first_point) % run.n;
  std::uint64_t kept = run.pos + frame * stride + at;  // the first byte not yet given back
  for (std::uint64_t left = to - from; left > 0; ++frame, i = 0) {
    const std::uint64_t k = std::min<std::uint64_t>(run.n - i, left);
    const std::uint64_t pos = run.pos + frame * stride + at + 8 * i;
    load_be_f64s(base + pos, k, out);
    out += k;
    left -= k;
    if (pages_done != nullptr && (left == 0 || pos + 8 * k - kept >= PagesDone::kReleaseSpan)) {
      (*pages_done)(kept, pos + 8 * k);
      kept = pos + 8 * k;
    }
  }
}

void decode_records(const std::byte* base, const BodyIndex& body, std::uint64_t doubles,
                    const SeriesPart& part, std::uint64_t from, std::uint64_t to, double* out,
                    const PagesDone* pages_done) noexcept {
  const CycleRun& seg = body.segments[part.segment];
  const std::uint64_t* offsets = body.offsets.data() + part.offsets_at;
  std::uint64_t m = (from - part.first_point) / part.per_cycle;
  std::uint64_t r = (from - part.first_point) % part.per_cycle;
  std::uint64_t cycle = seg.pos + m * seg.cycle;
  std::uint64_t kept = cycle;  // the first byte not yet given back
  for (std::uint64_t left = to - from; left > 0; --left) {
    load_be_f64s(base + cycle + offsets[r] + 8, doubles, out);
    out += doubles;
    if (++r == part.per_cycle) {
      r = 0;
      cycle += seg.cycle;
      tell_every_span(pages_done, kept, cycle);
    }
  }
  if (pages_done != nullptr) (*pages_done)(kept, std::min(cycle + seg.cycle, seg.pos + seg.cycles * seg.cycle));
}

// Points [from, to) of `series` into `out`, on the calling thread.
void decode_range(const std::byte* base, const BodyIndex& body, const SeriesLayout& series,
                  std::uint64_t from, std::uint64_t to, double* out,
                  const PagesDone* pages_done) noexcept {
  if (from >= to) return;
  if (body.layout == BodyIndex::Layout::Windowed) {
    auto run = std::upper_bound(body.frames.begin(), body.frames.end(), from,
                                [](std::uint64_t p, const FrameRun& r) { return p < r.first_point; });
    for (--run; from < to; ++run) {
      const std::uint64_t end = std::min(to, run->first_point + run->frames * run->n);
      decode_frames(base, body.windows, series.window, *run, from, end, out, pages_done);
      out += end - from;
      from = end;
    }
    return;
  }
  const std::vector<SeriesPart>& parts = series.parts;
  auto part = std::upper_bound(parts.begin(), parts.end(), from,
                               [](std::uint64_t p, const SeriesPart& s) { return p < s.first_point; });
  for (--part; from < to; ++part) {
    const CycleRun& seg = body.segments[part->segment];
    const std::uint64_t end = std::min(to, part->first_point + seg.cycles * part->per_cycle);
    decode_records(base, body, series.doubles, *part, from, end, out, pages_done);
    out += (end - from) * series.doubles;
    from = end;
  }
}

}  // namespace

SeriesLayout layout_of(const BodyIndex& body, std::uint32_t id, std::uint64_t doubles) {
  SeriesLayout out;
  out.doubles = doubles;
  if (body.layout == BodyIndex::Layout::Windowed) {
    // LCOV_EXCL_BR_LINE: every sweep and trace of a Windowed body has its window
    if (auto it = body.window_of.find(id); it != body.window_of.end()) {
      out.window = it->second;
      out.points = body.frame_points;
    }
  } else if (body.layout == BodyIndex::Layout::Simple) {
    if (auto it = body.parts.find(id); it != body.parts.end()) {
      out.parts = it->second;
      const SeriesPart& last = out.parts.back();
      out.points = last.first_point + body.segments[last.segment].cycles * last.per_cycle;
    }
  }
  return out;
}

void decode_points(Bytes data, const BodyIndex& body, const SeriesLayout& series,
                   std::uint64_t start, std::uint64_t stop, double* out,
                   const Concurrency& concurrency, const PagesDone* pages_done) noexcept {
  if (start >= stop) return;
  const std::uint64_t points = stop - start;
  const unsigned parts = concurrency.threads_for(points * series.doubles * 8);
  run_parallel(parts, concurrency.scope, [&](std::size_t part) {
    const std::uint64_t from = start + part_begin(points, part, parts);
    const std::uint64_t to = start + part_begin(points, part + 1, parts);
    decode_range(data.data(), body, series, from, to, out + (from - start) * series.doubles,
                 pages_done);
  });
}

}  // namespace quarn
