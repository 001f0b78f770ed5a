// The batch reader: order, the read-ahead bound, stopping, failures and the
// thread budget. Runs under ThreadSanitizer too (scripts/tsan-tests.sh). The
// real loader against single loads is the fuzz target's check (fuzz_batch.cpp,
// replayed over the corpus); fork is tested through the package.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <latch>
#include <new>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "batch/reader.h"
#include "reader/parallel.h"

namespace {

using namespace std::chrono_literals;
using quarn::batch::Input;
using quarn::batch::Outcome;
using quarn::batch::Reader;
using quarn::driver::Records;

// The number a test input carries: its path is the decimal number.
int number_of(const Input& input) { return std::stoi(std::get<std::string>(input)); }

Records numbered(int n) {
  Records r;
  r.header.push_back({"n", {quarn::PropValue::Int{static_cast<std::uint32_t>(n)}}});
  return r;
}

int number_in(const Outcome& o) {
  return static_cast<int>(std::get<quarn::PropValue::Int>(o->header.at(0).value.v).value);
}

// Raises `most` to `value` if that is larger, from any thread.
void raise_to(std::atomic<int>& most, int value) {
  for (int seen = most.load(); value > seen && !most.compare_exchange_weak(seen, value);) {
  }
}

// Takes the next outcome, waiting as long as it takes.
Outcome take(Reader& r) {
  for (;;)
    if (auto o = r.next(10ms)) return std::move(*o);
}

struct OrderCase {
  unsigned workers;
  std::size_t window, backlog;
  int inputs;
};

// Outcomes come in submission order whatever order the workers finish in; no
// more than `window` inputs are ever started and not taken, and no more than
// `window + backlog` submitted and not taken.
TEST(BatchReader, OrderAndBound) {
  for (const OrderCase c : {OrderCase{1, 1, 0, 20}, OrderCase{2, 4, 0, 60}, OrderCase{2, 4, 12, 60},
                            OrderCase{4, 8, 3, 80}, OrderCase{3, 2, 1, 30}}) {
    SCOPED_TRACE(std::to_string(c.workers) + " workers, window " + std::to_string(c.window) +
                 ", backlog " + std::to_string(c.backlog));
    std::atomic<int> started{0}, taken{0}, most_ahead{0};
    Reader reader(c.workers, c.window, c.backlog, [&](const Input& input) -> Outcome {
      raise_to(most_ahead, ++started - taken.load());
      const int n = number_of(input);
      std::this_thread::sleep_for(std::chrono::microseconds((n * 7919) % 5 * 200));
      return numbered(n);
    });
    EXPECT_EQ(reader.workers(), c.workers);
    const std::size_t window = std::max<std::size_t>(c.window, c.workers);
    int submitted = 0;
    for (int want = 0; want < c.inputs; ++want) {
      while (submitted < c.inputs && reader.room() > 0)
        ASSERT_TRUE(reader.submit(std::to_string(submitted++)));
      EXPECT_FALSE(submitted < c.inputs && reader.submit("x"));  // no room: refused
      EXPECT_LE(reader.outstanding(), window + c.backlog);
      std::this_thread::sleep_for(200us);  // a slow consumer: the workers run ahead
      ++taken;  // before: the window opens inside take(), and a worker may start at once
      Outcome o = take(reader);
      ASSERT_TRUE(o) << o.error();
      EXPECT_EQ(number_in(o), want);
    }
    EXPECT_EQ(started.load(), c.inputs);
    EXPECT_LE(most_ahead.load(), static_cast<int>(window));
    EXPECT_FALSE(reader.next(1ms)) << "nothing outstanding";
  }
}

// A worker may only read an input and leave its parse to the caller, which
// then loads it inside next(): such an input weighs a quarter of a loaded one,
// so more of them may wait, but never more than a window's weight.
TEST(BatchReader, InputsReadForTheCaller) {
  for (const bool all_read : {true, false}) {
    SCOPED_TRACE(all_read ? "every input read" : "every other input read");
    std::atomic<int> started{0}, taken{0}, most_ahead{0};
    Reader reader(2, 2, 20, [&](const Input& input) -> std::variant<Outcome, Input> {
      raise_to(most_ahead, ++started - taken.load());
      const int n = number_of(input);
      if (all_read || n % 2 == 1) return Input("/nonexistent/" + std::to_string(n));
      return numbered(n);
    });
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(reader.submit(std::to_string(i)));
    for (int i = 0; i < 20; ++i) {
      std::this_thread::sleep_for(1ms);  // a slow consumer: the workers run ahead
      ++taken;
      Outcome o = take(reader);
      if (all_read || i % 2 == 1) {
        ASSERT_FALSE(o);  // loaded by this thread: the path does not exist
        EXPECT_NE(o.error().find("/nonexistent/" + std::to_string(i) + ":"), std::string::npos)
            << o.error();
      } else {
        ASSERT_TRUE(o);
        EXPECT_EQ(number_in(o), i);
      }
    }
    // A window of 2 weighs 8: four inputs read (1 each) and one being loaded (4).
    EXPECT_LE(most_ahead.load(), 5);
    if (all_read) {
      EXPECT_GT(most_ahead.load(), 2);
    }
  }
}

// Failures and exceptions of the loader arrive in their place, and the
// inputs after them are read as usual.
TEST(BatchReader, FailuresInTheirPlace) {
  Reader reader(2, 8, 0, [](const Input& input) -> Outcome {
    const int n = number_of(input);
    if (n % 3 == 1) return quarn::fail("bad {}", n);
    if (n % 3 == 2 && n % 2 == 0) return quarn::fail_io("cannot open {}", n);
    if (n == 5) throw std::bad_alloc();
    return numbered(n);
  });
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(reader.submit(std::to_string(i)));
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    if (i == 5) {
      EXPECT_THROW((void)take(reader), std::bad_alloc);
      continue;
    }
    Outcome o = take(reader);
    if (i % 3 == 1) {
      ASSERT_FALSE(o);
      EXPECT_EQ(o.error(), "bad " + std::to_string(i));
      EXPECT_EQ(o.failure_kind(), quarn::FailureKind::Format);
    } else if (i % 3 == 2) {
      ASSERT_FALSE(o);
      EXPECT_EQ(o.error(), "cannot open " + std::to_string(i));
      EXPECT_EQ(o.failure_kind(), quarn::FailureKind::Io);
    } else {
      ASSERT_TRUE(o);
      EXPECT_EQ(number_in(o), i);
    }
  }
}

// stop() lets the workers finish what they are on, starts nothing more, joins
// them and refuses further use; next() times out while an input is loading.
TEST(BatchReader, StopFinishesTheStartedAndDropsTheRest) {
  std::latch entered(2);
  std::atomic<bool> release{false};
  std::atomic<int> calls{0}, finished{0};
  {
    Reader reader(2, 6, 0, [&](const Input& input) -> Outcome {
      ++calls;
      entered.count_down();
      while (!release) std::this_thread::sleep_for(100us);
      ++finished;
      return numbered(number_of(input));
    });
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(reader.submit(std::to_string(i)));
    entered.wait();  // both workers are inside an input
    EXPECT_FALSE(reader.next(2ms));
    std::thread releaser([&] {
      std::this_thread::sleep_for(5ms);
      release = true;
    });
    reader.stop();
    releaser.join();
    EXPECT_EQ(finished.load(), 2);  // joined: both had finished
    EXPECT_EQ(reader.room(), 0u);
    EXPECT_FALSE(reader.submit("9"));
    EXPECT_FALSE(reader.next(1ms));
    reader.stop();  // again: nothing
  }
  EXPECT_EQ(calls.load(), 2);
}

// While the earliest outcome is not ready, the caller hands each input not
// started to the helper, which loads it (or throws) in its place or gives it
// back for a worker, changed; the window still bounds it. A stop from another
// thread while the helper runs drops what it made.
TEST(BatchReader, TheCallerLoadsWhileItWaits) {
  std::atomic<int> entered{0};  // times the worker began input 0
  std::atomic<bool> release{false};
  std::vector<std::string> loaded;  // by the worker, after it is released
  std::vector<int> helped;
  Reader* current = nullptr;
  auto worker = [&](const Input& input) -> Outcome {
    if (number_of(input) == 0) {
      ++entered;
      while (!release) std::this_thread::sleep_for(100us);
    }
    loaded.push_back(std::get<std::string>(input));
    return numbered(number_of(input) % 1000);
  };
  auto helper = [&](Input&& input) -> std::variant<Outcome, Input> {
    const int n = number_of(input);
    helped.push_back(n);
    if (n == 1) std::this_thread::sleep_for(30ms);  // past the caller's timeout
    if (n == 3) throw std::bad_alloc();
    if (n == 6) {  // the reader is stopped under it
      std::thread([&] {
        release = true;
        current->stop();
      }).join();
    }
    if (n % 3 == 2) return Input(std::to_string(n + 1000));
    return numbered(n);
  };

  Reader reader(1, 6, 0, worker, helper);
  current = &reader;
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(reader.submit(std::to_string(i)));
  while (entered < 1) std::this_thread::sleep_for(100us);
  EXPECT_FALSE(reader.next(20ms));  // helped with one input, and its time was up
  EXPECT_EQ(helped, (std::vector<int>{1}));
  EXPECT_FALSE(reader.next(20ms));  // helped with every other input, then waited
  EXPECT_EQ(helped, (std::vector<int>{1, 2, 3, 4, 5}));
  release = true;
  for (int i = 0; i < 6; ++i) {
    if (i == 3) {
      EXPECT_THROW((void)take(reader), std::bad_alloc);
      continue;
    }
    Outcome o = take(reader);
    EXPECT_TRUE(o && number_in(o) == i) << i;
  }
  EXPECT_EQ(loaded, (std::vector<std::string>{"0", "1002", "1005"}));

  release = false;
  Reader stopped(1, 4, 0, worker, helper);
  current = &stopped;
  for (int i : {0, 6}) ASSERT_TRUE(stopped.submit(std::to_string(i)));
  while (entered < 2) std::this_thread::sleep_for(100us);
  EXPECT_FALSE(stopped.next(1s));
  EXPECT_EQ(helped.back(), 6);
  EXPECT_EQ(stopped.outstanding(), 0u);
}

// What the caller loads while it waits weighs in the window once made, not
// while it loads: a lone worker that finishes meanwhile starts the next input
// rather than sleeping for room (a window of 2 holds the worker's outcome and
// one input being loaded, not also the caller's). With no input left to start
// the caller only waits.
TEST(BatchReader, TheCallersLoadLeavesTheWorkerRoom) {
  std::atomic<bool> release{false}, first_started{false}, third_started{false};
  bool seen_while_helping = false;
  Reader reader(
      1, 2, 1,
      [&](const Input& input) -> Outcome {
        const int n = number_of(input);
        first_started = true;
        while (n == 0 && !release) std::this_thread::sleep_for(100us);
        if (n == 2) third_started = true;
        return numbered(n);
      },
      [&](Input&& input) -> std::variant<Outcome, Input> {
        release = true;
        for (int i = 0; i < 20000 && !third_started; ++i) std::this_thread::sleep_for(100us);
        seen_while_helping = third_started;
        return numbered(number_of(input));
      });
  ASSERT_TRUE(reader.submit("0"));
  while (!first_started) std::this_thread::sleep_for(100us);
  EXPECT_FALSE(reader.next(5ms));
  EXPECT_FALSE(release);  // the helper was not called
  for (int i = 1; i < 3; ++i) ASSERT_TRUE(reader.submit(std::to_string(i)));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(number_in(take(reader)), i);
  EXPECT_TRUE(seen_while_helping);
}

// A loader that reserves its input's number in bytes: the bytes reserved by
// inputs not taken stay within the bound, save the input the caller waits
// for, which always goes on (so an input larger than the bound is read, one at
// a time); outcomes keep their order, with many workers and a slow caller.
TEST(BatchReader, ByteBound) {
  struct Case {
    unsigned workers;
    std::uint64_t limit;
    int size_step;  // input i weighs 1000 + (i % 5) * size_step
    std::size_t most_reserved;  // inputs reserved and not taken at once
  };
  for (const Case c : {Case{4, 1, 0, 2}, Case{4, 3000, 500, 4}, Case{8, 10000, 1000, 9},
                       Case{3, UINT64_MAX, 0, 6}}) {
    SCOPED_TRACE(std::to_string(c.workers) + " workers, bound " + std::to_string(c.limit));
    std::atomic<std::uint64_t> held{0}, biggest{0};
    std::atomic<int> inputs{0}, most_inputs{0};
    auto size_of = [&](int n) { return std::uint64_t(1000 + (n % 5) * c.size_step); };
    Reader reader(
        c.workers, 2 * c.workers, 8, [&](const Input& input) -> Outcome {
          const int n = number_of(input);
          if (!quarn::batch::reserve(size_of(n))) return quarn::fail("stopped");
          const std::uint64_t now = held += size_of(n);
          for (std::uint64_t seen = biggest; now > seen && !biggest.compare_exchange_weak(seen, now);) {
          }
          raise_to(most_inputs, ++inputs);
          std::this_thread::sleep_for(100us);
          return numbered(n);
        },
        nullptr, c.limit);
    int submitted = 0;
    for (int want = 0; want < 60; ++want) {
      while (submitted < 60 && reader.room() > 0) ASSERT_TRUE(reader.submit(std::to_string(submitted++)));
      std::this_thread::sleep_for(300us);
      // Before: the bytes are free inside take(), and a worker may reserve at once.
      held -= size_of(want);
      --inputs;
      Outcome o = take(reader);
      ASSERT_TRUE(o) << o.error();
      ASSERT_EQ(number_in(o), want);
    }
    const std::uint64_t largest = size_of(4);
    if (c.limit != UINT64_MAX) {
      EXPECT_LE(biggest.load(), std::max(c.limit, largest) + largest);
    }
    EXPECT_LE(static_cast<std::size_t>(most_inputs.load()), c.most_reserved);
  }
  EXPECT_TRUE(quarn::batch::reserve(UINT64_MAX));  // not on a worker: nothing to wait for
}

// wait_room() returns once a quarter of the room is free, false when it times
// out full or the reader stops; a worker waiting to reserve is let go by a
// stop, and its input dropped.
TEST(BatchReader, WaitingForRoomAndForBytes) {
  std::atomic<bool> release{false};
  std::atomic<int> refused{0};
  Reader reader(
      2, 2, 6,
      [&](const Input& input) -> Outcome {
        const int n = number_of(input);
        if (!quarn::batch::reserve(10)) {
          ++refused;
          return quarn::fail("stopped");
        }
        while (n == 0 && !release) std::this_thread::sleep_for(100us);
        return numbered(n);
      },
      nullptr, 5);
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(reader.submit(std::to_string(i)));
  EXPECT_FALSE(reader.wait_room(2ms));  // full
  std::atomic<bool> roomy{false};
  std::thread waiter([&] { roomy = reader.wait_room(10s); });
  std::this_thread::sleep_for(5ms);  // waiting
  release = true;
  EXPECT_EQ(number_in(take(reader)), 0);
  std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(roomy);  // one free of 8: not yet a quarter
  EXPECT_EQ(number_in(take(reader)), 1);
  waiter.join();
  EXPECT_TRUE(roomy);
  // Input 2 is first now and reserved; 3 waits for bytes until the stop.
  for (int i = 8; i < 10; ++i) ASSERT_TRUE(reader.submit(std::to_string(i)));  // full again
  std::this_thread::sleep_for(5ms);
  std::thread stopper([&] { reader.stop(); });
  EXPECT_FALSE(reader.wait_room(10s));  // stopped
  stopper.join();
  EXPECT_GE(refused.load(), 1);
  EXPECT_TRUE(reader.stopped());
}

// Real files under a bound smaller than each: a file given back opened by the
// caller loads as load() does, the outcomes come in order, and a stop lets go
// of the workers waiting to reserve.
TEST(BatchReader, RealFilesUnderTheByteBound) {
  namespace batch = quarn::batch;
  const std::string example = std::string(QUARN_SOURCE_DIR) + "/examples/ac.psfbin";
  const std::string big = ::testing::TempDir() + "quarn_bytes_large";
  const std::string zeros(batch::kHelpBytes + 1, '\0');  // mapped; fails without a footer
  std::ofstream(big, std::ios::binary).write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  const Outcome big_want = batch::load(Input(big));
  ASSERT_FALSE(big_want);
  auto back = batch::load_if_small(Input(big));
  ASSERT_TRUE(std::holds_alternative<Input>(back));
  auto loaded = batch::read_ahead(std::get<Input>(back));
  ASSERT_TRUE(std::holds_alternative<Outcome>(loaded));
  EXPECT_EQ(std::get<Outcome>(loaded).error(), big_want.error());

  for (const bool take_them : {true, false}) {
    Reader reader(2, 4, 4, batch::read_ahead, batch::load_if_small, 1);
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(reader.submit(i % 3 == 1 ? example : big));
    if (!take_them) {
      std::this_thread::sleep_for(50ms);  // one file reserved, the other worker waiting
      reader.stop();
      continue;
    }
    for (int i = 0; i < 8; ++i) {
      Outcome o = take(reader);
      EXPECT_EQ(o.has_value(), i % 3 == 1) << i;
      if (!o && i % 3 != 1) {
        EXPECT_EQ(o.error(), big_want.error());
      }
    }
  }
  std::remove(big.c_str());
}

// Workers count against the thread budget: with every CPU of the limit busy
// with a worker, a body's decode inside a worker gets no helper threads; alone
// under a larger limit it gets them.
TEST(BatchReader, ThreadBudget) {
  struct Case {
    unsigned limit, workers;
    bool helpers_expected;
  };
  for (const Case c : {Case{2, 2, false}, Case{4, 1, true}}) {
    SCOPED_TRACE("limit " + std::to_string(c.limit) + ", workers " + std::to_string(c.workers));
    quarn::ThreadBudget::set_limit(c.limit);
    std::latch together(c.workers);
    std::atomic<int> foreign{0};
    {
      Reader reader(c.workers, c.workers, 0, [&](const Input&) -> Outcome {
        together.arrive_and_wait();  // every worker busy at once
        const auto me = std::this_thread::get_id();
        quarn::run_parallel(4, nullptr, [&](std::size_t) {
          if (std::this_thread::get_id() != me) ++foreign;
          std::this_thread::sleep_for(1ms);
        });
        EXPECT_LE(quarn::ThreadBudget::busy(), c.limit);
        return numbered(0);
      });
      for (unsigned i = 0; i < c.workers; ++i) ASSERT_TRUE(reader.submit("0"));
      for (unsigned i = 0; i < c.workers; ++i) ASSERT_TRUE(take(reader));
    }
    EXPECT_EQ(foreign.load() > 0, c.helpers_expected);
    EXPECT_EQ(quarn::ThreadBudget::busy(), 0u);
  }
  quarn::ThreadBudget::set_limit(0);
}

}  // namespace
