#include "app/stop_signal.h"

// The handler thread and the main thread share this one byte and nothing else, so it must be a
// lock-free atomic.
static_assert(sizeof(std::atomic<bool>) == 1, "g_running is one byte wide");
static_assert(std::atomic<bool>::is_always_lock_free, "g_running needs no lock");

std::atomic<bool> g_running{true};
