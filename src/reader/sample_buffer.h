// A growable buffer of doubles in malloc'd memory, handed over whole to its
// final owner (the array keeper) without a copy.
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
      std::free(data_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      capacity_ = std::exchange(o.capacity_, 0);
    }
    return *this;
  }
  ~SampleBuffer() { std::free(data_); }

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

  // Gives up ownership; the memory is to be released with `free_released`.
  double* release() noexcept {
    size_ = capacity_ = 0;
    return std::exchange(data_, nullptr);
  }
  static void free_released(void* p) noexcept { std::free(p); }

 private:
  static constexpr std::size_t max_elems() noexcept { return SIZE_MAX / sizeof(double); }

  bool reallocate(std::size_t cap) noexcept {
    const std::size_t bytes = (cap == 0 ? 1 : cap) * sizeof(double);
    void* p = std::realloc(data_, bytes);
    if (p == nullptr) return false;
    data_ = static_cast<double*>(p);
    capacity_ = cap;
    if (bytes >= kHugeThreshold) advise_huge_pages(p, bytes);
    return true;
  }

  // Large buffers are written once, front to back: huge pages cut the page
  // faults of that first touch by a factor of 512 where the kernel allows.
  static constexpr std::size_t kHugeThreshold = std::size_t{4} << 20;
  static void advise_huge_pages(void* p, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    const auto from = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const auto to = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHuge - 1);
    if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
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
