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
// SIGBUS goes to whatever handler was installed before. A handler installed
// after ours (faulthandler.enable(), say) is displaced in turn by the next
// outermost guard, and kept as the one to pass other signals to.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "reader/parallel.h"
#include "types/cursor.h"

namespace quarn {

// Each extension module links its own copy of the guard, so a process may
// hold two such handlers (siblings), each seeing only its own guards. A
// sibling is known by its handler's mask, which no other handler has: SIGBUS
// and SIGXFSZ, nothing else. The handler installed asks the sibling it
// displaced about a fault first, passing a copy of the siginfo whose si_errno
// says what is asked: whether the fault is one of the sibling's guards (the
// sibling then sets si_errno of the copy to kAbsorbed), or to pass the signal
// to the handler the sibling displaced. Siblings never record each other as
// the handler to pass signals to, so no chain of handlers runs in a circle.
struct BusGuardSiblings {
  static constexpr int kIsItYours = 0x7175a001;
  static constexpr int kAbsorbed = 0x7175a002;
  static constexpr int kPassItOn = 0x7175a003;
};

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
