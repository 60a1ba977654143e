#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "source/capture_target.h"

namespace {

const std::string kProcessWarning =
    "[ostrel-audio-helper] Process loopback may be unsupported on this Windows build (";
const std::string kExcludeWarning =
    "[ostrel-audio-helper] Exclude-pid loopback may be unsupported on this Windows build (";
const std::string kNotRecognized =
    "[ostrel-audio-helper] Window id not recognized; falling back to system audio.\n";
const std::string kNoOwner =
    "[ostrel-audio-helper] Could not resolve PID for window id; falling back to system audio.\n";

RunConfig makeConfig(const std::string& mode, std::int32_t pid, std::int32_t excludePid,
                     const std::string& windowId = "") {
    RunConfig config;
    config.mode = mode;
    config.pid = pid;
    config.excludePid = excludePid;
    config.windowId = windowId;
    return config;
}

TEST(CaptureTarget, FollowsTheModeRulesAndWarnsAboutOldBuildsBeforeAnyNotice) {
    struct Case {
        const char* name;
        RunConfig config;
        std::uint32_t build;
        std::optional<WindowOwner> lookup;  // its answer; none: it must not be asked at all
        CaptureTarget target;
        std::string errorText;
    };
    const RunConfig process = makeConfig("process", 1234, -1);
    const RunConfig exclude = makeConfig("system", -1, 77);
    const RunConfig window = makeConfig("window", 55, 66, "window:0x1A2B:7");
    const auto tree = [](std::uint32_t pid, bool excludeTree) {
        return CaptureTarget{true, pid, excludeTree};
    };
    const CaptureTarget system{}, processTree = tree(1234, false), allBut77 = tree(77, true),
                                  windowOwner = tree(4321, false);
    const std::optional<WindowOwner> none;
    const Case cases[] = {
        {"process, oldest build warned", process, 1, none, processTree, kProcessWarning + "1).\n"},
        {"process, last build warned", process, 20347, none, processTree,
         kProcessWarning + "20347).\n"},
        {"process, first supported build", process, 20348, none, processTree, ""},
        {"process, unknown build", process, 0, none, processTree, ""},
        {"process wins over exclude", makeConfig("process", 9, 77), 22000, none, tree(9, false),
         ""},
        {"process without pid", makeConfig("process", 0, -1), 19041, none, system, ""},
        {"process with pid -1", makeConfig("process", -1, 77), 19041, none, system, ""},
        {"mode is case-sensitive", makeConfig("Process", 1234, -1), 19041, none, system, ""},
        {"exclude, last build warned", exclude, 20437, none, allBut77,
         kExcludeWarning + "20437).\n"},
        {"exclude, first supported build", exclude, 20438, none, allBut77, ""},
        {"exclude, build between the two limits", exclude, 20400, none, allBut77,
         kExcludeWarning + "20400).\n"},
        {"exclude, unknown build", exclude, 0, none, allBut77, ""},
        {"exclude only in system mode", makeConfig("SYSTEM", -1, 77), 19041, none, system, ""},
        {"exclude pid 0", makeConfig("system", 5, 0), 19041, none, system, ""},
        {"largest pid", makeConfig("process", 2147483647, -1), 22000, none,
         tree(2147483647u, false), ""},
        {"window mode needs a window id", makeConfig("window", 1234, 77), 19041, none, system, ""},
        {"test-silence", makeConfig("test-silence", 1234, 77), 19041, none, system, ""},
        {"window not recognised on an old build", window, 19041, WindowOwner::NotRecognized, system,
         kProcessWarning + "19041).\n" + kNotRecognized},
        {"window without owner on an old build", window, 20347, WindowOwner::NoOwner, system,
         kProcessWarning + "20347).\n" + kNoOwner},
        {"window not recognised", window, 22621, WindowOwner::NotRecognized, system,
         kNotRecognized},
        {"window without owner", window, 20348, WindowOwner::NoOwner, system, kNoOwner},
        {"window owner found", window, 22621, WindowOwner::Found, windowOwner, ""},
        {"window owner found, unknown build", window, 0, WindowOwner::Found, windowOwner, ""},
        {"window owner found on an old build", window, 7601, WindowOwner::Found, windowOwner,
         kProcessWarning + "7601).\n"},
    };
    const auto fields = [](const CaptureTarget& target) {
        return std::tuple(target.useProcessLoopback, target.processId, target.excludeTree);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> asked;
        const WindowOwnerLookup lookup = [&](const std::string& windowId, std::uint32_t& pid) {
            asked.push_back(windowId);
            if (c.lookup == WindowOwner::Found) pid = 4321;
            return c.lookup.value_or(WindowOwner::Found);
        };
        std::FILE* errors = std::tmpfile();
        const CaptureTarget target = chooseCaptureTarget(c.config, c.build, lookup, errors);
        std::rewind(errors);
        std::string errorText;
        for (int ch; (ch = std::fgetc(errors)) != EOF;) errorText += static_cast<char>(ch);
        std::fclose(errors);
        EXPECT_EQ(fields(target), fields(c.target));
        EXPECT_EQ(errorText, c.errorText);
        EXPECT_EQ(asked, c.lookup ? std::vector<std::string>{c.config.windowId}
                                  : std::vector<std::string>{});
    }
}

TEST(CaptureTarget, WindowIdTextIsTheNumberBetweenWindowPrefixAndNextColon) {
    const std::pair<const char*, std::optional<std::uint64_t>> cases[] = {
        {"window:0x1A2B", 0x1A2B},
        {"0x1A2B", 0x1A2B},
        {"0X1a2b", 0x1A2B},
        {"window:0x1A2B:7", 0x1A2B},
        {"hwnd window:42", 42},
        {"window:7:window:9", 7},
        {"12ab", 12},
        {"010", 8},
        {" +42", 42},
        {"0xFFFFFFFFFFFFFFFF", 0xFFFFFFFFFFFFFFFFull},
        {"window:", std::nullopt},
        {"window", std::nullopt},
        {"window:window:5", std::nullopt},
        {":10", std::nullopt},
        {"abc", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        std::uint64_t value = 0xDEAD;
        const bool recognised = parseWindowIdText(text, value);
        EXPECT_EQ(recognised ? std::optional(value) : std::nullopt, expected) << '"' << text << '"';
    }
}

}  // namespace
