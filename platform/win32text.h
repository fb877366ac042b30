// Text conversions at the Win32 boundary: the program keeps UTF-8, the system takes UTF-16.
#pragma once

#include <cstdint>
#include <string>

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);
// The system's own words for an error code (FormatMessageW), without the trailing line end;
// "error N" when the system has none.
std::string SystemErrorText(uint32_t code);
