// Capture-target resolution against Wine's own version data and windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "source/capture_target.h"

namespace {

// The build the prefix claims in its registry, which is where Wine's ntdll takes it from.
std::uint32_t registryBuildNumber() {
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                     L"CurrentBuildNumber", RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS) {
        return 0;
    }
    return static_cast<std::uint32_t>(std::wcstoul(text, nullptr, 10));
}

std::string windowIdOf(HWND window, const char* format) {
    char text[64];
    std::snprintf(text, sizeof text, format,
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(window)));
    return text;
}

RunConfig windowConfig(const std::string& windowId) {
    RunConfig config;
    config.mode = "window";
    config.windowId = windowId;
    return config;
}

TEST(WindowsBuildNumber, IsTheBuildThePrefixReports) {
    const std::uint32_t expected = registryBuildNumber();
    ASSERT_NE(expected, 0u);
    EXPECT_EQ(getWindowsBuildNumber(), expected);
}

TEST(WindowTarget, AnOwnWindowResolvesToThisProcessAndAGoneOneFallsBack) {
    // Hidden, so the prefix's null display driver is enough.
    HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    const std::string id = windowIdOf(window, "window:0x%llx");

    for (const std::string& text : {id, windowIdOf(window, "%llu"), id + ":3"}) {
        SCOPED_TRACE(text);
        HWND parsed = nullptr;
        EXPECT_TRUE(parseWindowHandle(text, parsed));
        EXPECT_EQ(parsed, window);
    }
    std::uint32_t owner = 0;
    EXPECT_EQ(findWindowOwner(id, owner), WindowOwner::Found);
    EXPECT_EQ(owner, GetCurrentProcessId());
    const CaptureTarget target = resolveCaptureTarget(windowConfig(id));
    EXPECT_TRUE(target.useProcessLoopback);
    EXPECT_EQ(target.processId, GetCurrentProcessId());
    EXPECT_FALSE(target.excludeTree);

    ASSERT_TRUE(DestroyWindow(window));
    HWND parsed = nullptr;
    EXPECT_FALSE(parseWindowHandle(id, parsed));
    EXPECT_EQ(parsed, window);  // the number was read; only the window is missing
    owner = 0;
    EXPECT_EQ(findWindowOwner(id, owner), WindowOwner::NotRecognized);
    EXPECT_EQ(owner, 0u);
    EXPECT_FALSE(resolveCaptureTarget(windowConfig(id)).useProcessLoopback);
}

}  // namespace
