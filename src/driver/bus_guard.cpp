#include "driver/bus_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>

namespace quarn {

struct BusGuardAccess {
  static void on_bus_error(int sig, siginfo_t* info, void* context);
};

namespace {

// The questions to a sibling (see BusGuardSiblings).
constexpr int kIsItYours = BusGuardSiblings::kIsItYours;
constexpr int kAbsorbed = BusGuardSiblings::kAbsorbed;
constexpr int kPassItOn = BusGuardSiblings::kPassItOn;

thread_local BusGuard* t_guard = nullptr;
// Set while this thread's handler calls the one it displaced.
thread_local bool t_chaining = false;
// The last action that is not a sibling's ours displaced, and the last
// sibling's. Another handler may take SIGBUS after ours was installed
// (faulthandler.enable(), say); the next guard then installs ours again over
// it, and a new record takes the place of the old one, which a handler
// running on another thread may still be reading: records are never freed,
// and each keeps the one it replaced (`older`), so none is lost.
struct Displaced {
  struct sigaction action;
  const Displaced* older;
};
std::atomic<const Displaced*> g_previous{nullptr};
std::atomic<const Displaced*> g_sibling{nullptr};
std::mutex g_install_lock;

bool ours(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 &&
         action.sa_sigaction == &BusGuardAccess::on_bus_error;
}

void sibling_mask(sigset_t& mask) {
  sigemptyset(&mask);
  sigaddset(&mask, SIGBUS);
  sigaddset(&mask, SIGXFSZ);
}

bool a_sibling(const struct sigaction& action) {
  if ((action.sa_flags & SA_SIGINFO) == 0) return false;
  sigset_t mask;
  sibling_mask(mask);
  for (int sig = 1; sig < NSIG; ++sig)
    if (sigismember(&mask, sig) != sigismember(&action.sa_mask, sig)) return false;
  return true;
}

// The default action: restore it; the faulting instruction runs again (or a
// signal that was sent is sent again) and ends the process as it would have
// without us.
void end_by_default(int sig, siginfo_t* info) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  // LCOV_EXCL_BR_LINE: the process ends either way
  if (info == nullptr || info->si_code <= 0) raise(sig);  // sent, not a fault: resend
}

// Whether the handler just called sent the signal again on its way out (as
// faulthandler does, having put back the handler it displaced: ours). The
// signal waits, blocked while ours runs; it is the default action's now.
bool sent_again(int sig) {
  sigset_t pending;
  // LCOV_EXCL_BR_LINE: sigpending fails only for a bad pointer
  if (sigpending(&pending) != 0) return false;
  return sigismember(&pending, sig) == 1;
}

// Whether `action` has no function to call: the default action, or ignoring.
// Ways that end in the default action end the process, which then writes no
// coverage counters: the death tests check them, the counts cannot show them.
bool no_function(const struct sigaction& action, bool siginfo) {
  if (siginfo) return action.sa_sigaction == nullptr;
  // LCOV_EXCL_BR_LINE: its other way ends the process
  return action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN;
}

// Asks the sibling `what` about the signal; whether it absorbed it.
bool ask_sibling(const struct sigaction& sibling, int what, int sig, const siginfo_t& info,
                 void* context) {
  siginfo_t copy = info;
  copy.si_errno = what;
  sibling.sa_sigaction(sig, &copy, context);
  return copy.si_errno == kAbsorbed;
}

// Passes the signal to the handler ours displaced (not a sibling), or, when
// it displaced none, to the one the sibling displaced, or to the default.
// Ways that end in the default action end the process, which then writes no
// coverage counters: the death tests check them, the counts cannot show them.
void pass_on(int sig, siginfo_t* info, void* context, bool from_sibling) {
  const Displaced* record = g_previous.load();
  if (record == nullptr) {  // ours displaced a sibling only, which knows what came before
    if (from_sibling)
      end_by_default(sig, info);
    else
      ask_sibling(g_sibling.load()->action, kPassItOn, sig, *info, context);
    return;
  }
  // A handler we called that calls ours again (its own "previous") would
  // never end: the second time round, the signal is the default action's.
  if (t_chaining) {
    end_by_default(sig, info);
    return;
  }
  const struct sigaction* previous = &record->action;
  const bool siginfo = (previous->sa_flags & SA_SIGINFO) != 0;
  // LCOV_EXCL_BR_LINE: its other way ends the process
  if (no_function(*previous, siginfo)) {
    end_by_default(sig, info);
    return;
  }
  t_chaining = true;
  if (siginfo)
    previous->sa_sigaction(sig, info, context);
  else
    previous->sa_handler(sig);
  t_chaining = false;
  // LCOV_EXCL_BR_LINE: its other way ends the process
  if (sent_again(sig)) end_by_default(sig, nullptr);
}

// A signal that is not of this thread's guard: the sibling's guard, if there
// is a sibling, else whichever handler comes next.
void chain(int sig, siginfo_t* info, void* context) {
  const Displaced* sibling = g_sibling.load();
  if (sibling != nullptr && ask_sibling(sibling->action, kIsItYours, sig, *info, context)) return;
  pass_on(sig, info, context, false);
}

// Makes ours the SIGBUS handler unless it is already.
void install() {
  struct sigaction now {};
  sigaction(SIGBUS, nullptr, &now);
  if (ours(now)) return;
  const std::lock_guard hold(g_install_lock);
  struct sigaction action {};
  action.sa_sigaction = &BusGuardAccess::on_bus_error;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sibling_mask(action.sa_mask);
  // Without memory for the record, the handler there stays (a guard must not throw).
  auto* displaced = new (std::nothrow) Displaced{};
  // LCOV_EXCL_BR_LINE: needs an allocation to fail at the first guard of a process
  if (displaced == nullptr) return;
  sigaction(SIGBUS, &action, &displaced->action);
  // LCOV_EXCL_BR_LINE: needs two threads installing at once, a race
  if (ours(displaced->action)) {
    delete displaced;
    return;
  }
  auto& slot = a_sibling(displaced->action) ? g_sibling : g_previous;
  displaced->older = slot.load();
  slot.store(displaced);
}

}  // namespace

void BusGuardAccess::on_bus_error(int sig, siginfo_t* info, void* context) {
  // LCOV_EXCL_BR_LINE: a SA_SIGINFO handler always gets its siginfo
  if (info == nullptr) {
    end_by_default(sig, info);
    return;
  }
  BusGuard* g = t_guard;
  const auto addr = reinterpret_cast<std::uintptr_t>(info->si_addr);
  const auto base = g != nullptr ? reinterpret_cast<std::uintptr_t>(g->base_) : 0;
  const int asked = info->si_errno;
  if (asked == kPassItOn) {  // from a sibling that displaced no other handler
    pass_on(sig, info, context, true);
    return;
  }
  // A sibling asks only about its guards' faults; it passes the rest on itself.
  const auto not_mine = [&] {
    if (asked != kIsItYours) chain(sig, info, context);
  };
  if (g == nullptr || info->si_code <= 0 || addr < base || addr - base >= g->length_)
    return not_mine();
  // Zero-filled memory from the faulting page to the end of the range; the
  // range itself stays mapped, so the caller's munmap still covers it.
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t from = addr & ~(page - 1);
  const std::uintptr_t end = base + g->length_;
  void* got = mmap(reinterpret_cast<void*>(from), end - from, PROT_READ,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  // LCOV_EXCL_BR_LINE: a fixed mapping over our own pages fails only without memory
  if (got == MAP_FAILED) return not_mine();
  if (asked == kIsItYours) info->si_errno = kAbsorbed;
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
  // A read's guard checks the handler; the guards of its helpers share it.
  if (owner == nullptr) install();
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
