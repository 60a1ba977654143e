// One capture run: from COM initialisation to the last byte on standard output. Windows only.
#pragma once

#include <cstdio>
#include <string>

#include "app/run_config.h"
#include "source/default_endpoint.h"
#include "source/process_loopback.h"

// Where a run reaches the system's audio stack; tests hand in a simulated one.
struct AudioEntryPoints {
    CreateInstanceFunction createInstance = &CoCreateInstance;
    ActivateAudioInterfaceAsyncFunction activateAsync = &ActivateAudioInterfaceAsync;
};

// Returns the process exit code (0 clean stop, 2 no audio client, 3 stream set-up failed,
// 4 failure after the start) and leaves the reason for a failure in errorMessage. The stream
// goes to `out`.
int runCapture(const RunConfig& config, std::string& errorMessage,
               const AudioEntryPoints& entryPoints = {}, std::FILE* out = stdout);
