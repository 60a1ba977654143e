#include <cstring>

#include "source/capture_target.h"

namespace {

using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);

static_assert(sizeof(OSVERSIONINFOW) == 276, "the size RtlGetVersion is told");

}  // namespace

std::uint32_t getWindowsBuildNumber() {
    // ntdll is in every process; asking for its handle never loads anything.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return 0;
    const FARPROC proc = GetProcAddress(ntdll, "RtlGetVersion");
    if (proc == nullptr) return 0;
    const auto rtlGetVersion =
        reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void (*)()>(proc));
    OSVERSIONINFOW info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (rtlGetVersion(&info) != 0) return 0;
    return info.dwBuildNumber;
}

bool parseWindowHandle(const std::string& text, HWND& window) {
    std::uint64_t value = 0;
    if (!parseWindowIdText(text, value)) return false;
    window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value));
    return IsWindow(window) != 0;
}

WindowOwner findWindowOwner(const std::string& windowId, std::uint32_t& processId) {
    HWND window = nullptr;
    if (!parseWindowHandle(windowId, window)) return WindowOwner::NotRecognized;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == 0) return WindowOwner::NoOwner;
    processId = owner;
    return WindowOwner::Found;
}

CaptureTarget resolveCaptureTarget(const RunConfig& config) {
    return chooseCaptureTarget(config, getWindowsBuildNumber(), findWindowOwner, stderr);
}
