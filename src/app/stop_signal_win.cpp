#include <thread>

#include "app/stop_signal.h"

namespace {

// Windows ends a process about 5 s after a close event, or as soon as its handler returns.
constexpr std::chrono::milliseconds kCloseWait{4500};

}  // namespace

BOOL WINAPI consoleCtrlHandler(DWORD eventType) {
    if (eventType >= CTRL_LOGOFF_EVENT) return FALSE;
    // The main thread's loop sees the flag at its next test and winds down.
    g_running.exchange(false);
    if (eventType == CTRL_CLOSE_EVENT) {
        // Returning would let the system end the process at once, in the middle of the run and
        // with an exit code of its own. Hold it until the run is over; main then ends the
        // process with the run's exit code, which ends this thread too, before the deadline.
        const auto deadline = std::chrono::steady_clock::now() + kCloseWait;
        if (waitForRunFinished(kCloseWait)) std::this_thread::sleep_until(deadline);
    }
    return TRUE;
}

void stopWhenStdinCloses() {
    // ReadFile on the raw handle rather than the C runtime's stdin: a thread blocked inside the
    // runtime would hold the stream's lock while the process exits and flushes every stream.
    std::thread([] {
        const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        char discarded[512];
        DWORD count = 0;
        // A pipe reports its end as a failure (ERROR_BROKEN_PIPE), a file as a read of 0 bytes.
        while (ReadFile(input, discarded, sizeof discarded, &count, nullptr) && count > 0) {
        }
        g_running.exchange(false);
    }).detach();
}
