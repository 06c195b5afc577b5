// GstDecode: an excerpt of a source decoded into interleaved float samples at 44.1 kHz.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "GstSupport.h"

namespace ruvo::audio::gst {

struct DecodeJob {
    std::string path;
    int channels = 2;              // 1 or 2: what the samples are made into
    double fromSeconds = 0;        // where the excerpt starts
    double seconds = 0;            // the most it lasts
    double expectedSeconds = 0;    // what the progress counts against (the source may be shorter)
    Clock::time_point deadline;
    std::function<void(double done)> progress;  // the share decoded, 0 to 1, as it grows
};

struct Decoded {
    std::vector<float> samples;
    bool more = false;  // the source goes on after the excerpt (by at least 50 ms)
};

// Decodes the excerpt, stopping once it is in. A broken file decodes as far as it can: an error
// after some audio is not a failure. False with a reason when nothing decodes, on an error before
// any audio, or when the deadline passes.
bool Decode(const DecodeJob& job, Decoded& decoded, std::string& reason);

}  // namespace ruvo::audio::gst
