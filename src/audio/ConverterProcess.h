// ConverterProcess: one run of the conversion helper, from its start to its reaping: the source
// handed over as a descriptor, the report read and checked, the bound kept.
#pragma once

#include <string>
#include <string_view>

#include "AudioConverter.h"

namespace ruvo::audio {

// What one helper run said.
struct HelperAnswer {
    bool ok = false;           // the helper answered in full; else reason says why not
    std::string reason;        // one line
    std::string kind;          // probe and prepare: not-audio, ready-aac or convertible
    double seconds = 0;        // the source's length, when known
    std::string title;         // the source's title tag, a clean title
    bool converted = false;    // the output holds a ringtone
    double convertedSeconds = 0;
    std::string output;        // the ringtone's bytes
};

// Runs the helper in the mode for the request's audio: its file, opened here without blocking
// and refused unless it is a regular file, or its bytes, handed over as a sealed memory file.
// The helper is killed, with everything it started, when the bound passes, when it answers
// wrongly, and when this process ends.
HelperAnswer RunConverter(std::string_view mode, const Request& request);

}  // namespace ruvo::audio
