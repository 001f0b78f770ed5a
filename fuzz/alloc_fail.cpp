// Allocation failure at every allocation point. For every input file:
//  1. read it once and count the allocations the read makes: operator new,
//     and the realloc, mmap and mremap of the sample buffers and the file
//     mapping (the core's own calls, routed here by the linker's --wrap);
//  2. read it again once per allocation k, with allocation k failing, and
//     once more per k with every allocation from k on failing.
// Each read ends in a clean failure: std::bad_alloc reaching the caller (the
// boundary turns it into MemoryError), the out-of-memory message, or the
// failure the file itself gives when no allocation fails. A read may also
// succeed where the core has another way (a helper thread that cannot be
// started, a fast path that falls back to the careful one), but then with the
// very records of the read where nothing failed. Never std::terminate (a throw
// through a noexcept function), and every block allocated during the read is
// freed by its end (a balance kept here; LeakSanitizer checks the rest).
//
// The reads tried: the parse of the bytes plus the assembly's take_order; the
// whole way from a path (load_records); the parse with its body split over
// three threads, where a thread that cannot be started is no failure; a path
// through the batch reader's worker thread; and the lazy reader's open and
// reads of every series, whole and in part; and the text-form reader's load.
//   quarn_alloc_fail FILE_OR_DIR...
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "batch/reader.h"
#include "driver/lazy_file.h"
#include "driver/load.h"
#include "driver/parse.h"
#include "text/text_form.h"

namespace {

// Allocations counted since the last reset; those numbered in [fail_from,
// fail_to) fail. Atomic: a split body allocates on several threads.
std::atomic<std::uint64_t> allocations{0};
std::atomic<std::uint64_t> fail_from{UINT64_MAX};
std::atomic<std::uint64_t> fail_to{UINT64_MAX};
std::atomic<bool> failed{false};
std::atomic<std::int64_t> live_blocks{0};  // operator new minus operator delete
const char* current_input = "";
const char* current_mode = "";

bool should_fail() noexcept {
  const std::uint64_t k = allocations.fetch_add(1, std::memory_order_relaxed);
  if (k >= fail_from.load(std::memory_order_relaxed) && k < fail_to.load(std::memory_order_relaxed)) {
    failed.store(true, std::memory_order_relaxed);
    return true;
  }
  return false;
}

void* allocate(std::size_t n) {
  if (should_fail()) throw std::bad_alloc();
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  live_blocks.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  live_blocks.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
}

enum class Outcome { Success, Failure, BadAlloc };

struct Run {
  Outcome outcome;
  std::string message;
  std::uint64_t digest = 0;  // of the records of a success
};

using Reader = std::function<Run()>;

// A hash of the names and samples of the sweeps and traces, and of the number
// of header properties and values.
std::uint64_t digest(std::size_t header, std::size_t values,
                     const std::vector<quarn::NamedSeries>& sweeps,
                     const std::vector<quarn::NamedSeries>& traces) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  const auto mix = [&h](const void* p, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 0x100000001b3ULL;
  };
  mix(&header, sizeof header);
  mix(&values, sizeof values);
  for (const auto* list : {&sweeps, &traces}) {
    for (const quarn::NamedSeries& s : *list) {
      mix(s.name.data(), s.name.size());
      const quarn::SampleBuffer& samples = s.series.samples();
      const std::size_t n = samples.size();
      mix(&n, sizeof n);
      if (n != 0) mix(samples.data(), n * sizeof(double));
    }
  }
  return h;
}

Run parse_bytes(const std::vector<char>& data, const quarn::Concurrency& concurrency) {
  try {
    auto parsed = quarn::driver::parse(
        quarn::Bytes(reinterpret_cast<const std::byte*>(data.data()), data.size()), concurrency);
    if (!parsed) return {Outcome::Failure, parsed.error()};
    auto sweeps = parsed->state.take_order(parsed->state.sweep_order);
    if (!sweeps) return {Outcome::Failure, sweeps.error()};
    auto traces = parsed->state.take_order(parsed->state.trace_order);
    if (!traces) return {Outcome::Failure, traces.error()};
    return {Outcome::Success, {},
            digest(parsed->header.size(), parsed->state.values.size(), *sweeps, *traces)};
  } catch (const std::bad_alloc&) {
    return {Outcome::BadAlloc, {}};
  }
}

Run load_path(const std::string& path) {
  try {
    auto records = quarn::driver::load_records(path, 1);
    if (!records) return {Outcome::Failure, records.error()};
    return {Outcome::Success, {},
            digest(records->header.size(), records->values.size(), records->sweeps,
                   records->traces)};
  } catch (const std::bad_alloc&) {
    return {Outcome::BadAlloc, {}};
  }
}

// The text-form reader's whole way from a path.
Run text_path(const std::string& path) {
  try {
    quarn::text::TextExtras extras;
    auto records = quarn::text::load_text(path, &extras);
    if (!records) return {Outcome::Failure, records.error()};
    return {Outcome::Success, {},
            digest(records->header.size(), records->values.size(), records->sweeps,
                   records->traces)};
  } catch (const std::bad_alloc&) {
    return {Outcome::BadAlloc, {}};
  }
}

// One path through the batch reader: a worker thread loads it, the caller
// takes the outcome (or the std::bad_alloc the loader threw). A thread that
// cannot be started counts as the lack of memory it is.
Run batch_path(const std::string& path) {
  try {
    quarn::batch::Reader reader(1, 2, 0);
    if (!reader.submit(path)) return {Outcome::Failure, "the batch reader refused the input"};
    std::optional<quarn::batch::Outcome> records;
    while (!records && reader.outstanding() != 0) records = reader.next(std::chrono::seconds(1));
    if (!records) return {Outcome::Failure, "the batch reader lost the input"};
    if (!*records) return {Outcome::Failure, records->error()};
    return {Outcome::Success, {},
            digest((*records)->header.size(), (*records)->values.size(), (*records)->sweeps,
                   (*records)->traces)};
  } catch (const std::bad_alloc&) {
    return {Outcome::BadAlloc, {}};
  } catch (const std::system_error&) {
    return {Outcome::BadAlloc, {}};
  }
}

// One path through the lazy reader: the open (a walk of the structure), then
// every sweep and trace read whole and in a middle stretch. The records'
// digest covers the whole reads, so a success must equal load_records'.
Run lazy_path(const std::string& path) {
  try {
    auto file = quarn::driver::LazyFile::open(path, 1);
    if (!file) return {Outcome::Failure, file.error()};
    quarn::driver::LazyIndex& index = file->index();
    std::vector<quarn::NamedSeries> lists[2];
    for (int k = 0; k < 2; ++k) {
      for (const quarn::driver::LazySeries& s : k == 0 ? index.sweeps : index.traces) {
        const std::uint64_t points = s.layout.points;
        auto part = file->read(s, points / 3, points - points / 3, 1);
        if (!part) return {Outcome::Failure, part.error()};
        auto whole = file->read(s, 0, points, 1);
        if (!whole) return {Outcome::Failure, whole.error()};
        lists[k].push_back(quarn::NamedSeries{s.name, std::move(*whole)});
      }
    }
    return {Outcome::Success, {},
            digest(index.header.size(), index.values.size(), lists[0], lists[1])};
  } catch (const std::bad_alloc&) {
    return {Outcome::BadAlloc, {}};
  }
}

// The out-of-memory outcomes: the sample buffers' message, or the system's
// refusal to map the file (ENOMEM, as the wrapped mmap fails).
bool is_out_of_memory(const std::string& message) {
  return message.starts_with("cannot allocate memory for ") ||
         (message.starts_with("cannot mmap ") &&
          message.ends_with("(os error " + std::to_string(ENOMEM) + ")"));
}

[[noreturn]] void on_terminate() {
  std::fprintf(stderr,
               "alloc_fail: std::terminate while allocations %llu.. of %s (%s) failed "
               "(a std::bad_alloc went through a noexcept function)\n",
               static_cast<unsigned long long>(fail_from.load()), current_input, current_mode);
  std::abort();
}

// One read with allocations [from, to) failing; false (after a report) when
// its outcome is not clean.
bool check_one(const Reader& read, const Run& clean, std::uint64_t from, std::uint64_t to) {
  // The message is copied into room made beforehand, so that the balance
  // taken after the read's own objects are gone does not count it.
  Run run{Outcome::Success, {}};
  run.message.reserve(4096);
  allocations = 0;
  failed = false;
  fail_from = from;
  fail_to = to;
  const std::int64_t live_before = live_blocks.load();
  {
    Run got = read();
    fail_from = fail_to = UINT64_MAX;
    run.outcome = got.outcome;
    run.digest = got.digest;
    run.message.assign(got.message, 0, 4095);
  }
  const std::int64_t leaked = live_blocks.load() - live_before;
  const char* wrong = nullptr;
  if (leaked != 0)
    wrong = "left blocks allocated";
  else if (!failed && (run.outcome != clean.outcome || run.message != clean.message))
    wrong = "changed its outcome although no allocation failed";
  else if (run.outcome == Outcome::Success &&
           (clean.outcome != Outcome::Success || run.digest != clean.digest))
    wrong = "succeeded with other records than without the failing allocation";
  else if (run.outcome == Outcome::Failure && run.message != clean.message &&
           !is_out_of_memory(run.message))
    wrong = "failed with another message than the out-of-memory one";
  if (wrong == nullptr) return true;
  std::fprintf(stderr, "alloc_fail: %s (%s) %s with allocations %llu..%llu failing (%lld blocks; %s)\n",
               current_input, current_mode, wrong, static_cast<unsigned long long>(from),
               static_cast<unsigned long long>(to), static_cast<long long>(leaked),
               run.message.c_str());
  return false;
}

// Every allocation point of one reader over one input; the number of reads.
std::uint64_t points = 0;  // allocation points tried, over every input and reader

std::uint64_t sweep(const Reader& read, const char* mode, bool from_k_on, bool& ok) {
  current_mode = mode;
  allocations = 0;
  const Run clean = read();
  const std::uint64_t total = allocations;
  points += total;
  std::uint64_t reads = 0;
  for (std::uint64_t k = 0; k < total && ok; ++k) {
    ok = check_one(read, clean, k, k + 1);
    if (ok && from_k_on) ok = check_one(read, clean, k, UINT64_MAX);
    reads += from_k_on ? 2 : 1;
  }
  return reads;
}

std::vector<std::filesystem::path> inputs_of(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> out;
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) {
      std::vector<fs::path> found;
      for (const auto& e : fs::directory_iterator(argv[i])) {
        const std::string name = e.path().filename().string();
        if (e.is_regular_file() && !name.starts_with(".") && !name.starts_with("README") &&
            !name.ends_with(".py"))
          found.push_back(e.path());
      }
      std::sort(found.begin(), found.end());
      out.insert(out.end(), found.begin(), found.end());
    } else {
      out.emplace_back(argv[i]);
    }
  }
  return out;
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return allocate(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

// The C allocations of the core, linked with -Wl,--wrap=realloc,... so that
// only the core's own calls come here.
extern "C" {
void* __real_realloc(void* p, std::size_t n);
void* __real_mmap(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset);
void* __real_mremap(void* old, std::size_t old_size, std::size_t new_size, int flags, ...);

void* __wrap_realloc(void* p, std::size_t n) {
  if (should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __real_realloc(p, n);
}
void* __wrap_mmap(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset) {
  if (should_fail()) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return __real_mmap(addr, length, prot, flags, fd, offset);
}
void* __wrap_mremap(void* old, std::size_t old_size, std::size_t new_size, int flags, ...) {
  if (should_fail()) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return __real_mremap(old, old_size, new_size, flags);  // the core never asks for a fixed address
}
}

int main(int argc, char** argv) {
  std::set_terminate(on_terminate);
  const auto inputs = inputs_of(argc, argv);
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s FILE_OR_DIR... (no inputs found)\n", argv[0]);
    return 2;
  }
  std::uint64_t reads = 0;
  bool ok = true;
  for (const auto& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> data((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
    const std::string name = path.string();
    current_input = name.c_str();
    reads += sweep([&] { return parse_bytes(data, {}); }, "parse", true, ok);
    reads += sweep([&] { return load_path(name); }, "load_records", true, ok);
    // Which thread makes which allocation varies from run to run, so only one
    // allocation fails at a time.
    reads += sweep([&] { return parse_bytes(data, {.threads = 3, .min_bytes_per_thread = 16}); },
                   "split parse", false, ok);
    reads += sweep([&] { return batch_path(name); }, "batch", false, ok);
    reads += sweep([&] { return lazy_path(name); }, "lazy", true, ok);
    reads += sweep([&] { return text_path(name); }, "text", true, ok);
    if (!ok) return 1;
  }
  std::printf("alloc_fail: %zu inputs, %llu allocation points, %llu reads with failing "
              "allocations, all clean\n",
              inputs.size(), static_cast<unsigned long long>(points),
              static_cast<unsigned long long>(reads));
  return 0;
}
