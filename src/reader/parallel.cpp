#include "reader/parallel.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace quarn {

unsigned Concurrency::available(unsigned cap) noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  int count = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
  if (count < 1) count = 1;
  return static_cast<unsigned>(count) < cap ? static_cast<unsigned>(count) : cap;
}

namespace {

// Helper threads start with every signal blocked that another thread of the
// process can take instead: signals sent to the process (an interrupt, a
// timer) stay with the interpreter's threads. Faults of the helper's own
// reads (a file that shrank) must still reach it.
class HelperSignalMask {
 public:
  HelperSignalMask() noexcept {
    sigset_t blocked;
    sigfillset(&blocked);
    for (int sig : {SIGBUS, SIGSEGV, SIGFPE, SIGILL, SIGTRAP}) sigdelset(&blocked, sig);
    set_ = pthread_sigmask(SIG_BLOCK, &blocked, &saved_) == 0;
  }
  ~HelperSignalMask() {
    if (set_) pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  HelperSignalMask(const HelperSignalMask&) = delete;
  HelperSignalMask& operator=(const HelperSignalMask&) = delete;

 private:
  sigset_t saved_;
  bool set_;
};

}  // namespace

void run_parallel(std::size_t n, const ThreadScope* scope, void (*work)(void*, std::size_t),
                  void* context) noexcept {
  std::vector<std::thread> helpers;
  std::size_t started = 1;  // jobs [1, started) run on helper threads
  if (n > 1) {
    try {
      const HelperSignalMask mask;  // inherited by the threads started here
      helpers.reserve(n - 1);
      for (; started < n; ++started) {
        const std::size_t i = started;
        helpers.emplace_back([=] {
          auto job = [&] { work(context, i); };
          if (scope != nullptr)
            scope->run(TaskRef(job));
          else
            job();
        });
      }
    } catch (const std::system_error&) {
      // No more threads to be had: the calling thread does the rest.
    } catch (const std::bad_alloc&) {
    }
  }
  if (n > 0) work(context, 0);
  for (std::size_t i = started; i < n; ++i) work(context, i);
  for (std::thread& t : helpers) t.join();
}

}  // namespace quarn
