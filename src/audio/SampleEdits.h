// SampleEdits: the edits made to decoded audio before it is encoded, on interleaved float samples
// (no GStreamer here, so they are tested on plain tables).
#pragma once

#include <cstddef>
#include <vector>

namespace ruvo::audio {

// The last fadeFrames of a cut excerpt fade out: linearly to silence, reached an eighth of the
// fade before the end, so that the ringtone's last moments are quiet (a ramp down to the very
// last sample leaves its last half second only 17 dB down). A shorter excerpt fades whole.
void FadeOut(std::vector<float>& samples, int channels, size_t fadeFrames);

// Drops the leading frames in which every channel is below level, at most `most` frames: an
// MP3's encoder and decoder delay, which the decoder hands over before the audio. Returns the
// frames dropped.
size_t DropLeadingSilence(std::vector<float>& samples, int channels, size_t most, float level);

// Shortens the samples by `frames` at the end when more than twice as many remain (an encoder's
// priming frame, which the container counts as length). Returns whether it did.
bool TrimEnd(std::vector<float>& samples, int channels, size_t frames);

}  // namespace ruvo::audio
