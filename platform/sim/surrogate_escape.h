// Narrow paths on a POSIX host are bytes, not text. They cross into UTF-16 with each byte that
// is not part of valid UTF-8 kept as a lone surrogate U+DC80..U+DCFF, so that they come back
// unchanged.
#pragma once

#include <string>

#include "platform/platform.h"

std::basic_string<WCHAR> DecodeSurrogateEscaped(const char* bytes);
std::string EncodeSurrogateEscaped(const WCHAR* text);
