// Many files read on worker threads, handed out in the order they were given.
//
// The caller submits inputs (paths, or whole files in memory) and takes their
// outcomes in submission order. Workers load the earliest inputs not yet
// started, each with driver::load_records, and keep their outcomes until they
// are taken. At most `window` inputs are started (being read, or read) and not
// yet taken, so the outcomes waiting never exceed that many; up to `backlog`
// more may wait unstarted, so that a worker finds its next input queued
// instead of sleeping until the caller submits one. Nothing here knows
// Python: the extension releases the interpreter lock while it waits in `next`.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
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

// A file's path (bytes in the file-system encoding), or a whole file's bytes,
// which must stay valid until its outcome is taken or the reader is stopped.
using Input = std::variant<std::string, Bytes>;
using Outcome = Result<driver::Records>;
using Loader = std::function<Outcome(const Input&)>;

// driver::load_records of a path or of bytes, its decode within the thread budget.
Outcome load(const Input& input);

class Reader {
 public:
  // Starts `workers` threads (at least one; fewer if the system has no more)
  // with the process's asynchronous signals blocked. `window` is raised to
  // `workers` if smaller. Throws std::system_error if no thread can be started.
  Reader(unsigned workers, std::size_t window, std::size_t backlog, Loader loader = load);
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

  // Adds an input after those already submitted. False (and nothing added)
  // when there is no room or the reader was stopped.
  bool submit(Input input);

  // The outcome of the earliest input not yet taken, once it is ready; nullopt
  // if it is not ready within `timeout`, or if nothing is outstanding. An
  // exception the loader threw (std::bad_alloc) is thrown here instead.
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
    // Set when `window` inputs are started and not taken; cleared by `next`
    // once at most half of that many are.
    bool full = false;
    bool stopping = false;
    std::vector<std::thread> threads;  // here, so that an orphan abandons them too
  };

  void work_loop() noexcept;

  std::size_t window_;
  std::size_t backlog_;
  Loader loader_;
  std::unique_ptr<State> state_;
  unsigned forks_;  // forks the process had made when this reader was
};

}  // namespace quarn::batch
