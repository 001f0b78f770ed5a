// Running a body's decoding on helper threads.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "reader/parallel.h"

namespace {

using quarn::Concurrency;

struct Seen {
  std::thread::id thread;
  bool interrupt_blocked;
  bool bus_error_blocked;
  bool in_scope;
};

thread_local bool t_in_scope = false;

// Marks the helper's work as run inside the scope.
class MarkingScope final : public quarn::ThreadScope {
 public:
  void run(quarn::TaskRef work) const override {
    t_in_scope = true;
    work();
    t_in_scope = false;
    ++runs;
  }
  mutable std::atomic<int> runs{0};
};

Seen look() {
  sigset_t now;
  pthread_sigmask(SIG_BLOCK, nullptr, &now);
  return {std::this_thread::get_id(), sigismember(&now, SIGINT) == 1, sigismember(&now, SIGBUS) == 1,
          t_in_scope};
}

// Every job runs once; job 0 on the calling thread, the others on helper
// threads (as many as the budget grants: here one per job), inside the scope,
// with the signals that the process may take on any thread blocked and their
// own faults not; the caller's mask is as it was.
TEST(RunParallel, JobsRunOnceEachOnHelpersInsideTheScope) {
  quarn::ThreadBudget::set_limit(8);
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, nullptr, &before);
  const MarkingScope scope;
  std::vector<Seen> seen(4);
  std::vector<int> runs(4, 0);
  std::atomic<int> helped{0};
  quarn::run_parallel(seen.size(), &scope, [&](std::size_t i) {
    seen[i] = look();
    ++runs[i];
    if (i != 0) {
      ++helped;
      return;
    }
    // Jobs go to whichever thread is free: the caller holds on to job 0 until
    // the others have been taken, so that each of them lands on a helper.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (helped.load() < 3 && std::chrono::steady_clock::now() < give_up)
      std::this_thread::yield();
  });
  EXPECT_EQ(runs, std::vector<int>(4, 1));
  EXPECT_EQ(scope.runs, 3);
  EXPECT_EQ(seen[0].thread, std::this_thread::get_id());
  EXPECT_FALSE(seen[0].in_scope);
  for (std::size_t i = 1; i < seen.size(); ++i) {
    SCOPED_TRACE("job " + std::to_string(i));
    EXPECT_NE(seen[i].thread, std::this_thread::get_id());
    EXPECT_TRUE(seen[i].in_scope);
    EXPECT_TRUE(seen[i].interrupt_blocked);
    EXPECT_FALSE(seen[i].bus_error_blocked);
  }
  sigset_t after;
  pthread_sigmask(SIG_BLOCK, nullptr, &after);
  for (int sig : {SIGINT, SIGTERM, SIGALRM, SIGBUS, SIGUSR1})
    EXPECT_EQ(sigismember(&after, sig), sigismember(&before, sig)) << sig;
  quarn::ThreadBudget::set_limit(0);
}

// The budget counts every busy thread of the process: the helpers a call may
// start are what the limit leaves, and they are given back when it returns.
TEST(RunParallel, HelpersWithinTheThreadBudget) {
  struct Case {
    unsigned limit, busy_elsewhere, jobs, helpers;
  };
  for (const Case c : {Case{1, 0, 4, 0}, Case{2, 1, 4, 0}, Case{3, 1, 4, 1}, Case{8, 0, 3, 2}}) {
    SCOPED_TRACE("limit " + std::to_string(c.limit) + ", busy " + std::to_string(c.busy_elsewhere));
    quarn::ThreadBudget::set_limit(c.limit);
    ASSERT_EQ(quarn::ThreadBudget::take(c.busy_elsewhere), c.busy_elsewhere);
    const MarkingScope scope;
    std::vector<int> runs(c.jobs, 0);
    quarn::run_parallel(c.jobs, &scope, [&](std::size_t i) { ++runs[i]; });
    EXPECT_EQ(runs, std::vector<int>(c.jobs, 1));
    EXPECT_EQ(scope.runs, static_cast<int>(c.helpers));
    quarn::ThreadBudget::give_back(c.busy_elsewhere);
    EXPECT_EQ(quarn::ThreadBudget::busy(), 0u);
  }
  {
    const quarn::ThreadBudget::Busy outer;
    const quarn::ThreadBudget::Busy inner;  // the same thread: counted once
    EXPECT_EQ(quarn::ThreadBudget::busy(), 1u);
  }
  EXPECT_EQ(quarn::ThreadBudget::busy(), 0u);
  quarn::ThreadBudget::set_limit(0);
}

TEST(RunParallel, OneJobStaysOnTheCallingThread) {
  const MarkingScope scope;
  Seen seen{};
  quarn::run_parallel(1, &scope, [&](std::size_t) { seen = look(); });
  EXPECT_EQ(seen.thread, std::this_thread::get_id());
  EXPECT_EQ(scope.runs, 0);
}

struct ThreadsFor {
  unsigned threads;
  std::uint64_t min_bytes, bytes;
  unsigned expected;
};

TEST(Concurrency, ThreadsForABody) {
  const ThreadsFor cases[] = {
      {1, 4, 1000, 1},   // one thread asked for
      {4, 4, 7, 1},      // not worth two
      {4, 4, 8, 2},      // worth exactly two
      {4, 4, 1000, 4},   // capped by the threads asked for
      {3, 0, 5, 3},      // no minimum: every byte is worth a thread
  };
  for (const ThreadsFor& c : cases) {
    const Concurrency concurrency{.threads = c.threads, .min_bytes_per_thread = c.min_bytes};
    EXPECT_EQ(concurrency.threads_for(c.bytes), c.expected)
        << c.threads << " threads, " << c.min_bytes << " bytes each, body " << c.bytes;
  }
  const unsigned available = Concurrency::available(64);
  EXPECT_GE(available, 1u);
  const Concurrency all{.threads = Concurrency::kAvailable, .min_bytes_per_thread = 1};
  EXPECT_EQ(all.threads_for(1000), std::min(available, 8u));
  EXPECT_EQ(all.threads_for(1), 1u);
}

}  // namespace
