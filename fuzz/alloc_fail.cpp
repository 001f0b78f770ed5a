// Allocation failure, one allocation at a time: for every input, the parse
// and the assembly's take_order run once per allocation they make, with that
// allocation (and only that one) failing. The outcome must be std::bad_alloc
// reaching the caller, which the extension's boundary turns into MemoryError,
// or a failure message; never std::terminate (a throw through a noexcept
// function) and never a success that swallowed the failure.
//   quarn_alloc_fail FILE_OR_DIR...
// Inputs whose parse allocates more than 1024 times are sampled (see main).
// Only `operator new` is failed here; the sample buffers' realloc reports its
// own failure as a message and is covered by the tests.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "driver/parse.h"

namespace {

// Allocations counted since the last reset; the one numbered `fail_at` throws.
std::uint64_t allocations = 0;
std::uint64_t fail_at = UINT64_MAX;
bool failed = false;
const char* current_input = "";

void* allocate(std::size_t n) {
  if (allocations++ == fail_at) {
    failed = true;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}

enum class Outcome { Success, Failure, BadAlloc };

Outcome run(const std::vector<char>& data) {
  try {
    auto parsed = quarn::driver::parse(
        quarn::Bytes(reinterpret_cast<const std::byte*>(data.data()), data.size()));
    if (!parsed) return Outcome::Failure;
    auto sweeps = parsed->state.take_order(parsed->state.sweep_order);
    if (!sweeps) return Outcome::Failure;
    auto traces = parsed->state.take_order(parsed->state.trace_order);
    if (!traces) return Outcome::Failure;
    return Outcome::Success;
  } catch (const std::bad_alloc&) {
    return Outcome::BadAlloc;
  }
}

[[noreturn]] void on_terminate() {
  std::fprintf(stderr,
               "alloc_fail: std::terminate while allocation %llu of %s failed "
               "(a std::bad_alloc went through a noexcept function)\n",
               static_cast<unsigned long long>(fail_at), current_input);
  std::abort();
}

std::vector<std::filesystem::path> inputs_of(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> out;
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) {
      std::vector<fs::path> found;
      for (const auto& e : fs::directory_iterator(argv[i])) {
        const std::string name = e.path().filename().string();
        if (e.is_regular_file() && !name.starts_with(".") && !name.starts_with("README"))
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
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

int main(int argc, char** argv) {
  std::set_terminate(on_terminate);
  const auto inputs = inputs_of(argc, argv);
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s FILE_OR_DIR... (no inputs found)\n", argv[0]);
    return 2;
  }
  std::uint64_t runs = 0;
  for (const auto& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string name = path.string();
    current_input = name.c_str();

    fail_at = UINT64_MAX;
    allocations = 0;
    run(data);
    const std::uint64_t total = allocations;
    // Every allocation of a small parse; of a large one the first 512 and then
    // 512 spread over the rest, so the run stays short.
    const std::uint64_t stride = total <= 1024 ? 1 : (total - 512) / 512 + 1;
    for (std::uint64_t k = 0; k < total; k += k < 512 ? 1 : stride) {
      fail_at = k;
      allocations = 0;
      failed = false;
      const Outcome outcome = run(data);
      ++runs;
      if (failed && outcome == Outcome::Success) {
        std::fprintf(stderr, "alloc_fail: %s parsed although allocation %llu failed\n",
                     current_input, static_cast<unsigned long long>(k));
        return 1;
      }
    }
  }
  fail_at = UINT64_MAX;
  std::printf("alloc_fail: %zu inputs, %llu parses with one failing allocation, all clean\n",
              inputs.size(), static_cast<unsigned long long>(runs));
  return 0;
}
