// CopyCFStringUtf8: a buffer of three bytes per UTF-16 unit, filled by the library and wiped on failure.
#include "CopyCFStringUtf8.h"

#include <cstring>
#include <vector>

#include "AppleApi.h"

using namespace apple;

std::optional<std::string> CopyCFStringUtf8(CFStringRef string) {
    if (string == nullptr || !AppleApi.CFStringGetLength || !AppleApi.CFStringGetCString) return std::nullopt;
    const CFIndex length = AppleApi.CFStringGetLength(string);
    if (length < 0) return std::nullopt;
    std::vector<char> buffer(static_cast<size_t>(length) * 3 + 1, '\0');
    if (!AppleApi.CFStringGetCString(string, buffer.data(), static_cast<CFIndex>(buffer.size()),
                                     kCFStringEncodingUTF8)) {
        std::memset(buffer.data(), 0, buffer.size());
        return std::nullopt;
    }
    return std::string(buffer.data());
}
