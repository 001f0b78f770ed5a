#include "reader/parallel.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace quarn {

unsigned Concurrency::available(unsigned cap) noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  // LCOV_EXCL_BR_LINE: the affinity of our own process is always readable
  int count = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
  // LCOV_EXCL_BR_LINE: an affinity set holds at least the CPU we run on
  if (count < 1) count = 1;
  return static_cast<unsigned>(count) < cap ? static_cast<unsigned>(count) : cap;
}

namespace {

std::atomic<unsigned> g_busy{0};
std::atomic<unsigned> g_limit{0};
thread_local bool t_counted = false;

// A child of fork() has only the forking thread, which is inside none of
// these counts (it is running fork, not a job).
void reset_after_fork() noexcept { g_busy.store(0); }
[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, reset_after_fork);

unsigned limit() noexcept {
  const unsigned set = g_limit.load();
  return set != 0 ? set : Concurrency::available(1024);
}

}  // namespace

ThreadBudget::Busy::Busy() noexcept : counted_(!t_counted) {
  if (!counted_) return;
  t_counted = true;
  g_busy.fetch_add(1);
}

ThreadBudget::Busy::~Busy() {
  if (!counted_) return;
  g_busy.fetch_sub(1);
  t_counted = false;
}

unsigned ThreadBudget::take(unsigned wanted) noexcept {
  const unsigned most = limit();
  unsigned now = g_busy.load();
  for (;;) {
    const unsigned free = now < most ? most - now : 0;
    const unsigned granted = wanted < free ? wanted : free;
    if (granted == 0) return 0;
    // LCOV_EXCL_BR_LINE: fails only when another thread takes threads at that instant
    if (g_busy.compare_exchange_weak(now, now + granted)) return granted;
  }
}

void ThreadBudget::give_back(unsigned n) noexcept { g_busy.fetch_sub(n); }
unsigned ThreadBudget::busy() noexcept { return g_busy.load(); }
void ThreadBudget::set_limit(unsigned n) noexcept { g_limit.store(n); }

BlockAsyncSignals::BlockAsyncSignals() noexcept {
  sigset_t blocked;
  sigfillset(&blocked);
  for (int sig : {SIGBUS, SIGSEGV, SIGFPE, SIGILL, SIGTRAP}) sigdelset(&blocked, sig);
  set_ = pthread_sigmask(SIG_BLOCK, &blocked, &saved_) == 0;
}

BlockAsyncSignals::~BlockAsyncSignals() {
  // LCOV_EXCL_BR_LINE: restoring the mask the same object saved does not fail
  if (set_) pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

void run_parallel(std::size_t n, const ThreadScope* scope, void (*work)(void*, std::size_t),
                  void* context) noexcept {
  if (n == 0) return;
  const ThreadBudget::Busy self;
  std::atomic<std::size_t> next{1};  // job 0 is the calling thread's
  auto drain = [&] {
    for (std::size_t i = next.fetch_add(1); i < n; i = next.fetch_add(1)) work(context, i);
  };
  const unsigned wanted = n - 1 < 1024 ? static_cast<unsigned>(n - 1) : 1024;
  const unsigned granted = wanted > 0 ? ThreadBudget::take(wanted) : 0;
  std::vector<std::thread> helpers;
  try {
    // Inherited by the threads started here; a run with no helper (a small
    // body, or no CPU free) makes no system call for it.
    std::optional<BlockAsyncSignals> mask;
    if (granted > 0) mask.emplace();
    helpers.reserve(granted);
    while (helpers.size() < granted) {
      helpers.emplace_back([&] {
        auto job = [&] { drain(); };
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
  ThreadBudget::give_back(granted - static_cast<unsigned>(helpers.size()));
  work(context, 0);
  drain();
  for (std::thread& t : helpers) t.join();
  ThreadBudget::give_back(static_cast<unsigned>(helpers.size()));
}

}  // namespace quarn
