#include "driver/load.h"

#include <optional>
#include <utility>

#include "driver/bus_guard.h"
#include "driver/parse.h"
#include "types/utf8.h"

namespace quarn::driver {
namespace {

// The sweeps and traces of a parsed file in declaration order.
Result<Records> to_records(ParsedFile&& parsed) {
  ParseState& state = parsed.state;
  auto sweeps = state.take_order(state.sweep_order);
  if (!sweeps) return pass_up(sweeps);
  auto traces = state.take_order(state.trace_order);
  if (!traces) return pass_up(traces);
  return Records{std::move(parsed.header), std::move(*sweeps), std::move(*traces),
                 std::move(state.values)};
}

}  // namespace

Result<Records> load_records(Bytes data, unsigned threads) {
  auto parsed = parse(data, Concurrency{.threads = threads});
  if (!parsed) return pass_up(parsed);
  return to_records(std::move(*parsed));
}

Result<PropertyList> load_header(const std::string& path, bool require_footer) {
  // A HEADER most often lies in the file's first page: that page and the
  // footer settle it without reading the rest; otherwise the whole file does.
  constexpr std::size_t kHeadBytes = 4096;
  if (auto ends = MappedFile::read_ends(path, kHeadBytes, 12)) {
    const std::byte* bytes = ends->bytes.get();
    if (auto leading = header_from_ends(Bytes(bytes, ends->head), Bytes(bytes + ends->head, 12),
                                        require_footer))
      return std::move(leading->header);
  }
  auto file = MappedFile::open(path);
  if (!file) return pass_up(file);
  Result<HeaderOnly> parsed = Failure{};
  std::optional<std::uint64_t> data_end;
  {
    BusGuard guard(file->bytes());
    parsed = parse_header(file->bytes(), require_footer);
    data_end = guard.fault_offset();
  }
  // LCOV_EXCL_BR_LINE: a file cut between the open and this check, a race
  if (!data_end) data_end = file->shrunk_to();
  // LCOV_EXCL_BR_LINE: a file cut between the open and this check, a race
  if (data_end) return file_shrank(utf8::lossy(path), *data_end);
  if (!parsed) return pass_up(parsed);
  return std::move(parsed->header);
}

Result<Records> load_records(const std::string& path, unsigned threads) {
  auto file = MappedFile::open(path);
  if (!file) return pass_up(file);
  return load_records(*file, path, threads);
}

Result<Records> load_records(const MappedFile& file, const std::string& path, unsigned threads) {
  Result<ParsedFile> parsed = Failure{};
  std::optional<std::uint64_t> data_end;
  {
    BusGuard guard(file.bytes());
    parsed = parse(file.bytes(), Concurrency{.threads = threads, .scope = &guard});
    data_end = guard.fault_offset();
  }
  // A cut inside a page reads as zeros instead of faulting; whatever the parse
  // made of them, a file that is now shorter than it was is reported as such.
  if (!data_end) data_end = file.shrunk_to();
  if (data_end) return file_shrank(utf8::lossy(path), *data_end);
  if (!parsed) return pass_up(parsed);
  return to_records(std::move(*parsed));
}

}  // namespace quarn::driver
