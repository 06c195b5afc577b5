// GstModule: the module ruvo-audio.so: what a source is, and an excerpt of it made into a
// ringtone (decode, the sample edits, encode).
#include <cmath>
#include <cstring>

#include "AudioModule.h"
#include "GstDecode.h"
#include "GstDiscover.h"
#include "GstEncode.h"
#include "SampleEdits.h"

namespace ruvo::audio {
namespace {

using gst::Clock;
using gst::kRate;

constexpr double kFadeSeconds = 2.0;
constexpr char kPastTheEnd[] = "the excerpt starts at or past the end of the audio";
// The least audio an excerpt that starts after second 0 must find: 100 ms.
constexpr size_t kLeastExcerptFrames = kRate / 10;
// An MP3 decodes with the encoder's and the decoder's delay before the audio (576 + 529 samples
// for LAME and mpg123), which GStreamer keeps without a gapless tag: leading silence of up to a
// frame and that delay is dropped, so a whole file keeps its own length.
constexpr size_t kMp3DelayFrames = 1152 + 529;
// The delay is not quite silent: the decoder's filters ring in it. -40 dB full scale.
constexpr float kDelayLevel = 0.01F;
// The share of a conversion's progress that decoding takes; encoding takes the rest.
constexpr double kDecodeShare = 0.3;

Probe ProbeImpl(const Request& request) {
    gst::InitOnce();
    Probe probe;
    std::string mediaType;
    if (!gst::RecognisedAudio(request.path, request.name, mediaType)) return probe;
    const gst::SourceFacts facts = gst::Discover(request.path, ConvertBound());
    probe.seconds = facts.seconds;
    probe.title = facts.title;
    if (!facts.reason.empty()) {
        probe.reason = facts.reason;
        return probe;
    }
    const bool mp4 = mediaType == "video/quicktime" || mediaType == "audio/x-m4a";
    // At most 40 s, give or take the encoder's priming and padding (two AAC frames of 1024).
    const bool short_ = facts.seconds <= kMaxRingtoneSeconds + 2048.0 / kRate;
    probe.kind = mp4 && facts.aacOnly && short_ ? Kind::ReadyAac : Kind::Convertible;
    return probe;
}

// Whole percents of the conversion, reported when they grow.
class Progress {
public:
    explicit Progress(const std::function<void(int)>& report) : m_report(report) {}
    void Decoded(double share) { Report(share * kDecodeShare); }
    void Encoded(double share) { Report(kDecodeShare + share * (1 - kDecodeShare)); }
    void Done() { Show(100); }

private:
    void Report(double share) { Show(std::min(99, static_cast<int>(share * 100))); }
    void Show(int percent) {
        if (!m_report || percent <= m_last) return;
        m_last = percent;
        m_report(percent);
    }
    const std::function<void(int)>& m_report;
    int m_last = -1;
};

Result ConvertImpl(const Request& request, int outputFd) {
    gst::InitOnce();
    Result result;
    const auto deadline = Clock::now() + ConvertBound();
    std::string mediaType;
    if (!gst::RecognisedAudio(request.path, request.name, mediaType)) {
        result.reason = "not an audio file";
        return result;
    }
    const gst::SourceFacts facts = gst::Discover(request.path, deadline - Clock::now());
    if (!facts.reason.empty()) {
        result.reason = facts.reason;
        return result;
    }
    const double from = std::max(0.0, request.fromSeconds);
    if (facts.seconds > 0 && from >= facts.seconds) {
        result.reason = kPastTheEnd;
        return result;
    }
    // The excerpt ends where the source does: the length the discoverer gives may be an estimate
    // (an MP3's), so it only scales the progress.
    const double length = std::min(kMaxRingtoneSeconds, request.seconds > 0 ? request.seconds : kMaxRingtoneSeconds);
    const int channels = facts.channels == 1 ? 1 : 2;
    const auto width = static_cast<size_t>(channels);

    // An MP3's delay is decoded as well, and dropped again.
    const bool mp3 = (mediaType == "audio/mpeg" || mediaType == "application/x-id3") && from <= 0;
    const size_t excerptFrames = static_cast<size_t>(std::llround(length * kRate));
    Progress progress(request.progress);
    gst::DecodeJob decodeJob;
    decodeJob.path = request.path;
    decodeJob.channels = channels;
    decodeJob.fromSeconds = from;
    decodeJob.seconds =
        mp3 ? std::min(length + static_cast<double>(kMp3DelayFrames) / kRate, kMaxRingtoneSeconds + 1.0) : length;
    decodeJob.expectedSeconds = facts.seconds > 0 ? std::min(decodeJob.seconds, facts.seconds - from) : length;
    decodeJob.deadline = deadline;
    decodeJob.progress = [&progress](double share) { progress.Decoded(share); };
    gst::Decoded decoded;
    if (!gst::Decode(decodeJob, decoded, result.reason)) return result;
    std::vector<float>& samples = decoded.samples;
    // A length read from a compressed file may be an estimate: a start just before its real end
    // leaves only the decoder's padding, which is no ringtone either.
    if (from > 0 && samples.size() < kLeastExcerptFrames * width) {
        result.reason = kPastTheEnd;
        return result;
    }
    if (mp3) {
        DropLeadingSilence(samples, channels, kMp3DelayFrames, kDelayLevel);
        if (samples.size() > excerptFrames * width) {
            samples.resize(excerptFrames * width);
            decoded.more = true;
        }
    }
    const double got = static_cast<double>(samples.size() / width) / kRate;
    if (std::strcmp(gst::EncoderName(), "avenc_aac") == 0) TrimEnd(samples, channels, gst::kAvencPrimingFrames);
    // The source goes on after the excerpt: its end fades out. A shorter source stays whole.
    if (decoded.more) FadeOut(samples, channels, static_cast<size_t>(kFadeSeconds * kRate));

    gst::EncodeJob encodeJob;
    encodeJob.channels = channels;
    encodeJob.title = request.title;
    encodeJob.outputFd = outputFd;
    encodeJob.deadline = deadline;
    encodeJob.progress = [&progress](double share) { progress.Encoded(share); };
    if (!gst::Encode(samples, encodeJob, result.reason)) return result;
    progress.Done();
    result.ok = true;
    result.seconds = got;
    return result;
}

double DurationImpl(const Request& request) {
    gst::InitOnce();
    const gst::SourceFacts facts = gst::Discover(request.path, ConvertBound());
    return facts.reason.empty() && facts.seconds > 0 ? facts.seconds : -1;
}

const ModuleApi kApi = {&ProbeImpl, &ConvertImpl, &DurationImpl};

}  // namespace
}  // namespace ruvo::audio

extern "C" __attribute__((visibility("default"))) const ruvo::audio::ModuleApi* RuvoAudioModule() {
    return &ruvo::audio::kApi;
}
