// AudioModule: the entry points of ruvo-audio.so, the GStreamer side of the converter.
#pragma once

#include "AudioConverter.h"

namespace ruvo::audio {

inline constexpr const char* kModuleName = "ruvo-audio.so";
inline constexpr const char* kModuleEntry = "RuvoAudioModule";

// What the module gives: both functions may be called from any thread.
struct ModuleApi {
    Probe (*probe)(const Request& request);
    Result (*convert)(const Request& request);
    // The audio's length in seconds, whatever its name; negative when it cannot be read.
    double (*duration)(const Request& request);
};

}  // namespace ruvo::audio

// const ruvo::audio::ModuleApi* RuvoAudioModule(): the module's one export.
extern "C" const ruvo::audio::ModuleApi* RuvoAudioModule();
