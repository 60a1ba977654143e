#include "app/stop_signal.h"

#include <thread>

// The handler thread and the main thread share this one byte and nothing else, so it must be a
// lock-free atomic.
static_assert(sizeof(std::atomic<bool>) == 1, "g_running is one byte wide");
static_assert(std::atomic<bool>::is_always_lock_free, "g_running needs no lock");

std::atomic<bool> g_running{true};

namespace {
std::atomic<bool> runFinished{false};
}

void markRunFinished() {
    runFinished.store(true);
}

// Polled rather than waited on a condition variable: the waiting thread may still be inside
// this function while the process exits and destroys its statics.
bool waitForRunFinished(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!runFinished.load()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
