// The test source: zero samples at a fixed pace, no header, no audio interface.
#pragma once

#include <atomic>
#include <cstdio>
#include <iostream>

#include "app/run_config.h"
#include "app/stop_signal.h"

// Writes one chunk of chunkFrames x channels zero samples, flushes and sleeps 5 ms, until
// `running` is false. Returns false, with a message on `errorStream`, only when the chunk cannot
// be allocated; write failures are not looked at.
bool runSilenceTest(const RunConfig& config, std::ostream& out = std::cout,
                    const std::atomic<bool>& running = g_running, std::FILE* errorStream = stderr);
