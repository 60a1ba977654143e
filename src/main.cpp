// Entry point: options, standard output prepared for a byte stream, the stop signal, then the
// silence source, a capture run or the list of output devices.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "app/run_config.h"
#include "app/stop_signal.h"
#include "app/version.h"
#include "source/device_list.h"
#include "stream/capture_run.h"
#include "stream/silence_source.h"

int main(int argc, char** argv) {
    // Messages must reach the parent byte for byte: a line feed stays one byte, and a system
    // text's own CR LF is not turned into CR CR LF.
    _setmode(_fileno(stderr), _O_BINARY);
    // A notice must reach the parent when it happens, not when the run ends. Windows' C runtime
    // leaves stderr unbuffered, but Wine's buffers it when it is a pipe; this holds on both.
    std::setvbuf(stderr, nullptr, _IONBF, 0);

    // A parent asks this before it relies on newer options; an older build would ignore the
    // option and start a capture instead. Binary mode, so the line ends in LF alone.
    if (asksForVersion(argc, argv)) {
        _setmode(_fileno(stdout), _O_BINARY);
        std::fputs("ostrel-audio-helper " OAH_VERSION_TEXT "\n", stdout);
        return 0;
    }

    RunConfig config;
    if (!parseCommandLine(argc, argv, config)) return 1;

    // Every write must reach the pipe at once and unchanged: no buffering, no newline
    // translation. Failures here are not worth stopping for.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::ios::sync_with_stdio(false);
    _setmode(_fileno(stdout), _O_BINARY);
    // Installed only now, so a refused command line keeps the system's default handling.
    SetConsoleCtrlHandler(consoleCtrlHandler, TRUE);
    if (config.stopOnStdinClose) stopWhenStdinCloses();

    int exitCode = 0;
    if (isSilenceMode(config) && !config.listDevices) {
        exitCode = runSilenceTest(config) ? 0 : 1;
    } else {
        std::string errorMessage;
        exitCode =
            config.listDevices ? listOutputDevices(errorMessage) : runCapture(config, errorMessage);
        if (!errorMessage.empty()) {
            std::fwrite(errorMessage.data(), 1, errorMessage.size(), stderr);
            std::fputc('\n', stderr);
        }
    }
    // A console close waits in its handler for this, so that the process ends here, with the
    // run's exit code, rather than being ended by the system half-way through the wind-down.
    markRunFinished();
    return exitCode;
}
