// Keeps a file that shrinks under its mapping from killing the process.
//
// Reading a mapped page that lies past the end of a file raises SIGBUS. While
// a BusGuard is alive on a thread, a SIGBUS of that thread whose address lies
// inside the guarded range is absorbed: the rest of the range is replaced by
// zero-filled anonymous memory, the faulting read is retried and sees zeros,
// and the guard remembers where the data ended. A guard extends itself to the
// helper threads that share the parse (`run`); their faults count as its own. The parse runs on to its end
// over those zeros and the caller, seeing `fault_offset()`, discards its
// result. No stack is unwound by a jump, so every destructor runs. Any other
// SIGBUS goes to whatever handler was installed before.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "reader/parallel.h"
#include "types/cursor.h"

namespace quarn {

class BusGuard final : public ThreadScope {
 public:
  explicit BusGuard(Bytes range) noexcept;
  ~BusGuard();
  BusGuard(const BusGuard&) = delete;
  BusGuard& operator=(const BusGuard&) = delete;

  // Offset into the range of the lowest read, on any of the guard's threads,
  // that found no file behind it.
  std::optional<std::uint64_t> fault_offset() const noexcept;

  // Runs `work` on the calling helper thread with the same range guarded.
  void run(TaskRef work) const override;

 private:
  BusGuard(Bytes range, const BusGuard* owner) noexcept;

  BusGuard* previous_;  // an enclosing guard of this thread, restored on exit
  const std::byte* base_;
  std::size_t length_;
  const BusGuard* owner_;  // the guard whose record this one's faults go to
  // The lowest faulting address, written by the signal handler.
  mutable std::atomic<std::uintptr_t> lowest_fault_{UINTPTR_MAX};
  static_assert(std::atomic<std::uintptr_t>::is_always_lock_free);

  friend struct BusGuardAccess;
};

}  // namespace quarn
