// WaitBounds: reads the variables that shorten the device layer's time limits.
#include "WaitBounds.h"

#include <cerrno>
#include <cstdlib>

#include "CSocketClient.h"

int WaitBoundMs(const char* variable, int defaultMs) {
    const char* text = std::getenv(variable);
    if (text == nullptr || *text == '\0') return defaultMs;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value <= 0 || value > defaultMs) return defaultMs;
    return static_cast<int>(value);
}

int ReceiveTimeoutMs() {
    static const int bound = WaitBoundMs("RUVO_RECEIVE_TIMEOUT_MS", CSocketClient::kReceiveTimeoutMs);
    return bound;
}
