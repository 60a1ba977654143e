// Which audio a run captures: the system mix, or one process tree through process loopback
// (optionally everything except that tree), decided from the run options.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "app/run_config.h"

#ifdef _WIN32
#include <windows.h>
#endif

struct CaptureTarget {
    bool useProcessLoopback = false;
    std::uint32_t processId = 0;
    bool excludeTree = false;
};

// What looking up a window id found out.
enum class WindowOwner {
    NotRecognized,  // the text names no window
    NoOwner,        // a window, but no process id could be had for it
    Found,          // processId has been set
};

using WindowOwnerLookup =
    std::function<WindowOwner(const std::string& windowId, std::uint32_t& processId)>;

// The number inside a window id such as "window:0x1A2B", "window:0x1A2B:7", "0x1A2B" or "42":
// the text after the first "window:" (if any) and before the next ':' (if any), read as C's
// strtoull reads with base 0. False when that text is empty or has no number at its start.
bool parseWindowIdText(const std::string& text, std::uint64_t& value);

// The capture-target rules for a Windows build number (0 when unknown), with window ids
// resolved by `findWindowOwner`. Warnings and fall-back notices go to errorStream.
CaptureTarget chooseCaptureTarget(const RunConfig& config, std::uint32_t buildNumber,
                                  const WindowOwnerLookup& findWindowOwner, std::FILE* errorStream);

#ifdef _WIN32
// The running system's build number as ntdll reports it (not subject to the compatibility
// shims that GetVersionEx applies), or 0 when it cannot be had.
std::uint32_t getWindowsBuildNumber();

// A window id (see parseWindowIdText) as a window handle; true only when that handle names an
// existing window. `window` receives the handle whenever the text holds a number.
bool parseWindowHandle(const std::string& text, HWND& window);

// The process that owns the window a window id names.
WindowOwner findWindowOwner(const std::string& windowId, std::uint32_t& processId);

// chooseCaptureTarget for this system, its windows and the process's stderr.
CaptureTarget resolveCaptureTarget(const RunConfig& config);
#endif
