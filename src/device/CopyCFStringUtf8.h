// CopyCFStringUtf8: the UTF-8 bytes of a CoreFoundation string, as the whole device layer reads them.
#pragma once

#include <optional>
#include <string>

#include "AppleTypes.h"

// The string's text in UTF-8; nothing when the string is null or does not convert. Called
// through AppleApi, so the libraries must be loaded.
std::optional<std::string> CopyCFStringUtf8(apple::CFStringRef string);
