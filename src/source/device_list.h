// The list of output devices that "--list-devices" writes: one JSON object per line, for parents
// in any language to read without a parser of our own format.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

// UTF-16 as Windows hands it out, in UTF-8. A surrogate without its partner becomes U+FFFD, so
// that the output stays valid UTF-8 whatever a driver put in a name.
std::string utf16ToUtf8(std::u16string_view text);

// One line of the list: {"id":...,"name":...,"default":true|false} and a line feed. `id` and
// `name` are UTF-8.
std::string deviceListLine(std::string_view id, std::string_view name, bool isDefault);

#ifdef _WIN32
#include "source/default_endpoint.h"

// An endpoint's id as GetDevice takes it, and the name Windows shows for it, in UTF-8; "" when
// either cannot be read.
std::string readEndpointId(IMMDevice& device);
std::string readEndpointName(IMMDevice& device);

// The id of the endpoint whose system mix a run captures by default; none when it cannot be had.
std::optional<std::string> defaultEndpointId(IMMDeviceEnumerator& enumerator);

// Writes a line for each active render endpoint, in the system's order, once all are known.
// Returns the exit code (0; 2 when the list cannot be had, 4 when it cannot be written), with the
// reason for a failure in errorMessage.
int listOutputDevices(std::string& errorMessage,
                      CreateInstanceFunction createInstance = &CoCreateInstance,
                      std::FILE* out = stdout);
#endif
