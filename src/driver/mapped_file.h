// The open file and its read-only mapping, each owned by a move-only object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "types/cursor.h"
#include "types/result.h"

namespace quarn {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  ~UniqueFd();
  int get() const noexcept { return fd_; }

 private:
  int fd_ = -1;
};

class Mapping {
 public:
  Mapping() = default;
  Mapping(void* base, std::size_t length) noexcept : base_(base), length_(length) {}
  Mapping(Mapping&& o) noexcept
      : base_(std::exchange(o.base_, nullptr)), length_(std::exchange(o.length_, 0)) {}
  Mapping& operator=(Mapping o) noexcept {
    std::swap(base_, o.base_);
    std::swap(length_, o.length_);
    return *this;
  }
  ~Mapping() { reset(); }
  void reset() noexcept;
  const std::byte* data() const noexcept { return static_cast<const std::byte*>(base_); }

 private:
  void* base_ = nullptr;
  std::size_t length_ = 0;
};

// The memory a small file is read into. A buffer of kReadBytes taken from
// the shared stock (`reuse`) goes back to it when freed: a thread that reads
// file after file for another to parse and free then allocates nothing, and
// neither thread takes the other's malloc arena lock. The stock keeps at most
// kStockBuffers; its lock is only ever tried, so a busy stock (or one whose
// lock a fork left taken) means a plain allocation or free instead of a wait.
struct ReadBufferFree {
  bool reuse = false;
  void operator()(std::byte* p) const noexcept;
};
using ReadBuffer = std::unique_ptr<std::byte[], ReadBufferFree>;

// A file opened read-only with all its bytes at hand: mapped whole, or, for a
// small regular file, read into memory (a mapping costs more system work than
// copying a few pages). Failures here are the caller's I/O errors ("cannot
// open ...", "cannot mmap ..."), not parse failures.
class MappedFile {
 public:
  // With `reuse`, a file read into memory is read into a buffer of the stock
  // (see ReadBuffer), whatever its size.
  static Result<MappedFile> open(const std::string& path, bool reuse = false);

  // The first `head` and the last `tail` bytes of a regular file longer than
  // both together, read without mapping it: head then tail in `bytes`.
  // nullopt when the file is not such a file or cannot be read so; opening it
  // the usual way then says why.
  struct Ends {
    std::unique_ptr<std::byte[]> bytes;
    std::size_t head;
    std::size_t tail;
  };
  static std::optional<Ends> read_ends(const std::string& path, std::size_t head,
                                       std::size_t tail);

  // Regular files up to this size are read rather than mapped.
  static constexpr std::size_t kReadBytes = std::size_t{64} << 10;
  static constexpr std::size_t kStockBuffers = 16;
  // The buffers the stock keeps now (for tests).
  static std::size_t stocked() noexcept;

  Bytes bytes() const noexcept {
    return {buffer_ ? buffer_.get() : mapping_.data(), size_};
  }
  // Whether the bytes are a mapping of the file (not a copy read into memory).
  bool mapped() const noexcept { return mapping_.data() != nullptr; }
  // Nothing may refer to the bytes afterwards.
  void unmap() noexcept {
    mapping_.reset();
    buffer_.reset();
    size_ = 0;
  }
  void close() noexcept { fd_ = UniqueFd{}; }

  // What tells this file from another that later takes its path: the device
  // and inode, the size and the modification time (ns) when it was opened.
  struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;
    bool operator==(const Identity&) const = default;
  };
  const Identity& identity() const noexcept { return identity_; }

  // Closes the descriptor, which neither the mapping nor the bytes read into
  // memory need: an open file then holds none. `shrunk_to` afterwards asks
  // `path`, while that is still this file (a file put in its place cannot cut
  // the mapping); `read_at` fails.
  void drop_descriptor(std::string path) {
    if (mapped()) path_ = std::move(path);
    close();
  }

  // The file's size now, where it is smaller than the mapped size: a file cut
  // inside a page reads as zeros up to the page's end instead of faulting, so
  // a parse over it may fail (or even pass) without a bus error.
  std::optional<std::uint64_t> shrunk_to() const noexcept;

  // Reads `n` bytes at `pos` from the file itself, not through the mapping;
  // false unless all of them were read.
  bool read_at(std::uint64_t pos, std::byte* out, std::size_t n) const noexcept;

 private:
  MappedFile(UniqueFd fd, Mapping mapping, ReadBuffer buffer, std::size_t size,
             const Identity& identity) noexcept
      : fd_(std::move(fd)),
        mapping_(std::move(mapping)),
        buffer_(std::move(buffer)),
        size_(size),
        identity_(identity) {}
  UniqueFd fd_;
  std::string path_;  // set once the descriptor is dropped
  Mapping mapping_;
  ReadBuffer buffer_;
  std::size_t size_ = 0;
  Identity identity_;
};

// The message of a file that ended before the bytes it had when opened.
Failure file_shrank(const std::string& path, std::uint64_t offset);

// "{description} (os error {n})" for an error number.
std::string os_error_text(int err);

}  // namespace quarn
