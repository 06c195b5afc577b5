// GstEncode: samples encoded as one AAC-LC track in MPEG-4 with the title tag, into a descriptor.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "GstSupport.h"

namespace ruvo::audio::gst {

// libav's encoder puts a frame of priming (1024 samples, and a few more as the muxer counts)
// before the audio, and the file's length counts it: the excerpt is shortened by as much, so the
// ringtone lasts the excerpt's length and never passes 40 s. VisualOn's drops the last partial
// frame instead, which keeps the file within a frame of the excerpt by itself.
inline constexpr size_t kAvencPrimingFrames = 1030;

// The AAC encoder: libav's, else VisualOn's.
const char* EncoderName();

struct EncodeJob {
    int channels = 2;
    std::string title;
    int outputFd = -1;  // writable and seekable (the muxer goes back to its header)
    Clock::time_point deadline;
    std::function<void(double done)> progress;  // the share encoded, 0 to 1, as it grows
};

bool Encode(const std::vector<float>& samples, const EncodeJob& job, std::string& reason);

}  // namespace ruvo::audio::gst
