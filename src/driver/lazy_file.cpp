#include "driver/lazy_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <utility>

#include "driver/bus_guard.h"
#include "driver/parse.h"
#include "types/utf8.h"

namespace quarn::driver {
namespace {

// The series of `ids`, in order, with their details; `take_order` has
// already checked that every id stands once.
std::vector<LazySeries> lazy_series(const std::vector<std::uint32_t>& ids,
                                    std::vector<NamedSeries>&& taken,
                                    std::vector<DeclDetails>&& details, const BodyIndex& body) {
  std::vector<LazySeries> out;
  out.reserve(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    Series& kind = taken[i].series;
    const std::uint64_t doubles = kind.point_doubles();
    out.push_back(LazySeries{std::move(taken[i].name), std::move(kind), std::move(details[i]),
                             layout_of(body, ids[i], doubles)});
  }
  return out;
}

// A new, empty series of the kind of `kind`.
Series empty_like(const Series& kind) {
  if (std::holds_alternative<Series::Real>(kind.v)) return Series{Series::Real{}};
  if (std::holds_alternative<Series::Complex>(kind.v)) return Series{Series::Complex{}};
  return Series{Series::Struct{std::get<Series::Struct>(kind.v).members, {}}};
}

}  // namespace

Result<LazyIndex> index_bytes(Bytes data, const Concurrency& concurrency,
                              const PagesDone* pages_done, const ReadAt* read_at) {
  auto parsed = parse(data, concurrency, /*lazy=*/true, pages_done, read_at);
  if (!parsed) return pass_up(parsed);
  ParseState& state = parsed->state;
  LazyRecord& lazy = *state.lazy;
  auto sweeps = state.take_order(state.sweep_order);
  if (!sweeps) return pass_up(sweeps);
  auto traces = state.take_order(state.trace_order);
  if (!traces) return pass_up(traces);
  LazyIndex out;
  out.header = std::move(parsed->header);
  out.sweeps = lazy_series(state.sweep_order, std::move(*sweeps), std::move(lazy.sweeps), lazy.body);
  out.traces = lazy_series(state.trace_order, std::move(*traces), std::move(lazy.traces), lazy.body);
  out.values = std::move(state.values);
  out.value_details = std::move(lazy.values);
  out.body = std::move(lazy.body);
  return out;
}

Result<Series> read_series(Bytes data, const BodyIndex& body, const LazySeries& series,
                           std::uint64_t start, std::uint64_t stop,
                           const Concurrency& concurrency, const PagesDone* pages_done) {
  Result<Series> out = empty_like(series.kind);  // made in place: returned without a move
  const std::uint64_t doubles = (stop - start) * series.layout.doubles;
  SampleBuffer& samples = out->samples();
  if (!samples.reserve_more_exact(doubles))
    return fail("cannot allocate memory for {} samples of '{}'", doubles, series.name);
  decode_points(data, body, series.layout, start, stop, samples.extend(doubles), concurrency,
                pages_done);
  return out;
}

Result<LazyFile> LazyFile::open(const std::string& path, unsigned threads) {
  auto file = MappedFile::open(path);
  if (!file) return pass_up(file);

  Result<LazyIndex> index = Failure{};
  std::optional<std::uint64_t> data_end;
  {
    BusGuard guard(file->bytes());
    const PagesDone pages_done{&LazyFile::let_go, &*file};
    // A pread of a frame head costs about what a fault of one page does, and
    // a fault maps 16 pages around the one it needs: heads a few pages apart
    // are cheaper to read than to map.
    const ReadAt read_at{&LazyFile::read_file, &*file, std::uint64_t{16} << 10};
    index = index_bytes(file->bytes(), Concurrency{.threads = threads, .scope = &guard},
                        &pages_done, file->mapped() ? &read_at : nullptr);
    data_end = guard.fault_offset();
  }
  if (!data_end) data_end = file->shrunk_to();
  // LCOV_EXCL_BR_LINE: a file cut between its open and the end of the walk, a race
  if (data_end) return file_shrank(utf8::lossy(path), *data_end);
  if (!index) return pass_up(index);
  LazyFile out(path, std::move(*file), std::move(*index));
  let_go(&*out.file_, 0, out.file_->bytes().size());  // the walk touched every page it checked
  out.file_->drop_descriptor(path);
  return out;
}

void LazyFile::let_go(void* file, std::uint64_t pos, std::uint64_t length) noexcept {
  const auto& mapped = *static_cast<const MappedFile*>(file);
  if (!mapped.mapped()) return;
  static const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t first = (pos + page - 1) / page * page;
  const std::uint64_t end = (pos + length) / page * page;
  if (end <= first) return;
  // Only whole pages inside the stretch; failing to let go costs memory, not data.
  ::madvise(const_cast<std::byte*>(mapped.bytes().data()) + first, end - first, MADV_DONTNEED);
}

bool LazyFile::read_file(void* file, std::uint64_t pos, std::byte* out, std::size_t n) noexcept {
  return static_cast<const MappedFile*>(file)->read_at(pos, out, n);
}

Result<Series> LazyFile::read(const LazySeries& series, std::uint64_t start, std::uint64_t stop,
                              unsigned threads) const {
  Result<Series> out = Failure{};
  std::optional<std::uint64_t> data_end;
  {
    BusGuard guard(file_->bytes());
    const PagesDone pages_done{&LazyFile::let_go,
                               const_cast<void*>(static_cast<const void*>(&*file_))};
    out = read_series(file_->bytes(), index_.body, series, start, stop,
                      Concurrency{.threads = threads, .scope = &guard}, &pages_done);
    data_end = guard.fault_offset();
  }
  if (!data_end) data_end = file_->shrunk_to();
  if (data_end) return file_shrank(utf8::lossy(path_), *data_end);
  return out;
}

}  // namespace quarn::driver
