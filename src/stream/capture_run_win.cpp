#include "stream/capture_run.h"

int runCapture(const RunConfig&, std::string& errorMessage) {
    errorMessage = "Capture is not available in this build yet.";
    return 2;
}
