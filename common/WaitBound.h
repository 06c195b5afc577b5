// WaitBound: the time limits of the system and of the platform layer, each one shortened for tests by a variable.
#pragma once

#include <cerrno>
#include <cstdlib>

namespace ruvo {

// The bound in milliseconds: the variable's value when it names a positive whole number of
// milliseconds no larger than the default, else the default. A variable can only shorten a
// bound, never lengthen or remove it.
inline int WaitBoundMs(const char* variable, int defaultMs) {
    const char* text = std::getenv(variable);
    if (text == nullptr || *text == '\0') return defaultMs;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value <= 0 || value > defaultMs) return defaultMs;
    return static_cast<int>(value);
}

// Socket receives on a service connection: the system's plist messages, and the phone-side
// services (a packet or request that has started must be complete within this time).
inline constexpr const char* kReceiveTimeoutVariable = "RUVO_RECEIVE_TIMEOUT_MS";

}  // namespace ruvo
