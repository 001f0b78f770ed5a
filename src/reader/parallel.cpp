#include "reader/parallel.h"

#include <sched.h>

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

void run_parallel(std::size_t n, const ThreadScope* scope, void (*work)(void*, std::size_t),
                  void* context) noexcept {
  std::vector<std::thread> helpers;
  std::size_t started = 1;  // jobs [1, started) run on helper threads
  try {
    helpers.reserve(n > 1 ? n - 1 : 0);
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
  if (n > 0) work(context, 0);
  for (std::size_t i = started; i < n; ++i) work(context, i);
  for (std::thread& t : helpers) t.join();
}

}  // namespace quarn
