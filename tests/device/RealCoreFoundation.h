// Shared by the tests that fill the table of entry points themselves: its property-list entries
// become the CoreFoundation stand-in's own functions, linked into the test.
#pragma once

#include "AppleApi.h"
#include "CoreFoundation.h"

inline void UseRealCoreFoundation() {
#define RUVO_USE_REAL(name, result, params) AppleApi.name = reinterpret_cast<decltype(AppleApi.name)>(&::name);
    RUVO_COREFOUNDATION_FUNCTIONS(RUVO_USE_REAL)
#undef RUVO_USE_REAL
#define RUVO_USE_REAL_DATA(name, type) AppleApi.name = reinterpret_cast<decltype(AppleApi.name)>(&::name);
    RUVO_COREFOUNDATION_DATA(RUVO_USE_REAL_DATA)
#undef RUVO_USE_REAL_DATA
}
