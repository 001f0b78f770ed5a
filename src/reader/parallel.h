// Spreading the decoding of one large body over a few threads.
//
// A body first walks its structure on the calling thread (validating it and
// counting the points, so every buffer is made once at its final size), then
// splits the decoding into ranges that write disjoint parts of those buffers.
// Nothing a caller sees depends on the number of threads: the results and the
// failures are those of the one-thread walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <signal.h>
#include <type_traits>
#include <utility>

namespace quarn {

// A non-owning reference to something callable as `void()`.
class TaskRef {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, TaskRef>)
  TaskRef(F& f) noexcept  // NOLINT: implicit by design, like std::function_ref
      : object_(static_cast<void*>(&f)),
        call_([](void* o) { (*static_cast<F*>(o))(); }) {}
  void operator()() const { call_(object_); }

 private:
  void* object_;
  void (*call_)(void*);
};

// What a helper thread must set up around its share of the work: the driver
// extends its guard against files that shrink while mapped to each helper.
class ThreadScope {
 public:
  virtual void run(TaskRef work) const = 0;

 protected:
  ~ThreadScope() = default;
};

struct Concurrency {
  static constexpr unsigned kAvailable = 0;

  // At most this many threads, the calling one included; kAvailable: as many
  // as the process may run on, up to 8 (asked only of a body worth two).
  unsigned threads = 1;
  std::uint64_t min_bytes_per_thread = std::uint64_t{4} << 20;
  const ThreadScope* scope = nullptr;  // null: helpers need nothing set up

  // How many threads a body of `bytes` bytes is worth (at least 1).
  unsigned threads_for(std::uint64_t bytes) const noexcept {
    const std::uint64_t per = min_bytes_per_thread == 0 ? 1 : min_bytes_per_thread;
    const std::uint64_t worth = bytes / per;
    if (worth <= 1 || threads == 1) return 1;
    const unsigned most = threads == kAvailable ? available(8) : threads;
    return worth < most ? static_cast<unsigned>(worth) : most;
  }

  // The threads this process may run on, at most `cap`.
  static unsigned available(unsigned cap) noexcept;
};

// The threads quarn keeps busy in this process: batch workers and the helpers
// of a body's decode together stay within the CPUs the process may run on, so
// a large body decoded inside a batch takes helpers only where CPUs are idle.
class ThreadBudget {
 public:
  // Counts the calling thread as busy while it lives; a thread already counted
  // (a batch worker that decodes a large body) is counted once.
  class Busy {
   public:
    Busy() noexcept;
    ~Busy();
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

   private:
    bool counted_;
  };

  // Up to `wanted` more busy threads, as many as the limit leaves; returns how
  // many were granted. Each must be given back.
  static unsigned take(unsigned wanted) noexcept;
  static void give_back(unsigned n) noexcept;

  // Threads counted busy now.
  static unsigned busy() noexcept;

  // The limit of busy threads; 0 (the default) means the CPUs the process may
  // run on. For tests and benchmarks.
  static void set_limit(unsigned limit) noexcept;
};

// Blocks, on the constructing thread while it lives, every signal that another
// thread of the process can take instead: threads started meanwhile inherit
// the mask, so signals sent to the process (an interrupt, a timer) stay with
// the interpreter's threads. Faults of a thread's own reads (a file that
// shrank) still reach it.
class BlockAsyncSignals {
 public:
  BlockAsyncSignals() noexcept;
  ~BlockAsyncSignals();
  BlockAsyncSignals(const BlockAsyncSignals&) = delete;
  BlockAsyncSignals& operator=(const BlockAsyncSignals&) = delete;

 private:
  sigset_t saved_;
  bool set_;
};

// Calls work(i) for every i in [0, n) and returns when all have finished: 0 on
// the calling thread, the others on as many helper threads (up to n - 1) as
// the thread budget grants and the system starts, each helper and then the
// calling thread taking the next job not yet taken. `work` must not throw.
void run_parallel(std::size_t n, const ThreadScope* scope, void (*work)(void*, std::size_t),
                  void* context) noexcept;

template <class F>
void run_parallel(std::size_t n, const ThreadScope* scope, F&& work) noexcept {
  using Fn = std::remove_reference_t<F>;
  run_parallel(
      n, scope, [](void* c, std::size_t i) { (*static_cast<Fn*>(c))(i); },
      const_cast<void*>(static_cast<const void*>(&work)));
}

}  // namespace quarn
