// Turning a Windows status code into the text that ends a failure message.
#pragma once

#include <cstdint>
#include <string>

// "<systemText> (0x%08lx)", with "Unknown error" standing in for a missing system text. The
// system text is kept exactly, trailing CR LF included.
std::string formatStatusText(const char* systemText, std::uint32_t status);

#ifdef _WIN32
#include <windows.h>

// formatStatusText around what FormatMessageA says about `status`.
std::string describeStatus(HRESULT status);
#endif
