// The process-wide running flag and the console control handler that clears it.
#pragma once

#include <atomic>

// True from process start; cleared once by a console control event and never set again.
extern std::atomic<bool> g_running;

#ifdef _WIN32
#include <windows.h>

// Ctrl+C, Ctrl+Break and console close stop the run; logoff, shutdown and anything newer are
// left to the next handler in the chain.
BOOL WINAPI consoleCtrlHandler(DWORD eventType);
#endif
