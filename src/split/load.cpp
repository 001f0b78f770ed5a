#include "split/load.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include <sys/stat.h>

#include "driver/bus_guard.h"
#include "driver/mapped_file.h"
#include "split/data_file.h"
#include "split/main_file.h"
#include "types/utf8.h"

namespace quarn::split {
namespace {

// The main file parsed under the guard against a file that shrinks.
Result<MainFile> read_main(const std::string& path) {
  auto file = MappedFile::open(path);
  if (!file) return pass_up(file);
  Result<MainFile> parsed = Failure{};
  std::optional<std::uint64_t> data_end;
  {
    BusGuard guard(file->bytes());
    parsed = parse_main_file(file->bytes());
    data_end = guard.fault_offset();
  }
  // LCOV_EXCL_BR_LINE: a file cut between the open and this check, a race
  if (!data_end) data_end = file->shrunk_to();
  // LCOV_EXCL_BR_LINE: a file cut between the open and this check, a race
  if (data_end) return file_shrank(utf8::lossy(path), *data_end);
  if (!parsed) return fail("{}: {}", utf8::lossy(path), parsed.error());
  return parsed;
}

bool exists(const std::string& path) noexcept {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Where a trace's chunk 0x24 disagrees with the decoded samples: the siblings
// belong to different runs, or a file is damaged.
Status check_summary(const SignalSummary& s, const DecodedData& data, std::size_t i,
                     const std::string& trace, const std::string& main_name) {
  auto differs = [&](std::string_view field, const std::string& chunk, const std::string& decoded) {
    return fail("{}: trace '{}': chunk 0x24 gives {} {}, the data file {}", main_name, trace, field,
                chunk, decoded);
  };
  auto text = [](double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return std::string(buf);
  };
  auto same = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
  const std::uint64_t n = data.points;
  if (s.record_at != data.record_at[i])
    return differs("record offset", format("{}", s.record_at), format("{}", data.record_at[i]));
  if (s.points != n) return differs("n", format("{}", s.points), format("{}", n));
  const double* x = data.sweep.data();
  if (!same(s.first_x, x[0])) return differs("first x", text(s.first_x), text(x[0]));
  if (!same(s.last_x, x[n - 1])) return differs("last x", text(s.last_x), text(x[n - 1]));
  const double* y = data.traces[i].data();
  double lo = y[0], hi = y[0];
  for (std::uint64_t j = 0; j < n; ++j) {
    if (std::isnan(y[j])) return {};
    lo = std::min(lo, y[j]);
    hi = std::max(hi, y[j]);
  }
  if (s.min_y != lo) return differs("minimum y", text(s.min_y), text(lo));
  if (s.max_y != hi) return differs("maximum y", text(s.max_y), text(hi));
  return {};
}

}  // namespace

Result<driver::Records> load_split(const std::string& main_path, unsigned threads) {
  auto main = read_main(main_path);
  if (!main) return pass_up(main);
  const std::string main_name = utf8::lossy(main_path);

  const std::string psfxl = main_path + ".psfxl", dat = main_path + ".dat";
  const bool has_psfxl = exists(psfxl), has_dat = exists(dat);
  if (!has_psfxl && !has_dat)
    return fail_io("{}: split main file without a data file (looked for {} and {}), or a single "
                   "file never finished",
                   main_name, utf8::lossy(psfxl), utf8::lossy(dat));
  if (has_psfxl && has_dat)
    return fail("{}: both {} and {} exist", main_name, utf8::lossy(psfxl), utf8::lossy(dat));
  const std::string& data_path = has_psfxl ? psfxl : dat;
  const std::string data_name = utf8::lossy(data_path);

  auto file = MappedFile::open(data_path);
  if (!file) return pass_up(file);
  Result<DecodedData> decoded = Failure{};
  std::optional<std::uint64_t> data_end;
  {
    BusGuard guard(file->bytes());
    decoded = decode_data_file(file->bytes(), data_name,
                               has_psfxl ? DataSuffix::Psfxl : DataSuffix::Dat,
                               main->traces.size(),
                               Concurrency{.threads = threads, .scope = &guard});
    data_end = guard.fault_offset();
  }
  // LCOV_EXCL_BR_LINE: a file cut between the open and this check, a race
  if (!data_end) data_end = file->shrunk_to();
  // LCOV_EXCL_BR_LINE: a file cut between the open and this check, a race
  if (data_end) return file_shrank(data_name, *data_end);
  if (!decoded) return pass_up(decoded);
  file->unmap();
  file->close();

  for (std::size_t i = 0; i < main->traces.size(); ++i)
    if (main->summaries[i])
      QUARN_TRY(check_summary(*main->summaries[i], *decoded, i, main->traces[i], main_name));

  driver::Records records;
  records.header = std::move(main->header);
  records.sweeps.push_back(NamedSeries{std::move(main->sweep), Series{Series::Real{std::move(decoded->sweep)}}});
  records.traces.reserve(main->traces.size());
  for (std::size_t i = 0; i < main->traces.size(); ++i)
    records.traces.push_back(
        NamedSeries{std::move(main->traces[i]), Series{Series::Real{std::move(decoded->traces[i])}}});
  return records;
}

Result<PropertyList> load_split_header(const std::string& main_path) {
  auto main = read_main(main_path);
  if (!main) return pass_up(main);
  return std::move(main->header);
}

bool is_split_main(const std::string& path) {
  auto head = MappedFile::read_ends(path, 16, 12);
  if (head) {
    const std::byte* b = head->bytes.get();
    if (load_be32(b) != 1024 || std::memcmp(b + 16, "Clarissa", 8) == 0) return false;
  }
  auto main = read_main(path);
  return main.has_value();
}

}  // namespace quarn::split
