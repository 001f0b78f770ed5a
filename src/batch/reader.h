// Many files read on worker threads, handed out in the order they were given.
//
// The caller submits inputs (paths, or whole files in memory) and takes their
// outcomes in submission order. Workers load the earliest inputs not yet
// started, each with driver::load_records, and keep their outcomes until they
// are taken; or they only read a small file into memory, and the caller
// parses it when it takes it (see `read_ahead`). At most `window` inputs are
// started (being loaded, or loaded) and not yet taken, so the outcomes waiting
// never exceed that many; a small file read and not parsed counts a quarter.
// Up to `backlog` more may wait unstarted, so that a worker finds its next
// input queued instead of sleeping until the caller submits one. A caller
// whose next outcome is not ready yet may load an input not started instead
// of sleeping (a `Helper`): on a machine with few cores, sleeping and being
// woken for each small file costs about what reading it does. Nothing here
// knows Python: the extension releases the interpreter lock while it waits in
// `next`. Besides the window, the bytes of the inputs read ahead are bounded:
// a loader that is about to load a large input reserves its size (`reserve`).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "driver/load.h"

namespace quarn::batch {

// A file opened by a helper and given back to the workers unread.
struct OpenFile {
  std::string path;
  std::shared_ptr<const MappedFile> file;
};

// A file's path (bytes in the file-system encoding), or a whole file's bytes,
// which must stay valid until its outcome is taken or the reader is stopped.
using Input = std::variant<std::string, Bytes, OpenFile>;
using Outcome = Result<driver::Records>;
// What a worker makes of an input: its outcome, or an input for the caller's
// thread to load when it takes it (a small file read into memory).
using Loader = std::function<std::variant<Outcome, Input>(const Input&)>;
// What the caller's thread does with an input it takes while it would wait in
// `next`: loads it (an outcome), or gives it back to the workers (an input,
// maybe not the one it took: the same file, opened).
using Helper = std::function<std::variant<Outcome, Input>(Input&&)>;

// driver::load_records of a path or of bytes, its decode within the thread budget.
Outcome load(const Input& input);

// The workers' part of a path whose file is small enough to be read into
// memory: reading it, not parsing it. Parsing it on the thread that makes its
// Python objects keeps each of its allocations on the thread that frees them,
// and malloc then takes no lock of another thread's arena. Anything else is
// loaded whole.
std::variant<Outcome, Input> read_ahead(const Input& input);

// The caller loads only what is quick to load, so that it comes back to its
// signals soon: whole files of at most kHelpBytes. It gives back the others,
// opened.
inline constexpr std::uint64_t kHelpBytes = std::uint64_t{4} << 20;
std::variant<Outcome, Input> load_if_small(Input&& input);

// Called by a loader on a worker of a Reader before it loads an input that
// will hold about `bytes` (a file's size): waits until they fit in the
// reader's byte bound, counted until the input's outcome is taken. The input
// the caller waits for, or one when nothing else is counted, always fits. False
// when the reader stops meanwhile (the input's outcome is dropped then).
// Elsewhere (the caller's thread, a test) true at once.
bool reserve(std::uint64_t bytes);

class Reader {
 public:
  // Starts `workers` threads (at least one; fewer if the system has no more)
  // with the process's asynchronous signals blocked. `window` is raised to
  // `workers` if smaller. Throws std::system_error if no thread can be started.
  // Without a `helper` the caller only waits in `next`. `byte_limit` bounds
  // the bytes reserved (see `reserve`) by inputs not taken.
  Reader(unsigned workers, std::size_t window, std::size_t backlog, Loader loader = load,
         Helper helper = nullptr, std::uint64_t byte_limit = UINT64_MAX);
  // Stops the workers and joins them (see `stop`).
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  std::size_t window() const noexcept { return window_; }
  unsigned workers() const noexcept { return static_cast<unsigned>(state_->threads.size()); }

  // How many more inputs may be submitted now (window + backlog, less those
  // submitted and not taken).
  std::size_t room() const;
  // Inputs submitted and not yet taken.
  std::size_t outstanding() const;
  // Waits until there is room for a submit, or the reader is stopped, or
  // `timeout` passes; true if there is room. A waiter is woken once a quarter
  // of the room is free, not for every input taken.
  bool wait_room(std::chrono::nanoseconds timeout);
  // Whether `stop` was called (true in an orphan too).
  bool stopped() const;

  // Adds an input after those already submitted. False (and nothing added)
  // when there is no room or the reader was stopped.
  bool submit(Input input);

  // The outcome of the earliest input not yet taken, once it is ready; nullopt
  // if it is not ready within `timeout`, or if nothing is outstanding. An
  // exception the loader threw (std::bad_alloc) is thrown here instead. Until
  // the outcome is ready, and the timeout not passed, the helper is given the
  // inputs not started, one at a time, as long as the window has room.
  std::optional<Outcome> next(std::chrono::nanoseconds timeout);

  // Inputs not yet started are dropped; each worker finishes the input it is
  // on, and all are joined. Outcomes not taken are dropped. Idempotent. In an
  // orphan (below) this, `submit` and `next` do nothing.
  void stop() noexcept;

  // True in a child of fork() made while this reader existed: its threads are
  // the parent's, and nothing of it may be used or freed (its lock may be
  // held forever); the destructor then abandons its state.
  bool orphaned() const noexcept;

 private:
  struct Slot {
    Input input;
    std::optional<Outcome> outcome;
    std::exception_ptr thrown;
    bool read = false;  // `input` is read into memory, for the caller to parse
    std::uint64_t bytes = 0;  // reserved by its loader
  };
  struct State {
    mutable std::mutex mutex;
    std::condition_variable work;   // an input to start, or stop
    std::condition_variable ready;  // the earliest outcome is in
    std::deque<Slot> slots;         // from the earliest input not yet taken
    // Inputs are numbered in submission order: `first` is the number of
    // slots.front(), and inputs before `next_start` are started or done.
    std::size_t first = 0;
    std::size_t next_start = 0;
    // Inputs a helper gave back, for the workers before any other; they are
    // started already as far as the window goes.
    std::deque<std::size_t> given_back;
    // The weight of the inputs started and not taken (kWhole each, kRead for
    // one read into memory for the caller).
    std::size_t load = 0;
    // Set when a worker sleeps for room in the window; cleared by `next`, which
    // wakes the workers once about half of it is free.
    bool full = false;
    bool stopping = false;
    // Counts the changes that may give a waiting worker something to do (an
    // input submitted or given back, half the window free again, a stop), so
    // that it can wait awake without taking the lock (see `wait_awake`).
    std::atomic<std::uint64_t> changes{0};
    unsigned waiting_awake = 0;  // workers in `wait_awake`
    std::vector<std::thread> threads;  // here, so that an orphan abandons them too
    // The bytes reserved by inputs not taken, and the workers waiting to
    // reserve more (on `fits`).
    std::uint64_t bytes = 0;
    unsigned byte_waiters = 0;
    std::condition_variable fits;
    // A thread waits in `wait_room` (on `roomy`).
    bool room_waiter = false;
    std::condition_variable roomy;
  };
  friend bool reserve(std::uint64_t bytes);
  // `reserve` for input `number`, on a worker.
  bool reserve(std::size_t number, std::uint64_t bytes);

  // An input being loaded, or loaded, weighs kWhole in the window; one that a
  // worker read into memory for the caller (a small file, not parsed) weighs
  // kRead, so that several of them wait where one parsed file may.
  static constexpr std::size_t kWhole = 4;
  static constexpr std::size_t kRead = 1;
  std::size_t capacity() const noexcept { return window_ * kWhole; }
  // Counts the earliest input not started as started, adds `weight` to the
  // load, and returns its number. Called locked.
  std::size_t start_next(std::size_t weight = kWhole);

  void work_loop() noexcept;
  // A worker with nothing to start waits awake until `can_go` holds (true) or
  // `until` passes (false), yielding its CPU to any thread ready to run; then
  // it may sleep. On the virtual machines measured, a thread put to sleep and
  // woken again every few small files cost more CPU than reading them. At most
  // kWaitingAwake workers wait awake at once, so that many workers held up by
  // a caller do not keep as many CPUs busy doing nothing. Called locked.
  static constexpr std::chrono::microseconds kAwake{100};
  static constexpr unsigned kWaitingAwake = 2;
  template <class CanGo>
  bool wait_awake(std::unique_lock<std::mutex>& lock, CanGo can_go,
                  std::chrono::steady_clock::time_point until);
  // Puts what the helper made of input `number` in its place; false if the
  // reader was stopped meanwhile (and nothing is kept). Called locked.
  bool helped(std::size_t number, std::variant<Outcome, Input>&& made, std::exception_ptr thrown);

  std::size_t window_;
  std::size_t backlog_;
  std::uint64_t byte_limit_;
  Loader loader_;
  Helper helper_;
  std::unique_ptr<State> state_;
  unsigned forks_;  // forks the process had made when this reader was
};

}  // namespace quarn::batch
