// One capture run: from COM initialisation to the last byte on standard output.
#pragma once

#include <cstdint>
#include <string>

#include "app/run_config.h"

// Returns the process exit code (0 clean stop, 2 no audio client, 3 stream set-up failed,
// 4 failure after the start) and leaves the reason for a failure in errorMessage.
int runCapture(const RunConfig& config, std::string& errorMessage);
