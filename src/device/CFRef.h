// CFRef: owns one reference to a CoreFoundation value reached through AppleApi, and releases it when it goes.
#pragma once

#include <memory>

#include "AppleApi.h"

struct CFRefRelease {
    void operator()(const void* value) const {
        if (value != nullptr) AppleApi.CFRelease(value);
    }
};
using CFRef = std::unique_ptr<const void, CFRefRelease>;

// A new string (UTF-8 text), owned.
inline CFRef MakeCFString(const char* utf8) {
    return CFRef(AppleApi.CFStringCreateWithCString(nullptr, utf8, apple::kCFStringEncodingUTF8));
}

// The value of an owned reference as the CF type T (for calls that take a typed reference).
template <typename T>
T As(const CFRef& ref) {
    return static_cast<T>(const_cast<void*>(ref.get()));
}
