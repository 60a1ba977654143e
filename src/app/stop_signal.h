// The process-wide running flag, the console control handler that clears it, and the other ways
// a parent can stop the run.
#pragma once

#include <atomic>
#include <chrono>

// True from process start; cleared once by a stop request and never set again.
extern std::atomic<bool> g_running;

// Called by main once the run has given everything back and its message is out.
void markRunFinished();

// True as soon as markRunFinished has been called, false when `timeout` passes first.
bool waitForRunFinished(std::chrono::milliseconds timeout);

#ifdef _WIN32
#include <windows.h>

// Ctrl+C, Ctrl+Break and console close stop the run; logoff, shutdown and anything newer are
// left to the next handler in the chain.
BOOL WINAPI consoleCtrlHandler(DWORD eventType);

// Stops the run, as Ctrl+Break would, once standard input reaches its end or fails.
void stopWhenStdinCloses();
#endif
