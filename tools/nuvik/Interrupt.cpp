#include "Interrupt.h"

#include <atomic>
#include <csignal>

namespace NuvikCli {

namespace {
// The kernel may run the handler on any thread, the driver's readout thread included,
// so the flag is a lock-free atomic rather than a plain sig_atomic_t.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void OnSignal(int) {
  interrupted.store(true, std::memory_order_relaxed);
}
}  // namespace

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() {
  return interrupted.load(std::memory_order_relaxed);
}

void ClearInterrupt() {
  interrupted.store(false, std::memory_order_relaxed);
}

}  // namespace NuvikCli
