// AudioModule: the entry points of ruvo-audio.so, the GStreamer side of the converter, which only
// the conversion helper (ruvo-convert) loads.
#pragma once

#include "AudioConverter.h"

namespace ruvo::audio {

inline constexpr const char* kModuleName = "ruvo-audio.so";
inline constexpr const char* kModuleEntry = "RuvoAudioModule";

// What the module gives. The request names its audio by path; its bytes are not used.
struct ModuleApi {
    Probe (*probe)(const Request& request);
    // Converts recognised audio into outputFd (writable, seekable, empty); outputPath stays empty.
    Result (*convert)(const Request& request, int outputFd);
    // The audio's length in seconds, whatever its name; negative when it cannot be read.
    double (*duration)(const Request& request);
};

}  // namespace ruvo::audio

// const ruvo::audio::ModuleApi* RuvoAudioModule(): the module's one export.
extern "C" const ruvo::audio::ModuleApi* RuvoAudioModule();
