#include "driver/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "types/utf8.h"

namespace quarn {
namespace {

// GNU strerror_r returns the text (maybe not in buf); XSI returns an int.
[[maybe_unused]] const char* pick_text(char* result, const char*) { return result; }
[[maybe_unused]] const char* pick_text(int rc, const char* buf) {
  return rc == 0 ? buf : "Unknown error";
}

// Buffers of kReadBytes freed with `reuse`, for the next file read with it.
struct Stock {
  std::mutex mutex;
  std::vector<std::byte*> buffers;
  Stock() { buffers.reserve(MappedFile::kStockBuffers); }
};

// Never destroyed: a buffer may be freed after the static objects are.
Stock& stock() {
  static Stock* s = new Stock;
  return *s;
}

// A buffer of the stock, or nullptr when it has none to give now.
std::byte* take_from_stock() noexcept {
  Stock& s = stock();
  const std::unique_lock lock(s.mutex, std::try_to_lock);
  // LCOV_EXCL_BR_LINE: busy only while another thread takes or gives a buffer, a race
  if (!lock) return nullptr;
  if (s.buffers.empty()) return nullptr;
  std::byte* p = s.buffers.back();
  s.buffers.pop_back();
  return p;
}

// Keeps `p` in the stock; false when the stock has no room for it now.
bool give_to_stock(std::byte* p) noexcept {
  Stock& s = stock();
  const std::unique_lock lock(s.mutex, std::try_to_lock);
  // LCOV_EXCL_BR_LINE: busy only while another thread takes or gives a buffer, a race
  if (!lock) return false;
  if (s.buffers.size() >= MappedFile::kStockBuffers) return false;
  s.buffers.push_back(p);  // within the capacity reserved: does not allocate
  return true;
}

ReadBuffer read_buffer(std::size_t size, bool reuse) {
  if (!reuse) return ReadBuffer(new std::byte[size == 0 ? 1 : size]);
  std::byte* p = take_from_stock();
  return ReadBuffer(p != nullptr ? p : new std::byte[MappedFile::kReadBytes], ReadBufferFree{true});
}

}  // namespace

void ReadBufferFree::operator()(std::byte* p) const noexcept {
  if (!reuse || !give_to_stock(p)) delete[] p;
}

std::size_t MappedFile::stocked() noexcept {
  Stock& s = stock();
  const std::lock_guard lock(s.mutex);
  return s.buffers.size();
}

std::string os_error_text(int err) {
  char buf[256] = {};
  const char* text = pick_text(strerror_r(err, buf, sizeof buf), buf);
  return format("{} (os error {})", std::string_view(text), err);
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

void Mapping::reset() noexcept {
  if (base_ != nullptr) ::munmap(base_, length_);
  base_ = nullptr;
  length_ = 0;
}

Result<MappedFile> MappedFile::open(const std::string& path, bool reuse) {
  if (path.find('\0') != std::string::npos)
    return fail_io("cannot open {}: file name contained an unexpected NUL byte", utf8::lossy(path));
  // The name as messages show it is made only for a message; `err` is taken
  // before that, since making it may change errno.
  const auto failure = [&path](std::string_view step, int err) -> Failure {
    return fail_io("cannot {} {}: {}", step, utf8::lossy(path), os_error_text(err));
  };

  // O_NONBLOCK: a FIFO without a writer (or a device that waits for a
  // carrier) must not stall the caller in open(); such a file then fails to
  // map like any other that is not a regular file. Regular files ignore it.
  // O_NOCTTY: opening a terminal must not make it the process's own.
  UniqueFd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
  if (fd.get() < 0) return failure("open", errno);

  struct stat st;
  // LCOV_EXCL_BR_LINE: fstat of an open descriptor does not fail
  if (::fstat(fd.get(), &st) != 0) return failure("mmap", errno);
  // LCOV_EXCL_BR_LINE: the kernel reports no negative size
  if (st.st_size < 0) return failure("mmap", EINVAL);
  const auto size = static_cast<std::uint64_t>(st.st_size);
  // LCOV_EXCL_BR_LINE: off_t fits size_t on 64-bit systems
  if (size > SIZE_MAX) return failure("mmap", EFBIG);
  const Identity identity{static_cast<std::uint64_t>(st.st_dev),
                          static_cast<std::uint64_t>(st.st_ino), size,
                          static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 +
                              st.st_mtim.tv_nsec};

  if (S_ISREG(st.st_mode) && size <= kReadBytes) {
    ReadBuffer buffer = read_buffer(static_cast<std::size_t>(size), reuse);
    std::size_t got = 0;
    while (got < size) {
      const ssize_t n = ::pread(fd.get(), buffer.get() + got, size - got, static_cast<off_t>(got));
      // LCOV_EXCL_BR_LINE: pread of a regular file is not interrupted
      if (n < 0 && errno == EINTR) continue;
      // LCOV_EXCL_BR_LINE: a read error of a regular file needs failing hardware
      if (n < 0) return failure("read", errno);
      // LCOV_EXCL_BR_LINE: needs a cut between fstat and pread, a race
      if (n == 0) return file_shrank(utf8::lossy(path), got);
      got += static_cast<std::size_t>(n);
    }
    return MappedFile(std::move(fd), Mapping{}, std::move(buffer), static_cast<std::size_t>(size),
                      identity);
  }

  const std::size_t length = size == 0 ? 1 : static_cast<std::size_t>(size);
  void* base = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (base == MAP_FAILED) return failure("mmap", errno);
  return MappedFile(std::move(fd), Mapping(base, length), nullptr, static_cast<std::size_t>(size),
                    identity);
}

std::optional<MappedFile::Ends> MappedFile::read_ends(const std::string& path, std::size_t head,
                                                      std::size_t tail) {
  if (path.find('\0') != std::string::npos) return std::nullopt;
  const UniqueFd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
  if (fd.get() < 0) return std::nullopt;
  struct stat st;
  // LCOV_EXCL_BR_LINE: fstat of an open descriptor does not fail
  if (::fstat(fd.get(), &st) != 0) return std::nullopt;
  if (!S_ISREG(st.st_mode)) return std::nullopt;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size <= head + tail) return std::nullopt;
  auto bytes = std::make_unique_for_overwrite<std::byte[]>(head + tail);
  const auto read = [&](std::byte* out, std::size_t n, std::uint64_t pos) {
    return ::pread(fd.get(), out, n, static_cast<off_t>(pos)) == static_cast<ssize_t>(n);
  };
  // A short read (the file shrank) leaves it to the usual way.
  // LCOV_EXCL_BR_LINE: needs a cut between fstat and pread, a race
  if (!read(bytes.get(), head, 0) || !read(bytes.get() + head, tail, size - tail))
    return std::nullopt;
  return Ends{std::move(bytes), head, tail};
}

std::optional<std::uint64_t> MappedFile::shrunk_to() const noexcept {
  if (!mapping_.data()) return std::nullopt;  // read whole into memory: nothing can change
  struct stat st;
  if (fd_.get() < 0) {
    // Without the descriptor: the file at the path, if it is still this one.
    if (::stat(path_.c_str(), &st) != 0 || static_cast<std::uint64_t>(st.st_ino) != identity_.inode)
      return std::nullopt;  // gone, or another file in its place
    // LCOV_EXCL_BR_LINE: the same inode on another device needs a file system mounted over it
    if (static_cast<std::uint64_t>(st.st_dev) != identity_.device) return std::nullopt;
    // LCOV_EXCL_BR_LINE: fstat of an open descriptor does not fail
  } else if (::fstat(fd_.get(), &st) != 0) {
    return std::nullopt;
  }
  // LCOV_EXCL_BR_LINE: the kernel reports no negative size
  if (st.st_size < 0) return std::nullopt;
  const auto now = static_cast<std::uint64_t>(st.st_size);
  if (now >= size_) return std::nullopt;
  return now;
}

bool MappedFile::read_at(std::uint64_t pos, std::byte* out, std::size_t n) const noexcept {
  while (n != 0) {
    const ssize_t got = ::pread(fd_.get(), out, n, static_cast<off_t>(pos));
    // LCOV_EXCL_BR_LINE: pread of a regular file is not interrupted
    if (got < 0 && errno == EINTR) continue;
    // LCOV_EXCL_BR_LINE: an I/O error, or a cut since the walk began, a race
    if (got <= 0) return false;
    out += got;
    pos += static_cast<std::uint64_t>(got);
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

Failure file_shrank(const std::string& path, std::uint64_t offset) {
  return fail_io("cannot read {}: the file shrank while it was being read (no data at offset {})",
              path, offset);
}

}  // namespace quarn
