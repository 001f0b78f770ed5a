// A growable buffer of doubles, handed over whole to its final owner (the
// array keeper) without a copy.
//
// Small buffers live in malloc'd memory. From kMapBytes on, a buffer is its own
// anonymous mapping: it grows with mremap, which moves page tables instead of
// copying samples, and asks for transparent huge pages, which cut the page
// faults of its first touch by a factor of 512. Which of the two a buffer is
// follows from its capacity alone, so the owner frees it knowing just that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <sys/mman.h>

namespace quarn {

class SampleBuffer {
 public:
  SampleBuffer() = default;
  SampleBuffer(const SampleBuffer&) = delete;
  SampleBuffer& operator=(const SampleBuffer&) = delete;
  SampleBuffer(SampleBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)) {}
  SampleBuffer& operator=(SampleBuffer&& o) noexcept {
    if (this != &o) {
      free_memory(data_, capacity_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      capacity_ = std::exchange(o.capacity_, 0);
    }
    return *this;
  }
  ~SampleBuffer() { free_memory(data_, capacity_); }

  double* data() noexcept { return data_; }
  const double* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  double operator[](std::size_t i) const noexcept { return data_[i]; }

  // Room for `extra` more doubles, made exactly (no spare) when short.
  // False when the size overflows or memory cannot be had.
  [[nodiscard]] bool reserve_more_exact(std::uint64_t extra) noexcept {
    if (extra <= capacity_ - size_) return true;
    if (extra > max_elems() - size_) return false;
    return reallocate(size_ + extra);
  }

  // Room for `extra` more doubles with amortised (doubling) growth.
  [[nodiscard]] bool grow_for(std::uint64_t extra) noexcept {
    if (extra <= capacity_ - size_) return true;
    if (extra > max_elems() - size_) return false;
    std::size_t want = size_ + extra;
    // LCOV_EXCL_BR_LINE: a capacity of half the address space cannot be had
    std::size_t doubled = capacity_ > max_elems() / 2 ? max_elems() : capacity_ * 2;
    return reallocate(want > doubled ? want : doubled);
  }

  // Appends into room already made.
  void push_back(double v) noexcept { data_[size_++] = v; }
  // Hands out room for `n` doubles already made and counts them as written.
  double* extend(std::size_t n) noexcept {
    double* p = data_ + size_;
    size_ += n;
    return p;
  }

  // Forgets the samples from index `n` on; the room stays.
  void truncate(std::size_t n) noexcept {
    if (n < size_) size_ = n;
  }

  // Gives up ownership; the memory is to be released with `free_memory` and
  // the capacity it had.
  double* release() noexcept {
    size_ = capacity_ = 0;
    return std::exchange(data_, nullptr);
  }
  static void free_memory(double* p, std::size_t capacity) noexcept {
    if (p == nullptr) return;
    if (mapped(capacity))
      ::munmap(p, capacity * sizeof(double));
    else
      std::free(p);
  }

 private:
  static constexpr std::size_t max_elems() noexcept { return SIZE_MAX / sizeof(double); }

  static constexpr std::size_t kMapBytes = std::size_t{1} << 20;
  static bool mapped(std::size_t capacity) noexcept {
    return capacity >= kMapBytes / sizeof(double);
  }

  // Capacity grows only, so a mapped buffer never goes back to malloc.
  bool reallocate(std::size_t cap) noexcept {
    void* p;
    if (!mapped(cap)) {
      // LCOV_EXCL_BR_LINE: growth is asked only for more room, so cap > 0
      p = std::realloc(data_, (cap == 0 ? 1 : cap) * sizeof(double));
      if (p == nullptr) return false;
    } else if (data_ != nullptr && mapped(capacity_)) {
      p = ::mremap(data_, capacity_ * sizeof(double), cap * sizeof(double), MREMAP_MAYMOVE);
      if (p == MAP_FAILED) return false;
    } else {
      p = ::mmap(nullptr, cap * sizeof(double), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) return false;
      if (size_ != 0) std::memcpy(p, data_, size_ * sizeof(double));
      std::free(data_);
    }
    if (mapped(cap)) advise_huge_pages(p, cap * sizeof(double));
    data_ = static_cast<double*>(p);
    capacity_ = cap;
    return true;
  }

  static void advise_huge_pages(void* p, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    ::madvise(p, bytes, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
  }

  double* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace quarn
