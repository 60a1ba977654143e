// One capture run: from COM initialisation to the last byte on standard output. Windows only.
#pragma once

#include <cstdio>
#include <string>

#include "app/run_config.h"
#include "source/default_endpoint.h"
#include "source/process_loopback.h"

// Where a run reaches the system: its audio stack and the event that process loopback signals
// packets with. Tests hand in a simulated stack, and an event that cannot be made.
struct AudioEntryPoints {
    CreateInstanceFunction createInstance = &CoCreateInstance;
    ActivateAudioInterfaceAsyncFunction activateAsync = &ActivateAudioInterfaceAsync;
    decltype(&CreateEventA) createEvent = &CreateEventA;
};

// Returns the process exit code (0 clean stop, 2 no audio client, 3 stream set-up failed,
// 4 failure after the start) and leaves the reason for a failure in errorMessage. The stream
// goes to `out`.
int runCapture(const RunConfig& config, std::string& errorMessage,
               const AudioEntryPoints& entryPoints = {}, std::FILE* out = stdout);
