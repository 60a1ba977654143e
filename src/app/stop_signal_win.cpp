#include "app/stop_signal.h"

BOOL WINAPI consoleCtrlHandler(DWORD eventType) {
    if (eventType >= CTRL_LOGOFF_EVENT) return FALSE;
    // Returning at once: the main thread's loop sees the flag at its next test and winds down.
    g_running.exchange(false);
    return TRUE;
}
