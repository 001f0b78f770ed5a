#include "driver/bus_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>

namespace quarn {

struct BusGuardAccess {
  static void on_bus_error(int sig, siginfo_t* info, void* context);
};

namespace {

thread_local BusGuard* t_guard = nullptr;
struct sigaction g_previous;
std::once_flag g_installed;

// Ways that end in the default action end the process, which then writes no
// coverage counters: the death tests check them, the counts cannot show them.
void chain(int sig, siginfo_t* info, void* context) {
  if (g_previous.sa_flags & SA_SIGINFO) {
    // LCOV_EXCL_BR_LINE: its other way ends the process
    if (g_previous.sa_sigaction != nullptr) {
      g_previous.sa_sigaction(sig, info, context);
      return;
    }
    // LCOV_EXCL_BR_LINE: its other way ends the process
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
    return;
  }
  // Default action: restore it; the faulting instruction runs again and the
  // signal then ends the process as it would have without us.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  // LCOV_EXCL_BR_LINE: the process ends either way
  if (info == nullptr || info->si_code <= 0) raise(sig);  // sent, not a fault: resend
}

void install() {
  struct sigaction action {};
  action.sa_sigaction = &BusGuardAccess::on_bus_error;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &g_previous);
}

}  // namespace

void BusGuardAccess::on_bus_error(int sig, siginfo_t* info, void* context) {
  BusGuard* g = t_guard;
  // LCOV_EXCL_BR_LINE: a SA_SIGINFO handler always gets its siginfo
  const auto addr = reinterpret_cast<std::uintptr_t>(info != nullptr ? info->si_addr : nullptr);
  const auto base = g != nullptr ? reinterpret_cast<std::uintptr_t>(g->base_) : 0;
  if (g == nullptr ||
      // LCOV_EXCL_BR_LINE: a SA_SIGINFO handler always gets its siginfo
      info == nullptr ||
      info->si_code <= 0 || addr < base || addr - base >= g->length_) {
    chain(sig, info, context);
    return;
  }
  // Zero-filled memory from the faulting page to the end of the range; the
  // range itself stays mapped, so the caller's munmap still covers it.
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t from = addr & ~(page - 1);
  const std::uintptr_t end = base + g->length_;
  void* got = mmap(reinterpret_cast<void*>(from), end - from, PROT_READ,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  // LCOV_EXCL_BR_LINE: a fixed mapping over our own pages fails only without memory
  if (got == MAP_FAILED) {
    chain(sig, info, context);
    return;
  }
  std::atomic<std::uintptr_t>& lowest = g->owner_->lowest_fault_;
  std::uintptr_t seen = lowest.load();
  // LCOV_EXCL_BR_LINE: a lower fault loses only a race of helpers faulting at once
  while (addr < seen && !lowest.compare_exchange_weak(seen, addr)) {
  }
}

BusGuard::BusGuard(Bytes range) noexcept : BusGuard(range, nullptr) {}

BusGuard::BusGuard(Bytes range, const BusGuard* owner) noexcept
    : previous_(t_guard),
      base_(range.data()),
      length_(range.size()),
      owner_(owner != nullptr ? owner : this) {
  std::call_once(g_installed, install);
  t_guard = this;
}

BusGuard::~BusGuard() { t_guard = previous_; }

void BusGuard::run(TaskRef work) const {
  BusGuard helper(Bytes(base_, length_), owner_);
  work();
}

std::optional<std::uint64_t> BusGuard::fault_offset() const noexcept {
  const std::uintptr_t lowest = lowest_fault_.load();
  if (lowest == UINTPTR_MAX) return std::nullopt;
  return lowest - reinterpret_cast<std::uintptr_t>(base_);
}

}  // namespace quarn
