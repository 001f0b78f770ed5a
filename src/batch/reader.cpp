#include "batch/reader.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <system_error>
#include <utility>

#include "reader/parallel.h"

namespace quarn::batch {
namespace {

// Counted in the child of every fork(): a reader made before one is an orphan
// there. Cheaper than asking the process id at every call.
std::atomic<unsigned> g_forks{0};
void count_fork() noexcept { g_forks.fetch_add(1, std::memory_order_relaxed); }
[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, count_fork);

void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Takes the reader's lock, trying for a few microseconds before sleeping for
// it: it is held for well under a microsecond at a time, and a thread put to
// sleep for it costs a system call to wake. Measured with one worker: a thread
// slept for the lock about once every ten files; with the tries, the process
// makes one futex call for every hundred files.
constexpr int kLockTries = 200;
void lock_soon(std::unique_lock<std::mutex>& lock) {
  for (int i = 0; i < kLockTries; ++i) {
    if (lock.try_lock()) return;
    cpu_relax();
  }
  lock.lock();
}

// The reader and input a worker is loading, for `reserve`.
struct Loading {
  Reader* reader = nullptr;
  std::size_t number = 0;
};
thread_local Loading t_loading;

}  // namespace

bool reserve(std::uint64_t bytes) {
  const Loading loading = t_loading;
  return loading.reader == nullptr || loading.reader->reserve(loading.number, bytes);
}

Outcome load(const Input& input) {
  if (const auto* path = std::get_if<std::string>(&input)) return driver::load_records(*path);
  if (const auto* open = std::get_if<OpenFile>(&input))
    return driver::load_records(*open->file, open->path);
  return driver::load_records(std::get<Bytes>(input));
}

namespace {

// load_records of an opened file once its size is reserved.
Outcome load_reserved(const MappedFile& file, const std::string& path) {
  if (!reserve(file.bytes().size())) return Outcome(Failure{});  // stopped: dropped
  return driver::load_records(file, path);
}

}  // namespace

std::variant<Outcome, Input> read_ahead(const Input& input) {
  const auto* path = std::get_if<std::string>(&input);
  if (const auto* open = std::get_if<OpenFile>(&input))  // given back by the caller
    return load_reserved(*open->file, open->path);
  if (path == nullptr) return load(input);
  auto file = MappedFile::open(*path, /*reuse=*/true);
  if (!file) return Outcome(pass_up(file));
  if (file->mapped()) return load_reserved(*file, *path);
  file->close();
  return Input(OpenFile{*path, std::make_shared<const MappedFile>(std::move(*file))});
}

std::variant<Outcome, Input> load_if_small(Input&& input) {
  if (const auto* bytes = std::get_if<Bytes>(&input)) {
    if (bytes->size() > kHelpBytes) return std::move(input);
    return load(input);
  }
  auto* path = std::get_if<std::string>(&input);
  if (path == nullptr) return std::move(input);  // opened and given back already
  auto file = MappedFile::open(*path);
  if (!file) return Outcome(pass_up(file));
  if (file->bytes().size() > kHelpBytes)
    return Input(OpenFile{std::move(*path), std::make_shared<const MappedFile>(std::move(*file))});
  return driver::load_records(*file, *path);
}

Reader::Reader(unsigned workers, std::size_t window, std::size_t backlog, Loader loader,
               Helper helper, std::uint64_t byte_limit)
    : window_(window < workers ? workers : window),
      backlog_(backlog),
      byte_limit_(byte_limit),
      loader_(std::move(loader)),
      helper_(std::move(helper)),
      state_(std::make_unique<State>()),
      forks_(g_forks.load(std::memory_order_relaxed)) {
  if (workers == 0) workers = 1;
  if (window_ == 0) window_ = 1;
  const BlockAsyncSignals mask;  // inherited by the workers
  std::vector<std::thread>& threads = state_->threads;
  threads.reserve(workers);
  try {
    while (threads.size() < workers) threads.emplace_back([this] { work_loop(); });
  } catch (const std::system_error&) {
    // LCOV_EXCL_BR_LINE: only when the system refuses every thread
    if (threads.empty()) throw;
  }
}

Reader::~Reader() {
  if (orphaned()) {
    // The threads do not exist here and the lock may be held by one of them:
    // nothing of the state can be touched, not even to free it.
    (void)state_.release();
    return;
  }
  stop();
}

bool Reader::orphaned() const noexcept {
  return g_forks.load(std::memory_order_relaxed) != forks_;
}

std::size_t Reader::room() const {
  if (orphaned()) return 0;
  const std::lock_guard lock(state_->mutex);
  const std::size_t most = window_ + backlog_;
  return state_->stopping || state_->slots.size() >= most ? 0 : most - state_->slots.size();
}

std::size_t Reader::outstanding() const {
  if (orphaned()) return 0;
  const std::lock_guard lock(state_->mutex);
  return state_->slots.size();
}

bool Reader::wait_room(std::chrono::nanoseconds timeout) {
  if (orphaned()) return false;
  State& s = *state_;
  std::unique_lock lock(s.mutex, std::defer_lock);
  lock_soon(lock);
  const auto has_room = [&] { return s.stopping || s.slots.size() < window_ + backlog_; };
  s.room_waiter = true;
  s.roomy.wait_for(lock, timeout, has_room);
  s.room_waiter = false;
  return !s.stopping && s.slots.size() < window_ + backlog_;
}

bool Reader::stopped() const {
  if (orphaned()) return true;
  const std::lock_guard lock(state_->mutex);
  return state_->stopping;
}

bool Reader::reserve(std::size_t number, std::uint64_t bytes) {
  State& s = *state_;
  std::unique_lock lock(s.mutex, std::defer_lock);
  lock_soon(lock);
  const auto fits = [&] {
    // The input the caller waits for goes on whatever the count; so does one
    // when every worker waits here and the input the caller waits for was
    // given back, so that a worker becomes free to load it.
    if (s.stopping || number == s.first || s.bytes == 0 ||
        (s.bytes < byte_limit_ && bytes <= byte_limit_ - s.bytes))
      return true;
    const bool first_given_back =
        std::find(s.given_back.begin(), s.given_back.end(), s.first) != s.given_back.end();
    // LCOV_EXCL_BR_LINE: a race of the caller's give-back with every worker's wait
    return s.byte_waiters == s.threads.size() && first_given_back;
  };
  ++s.byte_waiters;
  s.fits.wait(lock, fits);
  --s.byte_waiters;
  if (s.stopping) return false;
  s.bytes += bytes;
  s.slots[number - s.first].bytes += bytes;
  return true;
}

bool Reader::submit(Input input) {
  if (orphaned()) return false;
  bool wake = false;
  {
    std::unique_lock lock(state_->mutex, std::defer_lock);
    lock_soon(lock);
    if (state_->stopping || state_->slots.size() >= window_ + backlog_) return false;
    state_->slots.push_back(Slot{std::move(input), std::nullopt, nullptr});
    state_->changes.fetch_add(1, std::memory_order_relaxed);
    wake = !state_->full;  // a full window's workers wait for room, not for inputs
  }
  if (wake) state_->work.notify_one();
  return true;
}

std::optional<Outcome> Reader::next(std::chrono::nanoseconds timeout) {
  if (orphaned()) return std::nullopt;
  State& s = *state_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(s.mutex, std::defer_lock);
  lock_soon(lock);
  auto ready = [&] {
    // LCOV_EXCL_BR_LINE: the queue empties in a wait only when stop() races it
    return !s.slots.empty() &&
           (s.slots.front().outcome || s.slots.front().thrown || s.slots.front().read);
  };
  while (!ready()) {
    if (s.slots.empty()) return std::nullopt;
    // Room in the window, whatever the workers' hysteresis says.
    const bool can_help = helper_ && s.load + kWhole <= capacity() &&
                          s.next_start < s.first + s.slots.size() &&
                          std::chrono::steady_clock::now() < deadline;
    if (!can_help) {
      if (!s.ready.wait_until(lock, deadline, ready)) return std::nullopt;
      break;
    }
    // Rather than sleep until a worker is done with the earliest input, load
    // the next one not started. It weighs in the window once it is made, not
    // while it loads: the workers may use that room meanwhile. (Counted from
    // the start, it kept a lone worker asleep for room while this thread
    // loaded about every other file itself, slower than a loop of reads.)
    const std::size_t number = start_next(0);
    Input input = std::move(s.slots[number - s.first].input);
    lock.unlock();
    std::variant<Outcome, Input> made{Outcome(Failure{})};
    std::exception_ptr thrown;
    try {
      const ThreadBudget::Busy busy;
      made = helper_(std::move(input));
    } catch (...) {
      thrown = std::current_exception();
    }
    lock_soon(lock);
    if (!helped(number, std::move(made), std::move(thrown))) return std::nullopt;
  }
  Slot slot = std::move(s.slots.front());
  s.slots.pop_front();
  ++s.first;
  s.load -= slot.read ? kRead : kWhole;
  s.bytes -= slot.bytes;
  // A worker waiting to reserve may now fit, or load the input now first.
  const bool wake_fits = s.byte_waiters > 0;
  const std::size_t most = window_ + backlog_;
  const bool wake_room = s.room_waiter && s.slots.size() + std::max<std::size_t>(1, most / 4) <= most;
  // Workers that filled the window go on once half of it is free: one wake-up
  // for several files, not one a file, whether they wait asleep or awake. A
  // worker starts an input only with room for a whole one, so in a window of
  // two that is once half of a whole one more is free (else a lone worker
  // would be woken to read one small file at a time).
  const bool half_free = s.load <= std::min(capacity() / 2, capacity() - kWhole - kWhole / 2);
  if (half_free) s.changes.fetch_add(1, std::memory_order_relaxed);
  const bool wake = s.full && half_free;
  if (wake) s.full = false;
  lock.unlock();
  if (wake) s.work.notify_all();
  if (wake_fits) s.fits.notify_all();
  if (wake_room) s.roomy.notify_all();
  if (slot.thrown) std::rethrow_exception(slot.thrown);
  if (!slot.read) return std::move(slot.outcome);
  const ThreadBudget::Busy busy;
  return load(slot.input);
}

std::size_t Reader::start_next(std::size_t weight) {
  State& s = *state_;
  s.load += weight;
  return s.next_start++;
}

bool Reader::helped(std::size_t number, std::variant<Outcome, Input>&& made,
                    std::exception_ptr thrown) {
  State& s = *state_;
  if (s.stopping) return false;  // stopped from another thread: its slot is gone
  s.load += kWhole;  // made, or opened for a worker to load
  Slot& slot = s.slots[number - s.first];
  if (auto* back = std::get_if<Input>(&made)) {  // never when the helper threw
    slot.input = std::move(*back);
    s.given_back.push_back(number);
    s.changes.fetch_add(1, std::memory_order_relaxed);
    s.work.notify_one();
    s.fits.notify_all();  // every worker may wait to reserve, and this may be first
    return true;
  }
  slot.thrown = std::move(thrown);
  if (!slot.thrown) slot.outcome = std::move(std::get<Outcome>(made));
  if (number == s.first) s.ready.notify_one();  // another thread may wait in next()
  return true;
}

void Reader::stop() noexcept {
  if (orphaned()) return;
  {
    const std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->changes.fetch_add(1, std::memory_order_relaxed);
  }
  state_->work.notify_all();
  state_->fits.notify_all();
  state_->roomy.notify_all();
  for (std::thread& t : state_->threads)
    if (t.joinable()) t.join();
  const std::lock_guard lock(state_->mutex);
  state_->first += state_->slots.size();
  state_->next_start = state_->first;
  state_->load = 0;
  state_->bytes = 0;
  state_->slots.clear();
  state_->given_back.clear();
}

template <class CanGo>
bool Reader::wait_awake(std::unique_lock<std::mutex>& lock, CanGo can_go,
                        std::chrono::steady_clock::time_point until) {
  State& s = *state_;
  ++s.waiting_awake;
  for (;;) {
    const std::uint64_t seen = s.changes.load(std::memory_order_relaxed);
    lock.unlock();
    bool late = false;
    while (!late && s.changes.load(std::memory_order_relaxed) == seen) {
      late = std::chrono::steady_clock::now() >= until;
      if (!late) std::this_thread::yield();
    }
    lock_soon(lock);
    const bool go = can_go();
    if (go || late) {
      --s.waiting_awake;
      return go;
    }
  }
}

void Reader::work_loop() noexcept {
  State& s = *state_;
  auto can_go = [&] {
    return s.stopping || !s.given_back.empty() ||
           (s.next_start < s.first + s.slots.size() && s.load + kWhole <= capacity());
  };
  std::unique_lock lock(s.mutex, std::defer_lock);
  lock_soon(lock);
  // Sleeps until can_go, flagging a wait for room so that `next` wakes the
  // workers once half of the window is free.
  auto sleep = [&] {
    s.work.wait(lock, [&] {
      if (can_go()) return true;
      if (s.next_start < s.first + s.slots.size()) s.full = true;
      return false;
    });
  };
  bool awake = true;  // whether the next wait starts awake
  for (;;) {
    if (!can_go()) {
      // Awake for as long as that pays: after a wait longer than kAwake (a
      // caller slow to take its files) the next one is slept, and after a
      // shorter one awake again.
      const auto from = std::chrono::steady_clock::now();
      const bool try_awake = awake && s.waiting_awake < kWaitingAwake;
      if (!try_awake || !wait_awake(lock, can_go, from + kAwake)) sleep();
      awake = std::chrono::steady_clock::now() - from < kAwake;
    }
    if (s.stopping) return;
    // The front is taken only once done, so this input's slot stays in the
    // queue (at its number less `first`) until its outcome is in.
    std::size_t number = 0;
    if (!s.given_back.empty()) {
      number = s.given_back.front();
      s.given_back.pop_front();
    } else {
      number = start_next();
    }
    const Input input = std::move(s.slots[number - s.first].input);
    lock.unlock();

    std::variant<Outcome, Input> made{Outcome(Failure{})};
    std::exception_ptr thrown;
    t_loading = Loading{this, number};
    try {
      const ThreadBudget::Busy busy;
      made = loader_(input);
    } catch (...) {
      thrown = std::current_exception();
    }
    t_loading = Loading{};

    lock_soon(lock);
    Slot& slot = s.slots[number - s.first];
    slot.thrown = std::move(thrown);
    if (!slot.thrown) {
      if (auto* read = std::get_if<Input>(&made)) {
        slot.input = std::move(*read);
        slot.read = true;
        s.load -= kWhole - kRead;
      } else {
        slot.outcome = std::move(std::get<Outcome>(made));
      }
    }
    if (number == s.first) s.ready.notify_one();
  }
}

}  // namespace quarn::batch
