// SampleEdits: the fade, the leading silence and the priming trim, on interleaved float samples.
#include "SampleEdits.h"

#include <algorithm>
#include <cmath>

namespace ruvo::audio {

namespace {
// Eighths of the fade that are silence at its end.
constexpr size_t kFadeSilentEighths = 1;
}  // namespace

void FadeOut(std::vector<float>& samples, int channels, size_t fadeFrames) {
    if (channels <= 0) return;
    const auto width = static_cast<size_t>(channels);
    const size_t frames = samples.size() / width;
    const size_t span = std::min(frames, fadeFrames);
    const size_t silent = span * kFadeSilentEighths / 8;
    const size_t ramp = span - silent;
    for (size_t i = 0; i < span; ++i) {
        const float gain = i < ramp ? static_cast<float>(ramp - i) / static_cast<float>(ramp + 1) : 0.0F;
        const size_t frame = frames - span + i;
        for (size_t c = 0; c < width; ++c) samples[frame * width + c] *= gain;
    }
}

size_t DropLeadingSilence(std::vector<float>& samples, int channels, size_t most, float level) {
    if (channels <= 0) return 0;
    const auto width = static_cast<size_t>(channels);
    const size_t frames = samples.size() / width;
    size_t silent = 0;
    while (silent < std::min(most, frames)) {
        bool quiet = true;
        for (size_t c = 0; c < width && quiet; ++c) quiet = std::fabs(samples[silent * width + c]) < level;
        if (!quiet) break;
        ++silent;
    }
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(silent * width));
    return silent;
}

bool TrimEnd(std::vector<float>& samples, int channels, size_t frames) {
    if (channels <= 0) return false;
    const auto width = static_cast<size_t>(channels);
    const size_t have = samples.size() / width;
    if (have <= 2 * frames) return false;
    samples.resize((have - frames) * width);
    return true;
}

}  // namespace ruvo::audio
