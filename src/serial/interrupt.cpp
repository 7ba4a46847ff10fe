#include "serial/interrupt.h"

#include <atomic>

namespace {
// Lock-free, so that a signal handler may set it.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "signal handlers need a lock-free flag");
}  // namespace

void RequestInterrupt() { g_interrupted.store(true); }

bool InterruptRequested() { return g_interrupted.load(); }

void ClearInterrupt() { g_interrupted.store(false); }
