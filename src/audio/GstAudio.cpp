// GstAudio: the GStreamer side of the converter (the module ruvo-audio.so): type finding, the
// source's streams, and decoding an excerpt and encoding it as AAC in MPEG-4.
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/base/gsttypefindhelper.h>
#include <gst/gst.h>
#include <gst/pbutils/pbutils.h>
#include <gst/tag/tag.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AudioModule.h"

namespace ruvo::audio {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRate = 44100;
constexpr int kBitrate = 128000;
constexpr double kFadeSeconds = 2.0;
constexpr char kPastTheEnd[] = "the excerpt starts at or past the end of the audio";
// The least audio an excerpt that starts after second 0 must find: 100 ms.
constexpr size_t kLeastExcerptFrames = kRate / 10;
// What follows an excerpt for the source to go on after it: 50 ms.
constexpr size_t kGoesOnFrames = kRate / 20;
// Eighths of the fade that are silence at its end.
constexpr size_t kFadeSilentEighths = 1;
constexpr auto kBound = std::chrono::milliseconds(60000);
// Type finding looks at the start of the file.
constexpr size_t kTypeFindBytes = 1 << 20;

void InitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

// The conversion's bound: 60 s, or less when RUVO_CONVERT_TIMEOUT_MS says so.
Clock::duration Bound() {
    if (const char* text = std::getenv("RUVO_CONVERT_TIMEOUT_MS")) {
        char* end = nullptr;
        const long long ms = std::strtoll(text, &end, 10);
        if (end != text && *end == '\0' && ms >= 0 && std::chrono::milliseconds(ms) < kBound)
            return std::chrono::milliseconds(ms);
    }
    return kBound;
}

struct GstObjectUnref {
    void operator()(gpointer object) const { gst_object_unref(object); }
};
using ElementHolder = std::unique_ptr<GstElement, GstObjectUnref>;
struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct CapsUnref {
    void operator()(GstCaps* caps) const { gst_caps_unref(caps); }
};
using CapsHolder = std::unique_ptr<GstCaps, CapsUnref>;
struct GFree {
    void operator()(gpointer p) const { g_free(p); }
};

// The audio as a file: the caller's, or the bytes written to a private temporary file that is
// removed again with this object.
class Source {
public:
    explicit Source(const Request& request) {
        if (!request.path.empty()) {
            m_path = request.path;
            return;
        }
        std::string pattern = std::string(g_get_tmp_dir()) + "/ruvo-audio-XXXXXX";
        const int fd = mkstemp(pattern.data());
        if (fd < 0) return;
        m_temporary = pattern;
        m_path = pattern;
        size_t done = 0;
        while (done < request.bytes.size()) {
            const ssize_t n = write(fd, request.bytes.data() + done, request.bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                m_path.clear();
                break;
            }
            done += static_cast<size_t>(n);
        }
        close(fd);
    }
    ~Source() {
        if (!m_temporary.empty()) unlink(m_temporary.c_str());
    }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    const std::string& Path() const { return m_path; }

private:
    std::string m_path;       // empty when the audio could not be had as a file
    std::string m_temporary;  // the temporary file made of the bytes, if any
};

std::string Extension(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return {};
    return name.substr(dot + 1);
}

// Type finding of the file's start (probability at least "likely"): the media types that are
// recognised audio.
bool RecognisedAudio(const std::string& path, const std::string& name, std::string& mediaType) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::vector<guint8> start(kTypeFindBytes);
    size_t got = 0;
    while (got < start.size()) {
        const ssize_t n = read(fd, start.data() + got, start.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got == 0) return false;
    GstTypeFindProbability probability = GST_TYPE_FIND_NONE;
    const std::string extension = Extension(name.empty() ? path : name);
    CapsHolder caps(gst_type_find_helper_for_data_with_extension(
        nullptr, start.data(), got, extension.empty() ? nullptr : extension.c_str(), &probability));
    if (!caps || gst_caps_is_empty(caps.get()) || probability < GST_TYPE_FIND_LIKELY) return false;
    const GstStructure* structure = gst_caps_get_structure(caps.get(), 0);
    mediaType = gst_structure_get_name(structure);
    if (mediaType == "audio/mpeg") {
        gint version = 0;
        return gst_structure_get_int(structure, "mpegversion", &version) && version == 1;
    }
    static const char* const kAudio[] = {"application/x-id3", "application/x-apetag", "application/ogg",
                                         "audio/ogg",         "audio/x-flac",         "audio/x-wav",
                                         "video/quicktime",   "audio/x-m4a"};
    return std::any_of(std::begin(kAudio), std::end(kAudio), [&](const char* t) { return mediaType == t; });
}

// The missing plugins a discoverer names, as one line.
std::string MissingPlugins(GstDiscovererInfo* info) {
    std::string names;
    const gchar** details = gst_discoverer_info_get_missing_elements_installer_details(info);
    for (size_t i = 0; details && details[i]; ++i) {
        // "gstreamer|1.0|application|description|detail"
        std::string detail = details[i];
        size_t from = 0;
        for (int field = 0; field < 3 && from != std::string::npos; ++field) from = detail.find('|', from + 1);
        std::string description = from == std::string::npos ? detail : detail.substr(from + 1);
        description = description.substr(0, description.find('|'));
        if (!names.empty()) names += ", ";
        names += description;
    }
    return "missing GStreamer plugin: " + (names.empty() ? std::string("unknown") : names);
}

struct SourceFacts {
    std::string reason;
    int channels = 0;
    double seconds = 0;
    bool aacOnly = false;
    std::string title;
};

SourceFacts Discover(const std::string& path, Clock::duration bound) {
    SourceFacts facts;
    GError* error = nullptr;
    // The discoverer takes no bound under a second; the caller's deadline still holds after it.
    const auto timeout = std::max<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(bound).count(),
                                             static_cast<long long>(GST_SECOND));
    std::unique_ptr<GstDiscoverer, GObjectUnref> discoverer(gst_discoverer_new(static_cast<GstClockTime>(timeout), &error));
    if (!discoverer) {
        facts.reason = std::string("cannot inspect the audio: ") + (error ? error->message : "no discoverer");
        g_clear_error(&error);
        return facts;
    }
    std::unique_ptr<gchar, GFree> uri(gst_filename_to_uri(path.c_str(), &error));
    if (!uri) {
        facts.reason = std::string("cannot read ") + path;
        g_clear_error(&error);
        return facts;
    }
    std::unique_ptr<GstDiscovererInfo, GObjectUnref> info(gst_discoverer_discover_uri(discoverer.get(), uri.get(), &error));
    const GstDiscovererResult result = info ? gst_discoverer_info_get_result(info.get()) : GST_DISCOVERER_ERROR;
    if (result == GST_DISCOVERER_MISSING_PLUGINS) {
        facts.reason = MissingPlugins(info.get());
    } else if (result == GST_DISCOVERER_TIMEOUT) {
        facts.reason = "the conversion took too long";
    } else if (result != GST_DISCOVERER_OK) {
        facts.reason = std::string("cannot read the audio: ") + (error ? error->message : "unreadable");
    }
    g_clear_error(&error);
    if (!facts.reason.empty()) return facts;

    GList* audio = gst_discoverer_info_get_audio_streams(info.get());
    GList* video = gst_discoverer_info_get_video_streams(info.get());
    if (audio == nullptr) {
        facts.reason = "no audio track";
    } else {
        auto* first = GST_DISCOVERER_AUDIO_INFO(audio->data);
        facts.channels = static_cast<int>(gst_discoverer_audio_info_get_channels(first));
        facts.seconds = static_cast<double>(gst_discoverer_info_get_duration(info.get())) / GST_SECOND;
        if (g_list_length(audio) == 1 && video == nullptr) {
            CapsHolder caps(gst_discoverer_stream_info_get_caps(GST_DISCOVERER_STREAM_INFO(first)));
            const GstStructure* structure = caps ? gst_caps_get_structure(caps.get(), 0) : nullptr;
            gint version = 0;
            facts.aacOnly = structure && std::strcmp(gst_structure_get_name(structure), "audio/mpeg") == 0 &&
                            gst_structure_get_int(structure, "mpegversion", &version) && (version == 2 || version == 4);
        }
        // The title tag: the file's, else its audio track's.
        const GstTagList* lists[] = {gst_discoverer_info_get_tags(info.get()),
                                     gst_discoverer_stream_info_get_tags(GST_DISCOVERER_STREAM_INFO(first))};
        for (const GstTagList* tags : lists) {
            gchar* title = nullptr;
            if (facts.title.empty() && tags && gst_tag_list_get_string(tags, GST_TAG_TITLE, &title) && title)
                facts.title = title;
            g_free(title);
        }
    }
    gst_discoverer_stream_info_list_free(audio);
    gst_discoverer_stream_info_list_free(video);
    return facts;
}

// Waits for the bus to say done (async-done or EOS), or an error, within the deadline.
bool WaitFor(GstElement* pipeline, GstMessageType done, Clock::time_point deadline, std::string& reason) {
    std::unique_ptr<GstBus, GstObjectUnref> bus(gst_element_get_bus(pipeline));
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            reason = "the conversion took too long";
            return false;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        GstMessage* message = gst_bus_timed_pop_filtered(bus.get(), static_cast<GstClockTime>(ns),
                                                         static_cast<GstMessageType>(done | GST_MESSAGE_ERROR));
        if (message == nullptr) continue;
        const bool error = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
        if (error) {
            GError* gerror = nullptr;
            gst_message_parse_error(message, &gerror, nullptr);
            reason = std::string("cannot convert the audio: ") + (gerror ? gerror->message : "error");
            g_clear_error(&gerror);
        }
        gst_message_unref(message);
        return !error;
    }
}

GstElement* Make(const char* factory, std::string& reason) {
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (element == nullptr && reason.empty()) reason = std::string("missing GStreamer plugin: ") + factory;
    return element;
}

void OnPadAdded(GstElement*, GstPad* pad, gpointer data) {
    auto* convert = static_cast<GstElement*>(data);
    std::unique_ptr<GstPad, GstObjectUnref> sink(gst_element_get_static_pad(convert, "sink"));
    if (gst_pad_is_linked(sink.get())) return;
    CapsHolder caps(gst_pad_get_current_caps(pad));
    if (!caps) caps.reset(gst_pad_query_caps(pad, nullptr));
    const GstStructure* structure = caps ? gst_caps_get_structure(caps.get(), 0) : nullptr;
    if (structure && g_str_has_prefix(gst_structure_get_name(structure), "audio/")) gst_pad_link(pad, sink.get());
}

// Decodes the excerpt into interleaved float samples at 44.1 kHz.
// more tells whether the source goes on after the excerpt.
bool Decode(const std::string& path, int channels, double from, double seconds, double expectedSeconds,
            Clock::time_point deadline,
            const std::function<void(int)>& progress, std::vector<float>& samples, bool& more, std::string& reason) {
    more = false;
    size_t extra = 0;  // frames decoded past the excerpt
    ElementHolder pipeline(gst_pipeline_new(nullptr));
    GstElement* source = Make("filesrc", reason);
    GstElement* decode = Make("decodebin", reason);
    GstElement* convert = Make("audioconvert", reason);
    GstElement* resample = Make("audioresample", reason);
    GstElement* sink = Make("appsink", reason);
    GstElement* elements[] = {source, decode, convert, resample, sink};
    if (!reason.empty()) {
        for (GstElement* e : elements)
            if (e) gst_object_unref(gst_object_ref_sink(e));
        return false;
    }
    g_object_set(source, "location", path.c_str(), nullptr);
    CapsHolder caps(gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "F32LE", "layout", G_TYPE_STRING,
                                        "interleaved", "rate", G_TYPE_INT, kRate, "channels", G_TYPE_INT, channels,
                                        nullptr));
    g_object_set(sink, "caps", caps.get(), "sync", FALSE, nullptr);
    gst_bin_add_many(GST_BIN(pipeline.get()), source, decode, convert, resample, sink, nullptr);
    if (!gst_element_link(source, decode) || !gst_element_link_many(convert, resample, sink, nullptr)) {
        reason = "cannot convert the audio: the decoder cannot be set up";
        return false;
    }
    g_signal_connect(decode, "pad-added", G_CALLBACK(OnPadAdded), convert);

    gst_element_set_state(pipeline.get(), GST_STATE_PAUSED);
    bool ok = WaitFor(pipeline.get(), GST_MESSAGE_ASYNC_DONE, deadline, reason);
    const gint64 start = static_cast<gint64>(from * GST_SECOND);
    if (ok && from > 0) {
        ok = gst_element_seek_simple(pipeline.get(), GST_FORMAT_TIME,
                                     static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), start) &&
             WaitFor(pipeline.get(), GST_MESSAGE_ASYNC_DONE, deadline, reason);
        if (!ok && reason.empty()) reason = "cannot convert the audio: the excerpt's start cannot be reached";
    }
    if (ok) gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);

    const size_t wanted = static_cast<size_t>(std::llround(seconds * kRate)) * static_cast<size_t>(channels);
    // What the progress counts against: the excerpt as long as the source is thought to be.
    const size_t expected =
        static_cast<size_t>(std::llround(std::clamp(expectedSeconds, 0.0, seconds) * kRate)) * static_cast<size_t>(channels);
    samples.clear();
    samples.reserve(wanted);
    auto lastReport = Clock::now();
    if (ok && progress) progress(0);
    while (ok && samples.size() < wanted) {
        if (Clock::now() >= deadline) {
            reason = "the conversion took too long";
            ok = false;
            break;
        }
        GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 100 * GST_MSECOND);
        if (sample == nullptr) {
            if (gst_app_sink_is_eos(GST_APP_SINK(sink))) break;
            std::string error;
            std::unique_ptr<GstBus, GstObjectUnref> bus(gst_element_get_bus(pipeline.get()));
            if (GstMessage* message = gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR)) {
                GError* gerror = nullptr;
                gst_message_parse_error(message, &gerror, nullptr);
                // What decoded before a broken part of the file still makes a ringtone.
                reason = std::string("cannot convert the audio: ") + (gerror ? gerror->message : "error");
                g_clear_error(&gerror);
                gst_message_unref(message);
                break;
            }
            continue;
        }
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            const auto* data = reinterpret_cast<const float*>(map.data);
            size_t count = map.size / sizeof(float);
            // An accurate seek may still hand over a little before the start: that part is cut.
            size_t skip = 0;
            const GstClockTime pts = GST_BUFFER_PTS(buffer);
            if (from > 0 && GST_CLOCK_TIME_IS_VALID(pts) && static_cast<gint64>(pts) < start) {
                const auto frames = static_cast<size_t>((start - static_cast<gint64>(pts)) * kRate / GST_SECOND);
                skip = std::min(count, frames * static_cast<size_t>(channels));
            }
            const size_t taken = std::min(count - skip, wanted - samples.size());
            extra += (count - skip - taken) / static_cast<size_t>(channels);
            count = taken;
            samples.insert(samples.end(), data + skip, data + skip + count);
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
        if (progress && Clock::now() - lastReport >= std::chrono::milliseconds(200)) {
            lastReport = Clock::now();
            progress(static_cast<int>(std::min<size_t>(99, samples.size() * 100 / std::max<size_t>(expected, 1))));
        }
    }
    // Whether the source goes on: a decoder may hand over a sample or so past the end, which
    // does not count.
    while (ok && samples.size() >= wanted && extra < kGoesOnFrames && !gst_app_sink_is_eos(GST_APP_SINK(sink)) &&
           Clock::now() < deadline) {
        GstSample* next = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 100 * GST_MSECOND);
        if (next == nullptr) continue;
        if (GstBuffer* buffer = gst_sample_get_buffer(next))
            extra += gst_buffer_get_size(buffer) / sizeof(float) / static_cast<size_t>(channels);
        gst_sample_unref(next);
    }
    more = extra >= kGoesOnFrames;
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    // A broken file converts as far as it decodes: an error after some audio is not a failure.
    if (!ok) return false;
    if (samples.empty()) {
        if (reason.empty()) reason = "cannot convert the audio: nothing decodes";
        return false;
    }
    reason.clear();
    return true;
}

// The AAC encoder: libav's, else VisualOn's.
const char* EncoderName() {
    GstElementFactory* factory = gst_element_factory_find("avenc_aac");
    if (factory == nullptr) return "voaacenc";
    gst_object_unref(factory);
    return "avenc_aac";
}

// libav's encoder puts a frame of priming (1024 samples, and a few more as the muxer counts)
// before the audio, and the file's length counts it: the excerpt is shortened by as much, so the
// ringtone lasts the excerpt's length and never passes 40 s. VisualOn's drops the last partial
// frame instead, which keeps the file within a frame of the excerpt by itself.
constexpr size_t kAvencPrimingFrames = 1030;

// Encodes the samples as one AAC-LC track in MPEG-4 with the title tag.
bool Encode(const std::vector<float>& samples, int channels, const std::string& title, const std::string& output,
            Clock::time_point deadline, std::string& reason) {
    ElementHolder pipeline(gst_pipeline_new(nullptr));
    GstElement* source = Make("appsrc", reason);
    GstElement* convert = Make("audioconvert", reason);
    GstElement* encoder = gst_element_factory_make(EncoderName(), nullptr);
    if (encoder == nullptr) reason = "missing GStreamer plugin: avenc_aac or voaacenc";
    GstElement* mux = Make("mp4mux", reason);
    GstElement* sink = Make("filesink", reason);
    GstElement* elements[] = {source, convert, encoder, mux, sink};
    if (!reason.empty()) {
        if (encoder == nullptr) reason = "missing GStreamer plugin: avenc_aac or voaacenc";
        for (GstElement* e : elements)
            if (e) gst_object_unref(gst_object_ref_sink(e));
        return false;
    }
    CapsHolder caps(gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "F32LE", "layout", G_TYPE_STRING,
                                        "interleaved", "rate", G_TYPE_INT, kRate, "channels", G_TYPE_INT, channels,
                                        nullptr));
    g_object_set(source, "caps", caps.get(), "format", GST_FORMAT_TIME, nullptr);
    g_object_set(encoder, "bitrate", kBitrate, nullptr);
    g_object_set(sink, "location", output.c_str(), nullptr);
    if (!title.empty() && GST_IS_TAG_SETTER(mux))
        gst_tag_setter_add_tags(GST_TAG_SETTER(mux), GST_TAG_MERGE_REPLACE, GST_TAG_TITLE, title.c_str(), nullptr);
    gst_bin_add_many(GST_BIN(pipeline.get()), source, convert, encoder, mux, sink, nullptr);
    if (!gst_element_link_many(source, convert, encoder, mux, sink, nullptr)) {
        reason = "cannot convert the audio: the encoder cannot be set up";
        return false;
    }
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    constexpr size_t kFrames = 4096;
    const size_t step = kFrames * static_cast<size_t>(channels);
    size_t frame = 0;
    for (size_t at = 0; at < samples.size(); at += step) {
        const size_t count = std::min(step, samples.size() - at);
        GstBuffer* buffer = gst_buffer_new_memdup(samples.data() + at, count * sizeof(float));
        const size_t frames = count / static_cast<size_t>(channels);
        GST_BUFFER_PTS(buffer) = gst_util_uint64_scale(frame, GST_SECOND, kRate);
        GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale(frames, GST_SECOND, kRate);
        frame += frames;
        if (gst_app_src_push_buffer(GST_APP_SRC(source), buffer) != GST_FLOW_OK) break;
    }
    gst_app_src_end_of_stream(GST_APP_SRC(source));
    const bool ok = WaitFor(pipeline.get(), GST_MESSAGE_EOS, deadline, reason);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return ok;
}

// The last 2 s of a cut excerpt fade out: linearly to silence, which is reached a quarter of a
// second before the end, so that the ringtone's last moments are quiet (a ramp down to the very
// last sample leaves its last half second only 17 dB down).
void FadeOut(std::vector<float>& samples, int channels) {
    const size_t frames = samples.size() / static_cast<size_t>(channels);
    const size_t span = std::min(frames, static_cast<size_t>(kFadeSeconds * kRate));
    const size_t silent = span * kFadeSilentEighths / 8;
    const size_t ramp = span - silent;
    for (size_t i = 0; i < span; ++i) {
        const float gain = i < ramp ? static_cast<float>(ramp - i) / static_cast<float>(ramp + 1) : 0.0F;
        const size_t frameIndex = frames - span + i;
        for (int c = 0; c < channels; ++c) samples[frameIndex * static_cast<size_t>(channels) + static_cast<size_t>(c)] *= gain;
    }
}

// An MP3 decodes with the encoder's and the decoder's delay before the audio (576 + 529 samples
// for LAME and mpg123), which GStreamer keeps without a gapless tag: leading silence of up to a
// frame and that delay is dropped, so a whole file keeps its own length.
constexpr size_t kMp3DelayFrames = 1152 + 529;
// The delay is not quite silent: the decoder's filters ring in it. -40 dB full scale.
constexpr float kDelayLevel = 0.01F;

void DropLeadingSilence(std::vector<float>& samples, int channels, size_t most) {
    const size_t frames = samples.size() / static_cast<size_t>(channels);
    size_t silent = 0;
    while (silent < std::min(most, frames)) {
        bool quiet = true;
        for (int c = 0; c < channels; ++c)
            quiet = quiet && std::fabs(samples[silent * static_cast<size_t>(channels) + static_cast<size_t>(c)]) < kDelayLevel;
        if (!quiet) break;
        ++silent;
    }
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(silent * static_cast<size_t>(channels)));
}

Probe ProbeImpl(const Request& request) {
    InitOnce();
    Probe probe;
    Source source(request);
    if (source.Path().empty()) {
        probe.reason = "cannot read the audio";
        return probe;
    }
    std::string mediaType;
    if (!RecognisedAudio(source.Path(), request.name, mediaType)) return probe;
    const SourceFacts facts = Discover(source.Path(), Bound());
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

Result ConvertImpl(const Request& request) {
    InitOnce();
    Result result;
    const auto deadline = Clock::now() + Bound();
    Source source(request);
    if (source.Path().empty()) {
        result.reason = "cannot read the audio";
        return result;
    }
    std::string mediaType;
    if (!RecognisedAudio(source.Path(), request.name, mediaType)) {
        result.reason = "not an audio file";
        return result;
    }
    const SourceFacts facts = Discover(source.Path(), deadline - Clock::now());
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
    const double expected = facts.seconds > 0 ? std::min(length, facts.seconds - from) : length;
    const int channels = facts.channels == 1 ? 1 : 2;

    // An MP3's delay is decoded as well, and dropped again.
    const bool mp3 = (mediaType == "audio/mpeg" || mediaType == "application/x-id3") && from <= 0;
    const size_t excerptFrames = static_cast<size_t>(std::llround(length * kRate));
    const double decodeSeconds =
        mp3 ? std::min(length + static_cast<double>(kMp3DelayFrames) / kRate, kMaxRingtoneSeconds + 1.0) : length;
    std::vector<float> samples;
    bool more = false;
    if (!Decode(source.Path(), channels, from, decodeSeconds, expected, deadline, request.progress, samples, more,
                result.reason))
        return result;
    // A length read from a compressed file may be an estimate: a start just before its real end
    // leaves only the decoder's padding, which is no ringtone either.
    if (from > 0 && samples.size() < kLeastExcerptFrames * static_cast<size_t>(channels)) {
        result.reason = kPastTheEnd;
        return result;
    }
    if (mp3) {
        DropLeadingSilence(samples, channels, kMp3DelayFrames);
        if (samples.size() > excerptFrames * static_cast<size_t>(channels)) {
            samples.resize(excerptFrames * static_cast<size_t>(channels));
            more = true;
        }
    }
    const size_t frames = samples.size() / static_cast<size_t>(channels);
    const double got = static_cast<double>(frames) / kRate;
    if (std::strcmp(EncoderName(), "avenc_aac") == 0 && frames > 2 * kAvencPrimingFrames)
        samples.resize((frames - kAvencPrimingFrames) * static_cast<size_t>(channels));
    // The source goes on after the excerpt: its end fades out. A shorter source stays whole.
    if (more) FadeOut(samples, channels);

    std::string output = std::string(g_get_tmp_dir()) + "/ruvo-ringtone-XXXXXX";
    const int fd = mkstemp(output.data());
    if (fd < 0) {
        result.reason = "cannot write the ringtone";
        return result;
    }
    close(fd);
    if (!Encode(samples, channels, request.title, output, deadline, result.reason)) {
        unlink(output.c_str());
        return result;
    }
    if (request.progress) request.progress(100);
    result.ok = true;
    result.outputPath = output;
    result.seconds = got;
    return result;
}

double DurationImpl(const Request& request) {
    InitOnce();
    Source source(request);
    if (source.Path().empty()) return -1;
    const SourceFacts facts = Discover(source.Path(), Bound());
    return facts.reason.empty() && facts.seconds > 0 ? facts.seconds : -1;
}

const ModuleApi kApi = {&ProbeImpl, &ConvertImpl, &DurationImpl};

}  // namespace
}  // namespace ruvo::audio

extern "C" __attribute__((visibility("default"))) const ruvo::audio::ModuleApi* RuvoAudioModule() {
    return &ruvo::audio::kApi;
}
