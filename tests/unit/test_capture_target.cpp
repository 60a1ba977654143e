#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
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

struct Chosen {
    CaptureTarget target;
    std::string errorText;
    std::vector<std::string> lookedUp;  // window ids handed to the look-up, in order
};

// Runs the rules with a look-up that answers `answer` (and `ownerPid` when it finds one).
Chosen choose(const RunConfig& config, std::uint32_t build, WindowOwner answer = WindowOwner::Found,
              std::uint32_t ownerPid = 0) {
    Chosen chosen;
    const WindowOwnerLookup lookup = [&](const std::string& windowId, std::uint32_t& processId) {
        chosen.lookedUp.push_back(windowId);
        if (answer == WindowOwner::Found) processId = ownerPid;
        return answer;
    };
    std::FILE* errors = std::tmpfile();
    chosen.target = chooseCaptureTarget(config, build, lookup, errors);
    std::rewind(errors);
    for (int c; (c = std::fgetc(errors)) != EOF;) chosen.errorText += static_cast<char>(c);
    std::fclose(errors);
    return chosen;
}

struct RuleCase {
    const char* name;
    RunConfig config;
    std::uint32_t build;
    bool processLoopback;
    std::uint32_t processId;
    bool excludeTree;
    std::string errorText;
};

TEST(CaptureTarget, ProcessAndExcludeRulesWithTheirBuildWarnings) {
    const RuleCase cases[] = {
        {"process, oldest build warned", makeConfig("process", 1234, -1), 1, true, 1234, false,
         kProcessWarning + "1).\n"},
        {"process, last build warned", makeConfig("process", 1234, -1), 20347, true, 1234, false,
         kProcessWarning + "20347).\n"},
        {"process, first supported build", makeConfig("process", 1234, -1), 20348, true, 1234,
         false, ""},
        {"process, unknown build", makeConfig("process", 1234, -1), 0, true, 1234, false, ""},
        {"process wins over exclude", makeConfig("process", 9, 77), 22000, true, 9, false, ""},
        {"process without pid", makeConfig("process", 0, -1), 19041, false, 0, false, ""},
        {"process with pid -1", makeConfig("process", -1, 77), 19041, false, 0, false, ""},
        {"mode is case-sensitive", makeConfig("Process", 1234, -1), 19041, false, 0, false, ""},
        {"exclude, last build warned", makeConfig("system", -1, 77), 20437, true, 77, true,
         kExcludeWarning + "20437).\n"},
        {"exclude, first supported build", makeConfig("system", -1, 77), 20438, true, 77, true, ""},
        {"exclude, build between the two limits", makeConfig("system", -1, 77), 20400, true, 77,
         true, kExcludeWarning + "20400).\n"},
        {"exclude, unknown build", makeConfig("system", -1, 77), 0, true, 77, true, ""},
        {"exclude only in system mode", makeConfig("SYSTEM", -1, 77), 19041, false, 0, false, ""},
        {"exclude pid 0", makeConfig("system", 5, 0), 19041, false, 0, false, ""},
        {"largest pid", makeConfig("process", 2147483647, -1), 22000, true, 2147483647u, false, ""},
        {"window mode needs a window id", makeConfig("window", 1234, 77), 19041, false, 0, false,
         ""},
        {"test-silence", makeConfig("test-silence", 1234, 77), 19041, false, 0, false, ""},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Chosen chosen = choose(c.config, c.build);
        EXPECT_EQ(chosen.target.useProcessLoopback, c.processLoopback);
        EXPECT_EQ(chosen.target.processId, c.processId);
        EXPECT_EQ(chosen.target.excludeTree, c.excludeTree);
        EXPECT_EQ(chosen.errorText, c.errorText);
        EXPECT_TRUE(chosen.lookedUp.empty());
    }
}

TEST(CaptureTarget, WindowRuleAsksTheLookUpAndWarnsBeforeAnyNotice) {
    struct WindowCase {
        const char* name;
        std::uint32_t build;
        WindowOwner answer;
        std::uint32_t ownerPid;
        bool processLoopback;
        std::uint32_t processId;
        std::string errorText;
    };
    const WindowCase cases[] = {
        {"not recognised on an old build", 19041, WindowOwner::NotRecognized, 0, false, 0,
         kProcessWarning + "19041).\n" + kNotRecognized},
        {"no owner on an old build", 20347, WindowOwner::NoOwner, 0, false, 0,
         kProcessWarning + "20347).\n" + kNoOwner},
        {"not recognised", 22621, WindowOwner::NotRecognized, 0, false, 0, kNotRecognized},
        {"no owner", 20348, WindowOwner::NoOwner, 0, false, 0, kNoOwner},
        {"owner found", 22621, WindowOwner::Found, 4321, true, 4321, ""},
        {"owner found, unknown build", 0, WindowOwner::Found, 4321, true, 4321, ""},
        {"owner found on an old build", 7601, WindowOwner::Found, 8, true, 8,
         kProcessWarning + "7601).\n"},
    };
    for (const WindowCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Chosen chosen =
            choose(makeConfig("window", 55, 66, "window:0x1A2B:7"), c.build, c.answer, c.ownerPid);
        EXPECT_EQ(chosen.target.useProcessLoopback, c.processLoopback);
        EXPECT_EQ(chosen.target.processId, c.processId);
        EXPECT_FALSE(chosen.target.excludeTree);
        EXPECT_EQ(chosen.errorText, c.errorText);
        EXPECT_EQ(chosen.lookedUp, std::vector<std::string>{"window:0x1A2B:7"});
    }
}

TEST(CaptureTarget, WindowIdTextIsTheNumberBetweenWindowPrefixAndNextColon) {
    struct IdCase {
        const char* text;
        bool recognised;
        std::uint64_t value;
    };
    const IdCase cases[] = {
        {"window:0x1A2B", true, 0x1A2B},
        {"0x1A2B", true, 0x1A2B},
        {"0X1a2b", true, 0x1A2B},
        {"window:0x1A2B:7", true, 0x1A2B},
        {"hwnd window:42", true, 42},
        {"window:7:window:9", true, 7},
        {"12ab", true, 12},
        {"010", true, 8},
        {" +42", true, 42},
        {"0xFFFFFFFFFFFFFFFF", true, 0xFFFFFFFFFFFFFFFFull},
        {"window:", false, 0},
        {"window", false, 0},
        {"window:window:5", false, 0},
        {":10", false, 0},
        {"abc", false, 0},
        {"", false, 0},
    };
    for (const IdCase& c : cases) {
        SCOPED_TRACE(c.text);
        std::uint64_t value = 0xDEAD;
        ASSERT_EQ(parseWindowIdText(c.text, value), c.recognised);
        if (c.recognised) {
            EXPECT_EQ(value, c.value);
        }
    }
}

}  // namespace
