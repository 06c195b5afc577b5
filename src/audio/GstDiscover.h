// GstDiscover: what a source is: type finding of its start, and its streams as the discoverer
// reads them (channels, rate, length, title tag).
#pragma once

#include <string>

#include "GstSupport.h"

namespace ruvo::audio::gst {

// Type finding of the file's start (probability at least "likely"): whether it is recognised
// audio, with its media type.
bool RecognisedAudio(const std::string& path, const std::string& name, std::string& mediaType);

struct SourceFacts {
    std::string reason;  // one line, when the streams could not be read or no phone plays them
    int channels = 0;
    int rate = 0;
    double seconds = 0;
    bool aacOnly = false;  // one audio track, AAC, and nothing else
    std::string title;     // the title tag: the file's, else its audio track's
};

// The source's streams, within the bound. Audio that no phone plays (a sample rate outside
// 8,000-192,000 Hz, more than 8 channels) is refused here, before anything is decoded.
SourceFacts Discover(const std::string& path, Clock::duration bound);

}  // namespace ruvo::audio::gst
