#include "source/capture_target.h"

#include <cstdlib>

namespace {

constexpr const char* kPrefix = "[ostrel-audio-helper] ";

// Process loopback arrived with build 20348; excluding a tree needs 20438. Build 0 means the
// version could not be read, which is no reason to warn.
bool mayLackProcessLoopback(std::uint32_t build) {
    return build - 1u <= 20346u;
}
bool mayLackExcludeLoopback(std::uint32_t build) {
    return build - 1u <= 20436u;
}

void warnAboutBuild(std::FILE* errorStream, const char* what, std::uint32_t build) {
    std::fprintf(errorStream, "%s%s may be unsupported on this Windows build (", kPrefix, what);
    std::fprintf(errorStream, "%lu", static_cast<unsigned long>(build));
    std::fputs(").\n", errorStream);
}

void fallBack(std::FILE* errorStream, const char* reason) {
    std::fprintf(errorStream, "%s%s; falling back to system audio.\n", kPrefix, reason);
}

CaptureTarget processTree(std::uint32_t processId, bool excludeTree) {
    CaptureTarget target;
    target.useProcessLoopback = true;
    target.processId = processId;
    target.excludeTree = excludeTree;
    return target;
}

}  // namespace

bool parseWindowIdText(const std::string& text, std::uint64_t& value) {
    std::string id = text;
    const std::string marker = "window:";
    const std::size_t markerAt = id.find(marker);
    if (markerAt != std::string::npos) id.erase(0, markerAt + marker.size());
    const std::size_t colonAt = id.find(':');
    if (colonAt != std::string::npos) id.erase(colonAt);
    if (id.empty()) return false;
    char* end = nullptr;
    const unsigned long long number = std::strtoull(id.c_str(), &end, 0);
    if (end == id.c_str()) return false;
    value = number;
    return true;
}

CaptureTarget chooseCaptureTarget(const RunConfig& config, std::uint32_t buildNumber,
                                  const WindowOwnerLookup& findWindowOwner,
                                  std::FILE* errorStream) {
    if (config.mode == "process" && config.pid > 0) {
        if (mayLackProcessLoopback(buildNumber))
            warnAboutBuild(errorStream, "Process loopback", buildNumber);
        return processTree(static_cast<std::uint32_t>(config.pid), false);
    }
    if (config.mode == "window" && !config.windowId.empty()) {
        if (mayLackProcessLoopback(buildNumber))
            warnAboutBuild(errorStream, "Process loopback", buildNumber);
        std::uint32_t processId = 0;
        switch (findWindowOwner(config.windowId, processId)) {
            case WindowOwner::NotRecognized:
                fallBack(errorStream, "Window id not recognized");
                return CaptureTarget{};
            case WindowOwner::NoOwner:
                fallBack(errorStream, "Could not resolve PID for window id");
                return CaptureTarget{};
            case WindowOwner::Found:
                break;
        }
        return processTree(processId, false);
    }
    if (config.mode == "system" && config.excludePid > 0) {
        if (mayLackExcludeLoopback(buildNumber))
            warnAboutBuild(errorStream, "Exclude-pid loopback", buildNumber);
        return processTree(static_cast<std::uint32_t>(config.excludePid), true);
    }
    return CaptureTarget{};
}
