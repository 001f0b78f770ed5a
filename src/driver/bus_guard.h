// Keeps a file that shrinks under its mapping from killing the process.
//
// Reading a mapped page that lies past the end of a file raises SIGBUS. While
// a BusGuard is alive on a thread, a SIGBUS of that thread whose address lies
// inside the guarded range is absorbed: the rest of the range is replaced by
// zero-filled anonymous memory, the faulting read is retried and sees zeros,
// and the guard remembers where the data ended. The parse runs on to its end
// over those zeros and the caller, seeing `fault_offset()`, discards its
// result. No stack is unwound by a jump, so every destructor runs. Any other
// SIGBUS goes to whatever handler was installed before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "types/cursor.h"

namespace quarn {

class BusGuard {
 public:
  explicit BusGuard(Bytes range) noexcept;
  ~BusGuard();
  BusGuard(const BusGuard&) = delete;
  BusGuard& operator=(const BusGuard&) = delete;

  // Offset into the range of the first read that found no file behind it.
  std::optional<std::uint64_t> fault_offset() const noexcept;

 private:
  BusGuard* previous_;  // an enclosing guard of this thread, restored on exit
  const std::byte* base_;
  std::size_t length_;
  volatile std::uintptr_t fault_ = 0;  // written by the signal handler
  volatile bool faulted_ = false;

  friend struct BusGuardAccess;
};

}  // namespace quarn
