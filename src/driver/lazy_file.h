// A file opened for reading one series, or a stretch of one, at a time: its
// structure is walked and checked once, and the samples stay in the file
// until they are asked for. Knows nothing of Python.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "driver/mapped_file.h"
#include "reader/parallel.h"
#include "reader/parse_state.h"

namespace quarn::driver {

// One sweep or trace: its name, its kind (a Series without samples: real,
// complex, or a struct with its members), what its declaration says of it,
// and where its samples are.
struct LazySeries {
  std::string name;
  Series kind;
  DeclDetails details;
  SeriesLayout layout;
};

// What the walk of a file's bytes yields.
struct LazyIndex {
  PropertyList header;
  std::vector<LazySeries> sweeps;
  std::vector<LazySeries> traces;
  std::vector<NamedScalar> values;        // decoded: they are small and scattered
  std::vector<DeclDetails> value_details;  // one per value
  BodyIndex body;
};

// Walks the file's bytes: fails exactly where, and with the message that,
// `parse` and the assembly of its records fail.
Result<LazyIndex> index_bytes(Bytes data, const Concurrency& concurrency = {},
                              const PagesDone* pages_done = nullptr,
                              const ReadAt* read_at = nullptr);

// A new series of `series`' kind holding its points [start, stop)
// (start <= stop <= points), decoded from `data`, which the index was made of.
Result<Series> read_series(Bytes data, const BodyIndex& body, const LazySeries& series,
                           std::uint64_t start, std::uint64_t stop,
                           const Concurrency& concurrency = {},
                           const PagesDone* pages_done = nullptr);

class LazyFile {
 public:
  // Opens, maps and walks the file at `path` (bytes in the file-system
  // encoding): fails exactly as `load_records` does. The descriptor is closed
  // once the walk is done: an open LazyFile holds its mapping, not a file.
  static Result<LazyFile> open(const std::string& path,
                               unsigned threads = Concurrency::kAvailable);

  // The walk's yield; the header and values may be moved out.
  LazyIndex& index() noexcept { return index_; }

  // Points [start, stop) of `series`, one of this file's. A file that shrank
  // since it was opened fails as `load_records` fails for it (FailureKind::Io).
  Result<Series> read(const LazySeries& series, std::uint64_t start, std::uint64_t stop,
                      unsigned threads = Concurrency::kAvailable) const;

  // The file's identity when it was opened (see MappedFile::Identity).
  const MappedFile::Identity& identity() const noexcept { return identity_; }

  bool is_open() const noexcept { return file_.has_value(); }
  // Unmaps and closes the file; reading afterwards is the caller's error.
  void close() noexcept { file_.reset(); }

 private:
  LazyFile(std::string path, MappedFile file, LazyIndex index)
      : path_(std::move(path)),
        identity_(file.identity()),
        file_(std::move(file)),
        index_(std::move(index)) {}
  // Lets the pages of bytes [pos, pos + length) of the mapping go from the
  // process (the file's cache keeps them; a later read maps them again), so
  // an open file costs memory only while it is read.
  static void let_go(void* file, std::uint64_t pos, std::uint64_t length) noexcept;
  // Reads bytes of the file without its mapping (a ReadAt of the walk).
  static bool read_file(void* file, std::uint64_t pos, std::byte* out, std::size_t n) noexcept;
  std::string path_;
  MappedFile::Identity identity_;
  std::optional<MappedFile> file_;
  LazyIndex index_;
};

}  // namespace quarn::driver
