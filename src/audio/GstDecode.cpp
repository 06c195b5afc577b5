// GstDecode: filesrc ! decodebin ! audioconvert ! audioresample ! appsink, pulled until the
// excerpt is in.
#include "GstDecode.h"

#include <gst/app/gstappsink.h>

#include <algorithm>
#include <atomic>
#include <cmath>

#include "AudioConverter.h"

namespace ruvo::audio::gst {

namespace {

// What follows an excerpt for the source to go on after it: 50 ms.
constexpr size_t kGoesOnFrames = kRate / 20;

// What became of decodebin's pads: set on a streaming thread, read after the pipeline stopped.
struct PadContext {
    GstElement* convert = nullptr;
    std::atomic<bool> refused{false};     // audio no phone plays
    std::atomic<bool> linkFailed{false};  // an audio pad that would not link
};

// decodebin's audio pad goes to the converter, unless its caps say it is audio no phone plays
// (the discoverer refused such sources already; a stream may still change on the way).
void OnPadAdded(GstElement*, GstPad* pad, gpointer data) {
    auto* context = static_cast<PadContext*>(data);
    PadHolder sink(gst_element_get_static_pad(context->convert, "sink"));
    if (!sink || gst_pad_is_linked(sink.get())) return;
    CapsHolder caps(gst_pad_get_current_caps(pad));
    if (!caps) caps.reset(gst_pad_query_caps(pad, nullptr));
    const GstStructure* structure = caps && !gst_caps_is_empty(caps.get()) ? gst_caps_get_structure(caps.get(), 0) : nullptr;
    if (!structure || !g_str_has_prefix(gst_structure_get_name(structure), "audio/")) return;
    gint rate = 0;
    gint channels = 0;
    if ((gst_structure_get_int(structure, "rate", &rate) && (rate < kLowestRate || rate > kHighestRate)) ||
        (gst_structure_get_int(structure, "channels", &channels) && channels > kMostChannels)) {
        context->refused = true;
        return;
    }
    // A failed link leaves the converter without input: the decode then ends with nothing, and
    // says why.
    if (GST_PAD_LINK_FAILED(gst_pad_link(pad, sink.get()))) context->linkFailed = true;
}

}  // namespace

bool Decode(const DecodeJob& job, Decoded& decoded, std::string& reason) {
    decoded.samples.clear();
    decoded.more = false;
    size_t extra = 0;  // frames decoded past the excerpt
    ElementHolder pipeline(gst_pipeline_new(nullptr));
    GstElement* source = Make("filesrc", reason);
    GstElement* decode = Make("decodebin", reason);
    GstElement* convert = Make("audioconvert", reason);
    GstElement* resample = Make("audioresample", reason);
    GstElement* sink = Make("appsink", reason);
    GstElement* elements[] = {source, decode, convert, resample, sink};
    if (!reason.empty()) {
        Discard(elements, std::size(elements));
        return false;
    }
    const auto channels = static_cast<size_t>(job.channels);
    g_object_set(source, "location", job.path.c_str(), nullptr);
    CapsHolder caps = RawCaps(job.channels);
    g_object_set(sink, "caps", caps.get(), "sync", FALSE, nullptr);
    gst_bin_add_many(GST_BIN(pipeline.get()), source, decode, convert, resample, sink, nullptr);
    if (!Link(source, decode, reason) || !Link(convert, resample, reason) || !Link(resample, sink, reason)) return false;
    PadContext pads;
    pads.convert = convert;
    g_signal_connect(decode, "pad-added", G_CALLBACK(OnPadAdded), &pads);

    bool ok = SetState(pipeline.get(), GST_STATE_PAUSED, reason) &&
              WaitFor(pipeline.get(), GST_MESSAGE_ASYNC_DONE, job.deadline, reason);
    const auto start = static_cast<gint64>(job.fromSeconds * GST_SECOND);
    if (ok && job.fromSeconds > 0) {
        ok = gst_element_seek_simple(pipeline.get(), GST_FORMAT_TIME,
                                     static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), start) &&
             WaitFor(pipeline.get(), GST_MESSAGE_ASYNC_DONE, job.deadline, reason);
        if (!ok && reason.empty()) reason = "cannot convert the audio: the excerpt's start cannot be reached";
    }
    if (ok) ok = SetState(pipeline.get(), GST_STATE_PLAYING, reason);

    const size_t wanted = static_cast<size_t>(std::llround(job.seconds * kRate)) * channels;
    const size_t expected =
        static_cast<size_t>(std::llround(std::clamp(job.expectedSeconds, 0.0, job.seconds) * kRate)) * channels;
    std::vector<float>& samples = decoded.samples;
    samples.reserve(wanted);
    if (ok && job.progress) job.progress(0);
    while (ok && samples.size() < wanted) {
        if (Clock::now() >= job.deadline) {
            reason = kTooLong;
            ok = false;
            break;
        }
        GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 100 * GST_MSECOND);
        if (sample == nullptr) {
            if (gst_app_sink_is_eos(GST_APP_SINK(sink))) break;
            // What decoded before a broken part of the file still makes a ringtone.
            if (PopError(pipeline.get(), reason)) break;
            continue;
        }
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            const auto* data = reinterpret_cast<const float*>(map.data);
            const size_t count = map.size / sizeof(float);
            // An accurate seek may still hand over a little before the start: that part is cut.
            size_t skip = 0;
            const GstClockTime pts = GST_BUFFER_PTS(buffer);
            if (job.fromSeconds > 0 && GST_CLOCK_TIME_IS_VALID(pts) && static_cast<gint64>(pts) < start) {
                const auto frames = static_cast<size_t>((start - static_cast<gint64>(pts)) * kRate / GST_SECOND);
                skip = std::min(count, frames * channels);
            }
            const size_t taken = std::min(count - skip, wanted - samples.size());
            extra += (count - skip - taken) / channels;
            samples.insert(samples.end(), data + skip, data + skip + taken);
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
        if (job.progress)
            job.progress(std::min(1.0, static_cast<double>(samples.size()) / static_cast<double>(std::max<size_t>(expected, 1))));
    }
    // Whether the source goes on: a decoder may hand over a sample or so past the end, which
    // does not count.
    while (ok && samples.size() >= wanted && extra < kGoesOnFrames && !gst_app_sink_is_eos(GST_APP_SINK(sink)) &&
           Clock::now() < job.deadline) {
        GstSample* next = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 100 * GST_MSECOND);
        if (next == nullptr) {
            if (PopError(pipeline.get(), reason)) break;
            continue;
        }
        if (GstBuffer* buffer = gst_sample_get_buffer(next))
            extra += gst_buffer_get_size(buffer) / sizeof(float) / channels;
        gst_sample_unref(next);
    }
    decoded.more = extra >= kGoesOnFrames;
    std::string ignored;
    SetState(pipeline.get(), GST_STATE_NULL, ignored);
    // The streaming threads are stopped: the pad context is no longer written.
    if (pads.refused) {
        reason = "unsupported audio: its sample rate or channels changed to what no phone plays";
        return false;
    }
    // A broken file converts as far as it decodes: an error after some audio is not a failure.
    if (!ok) return false;
    if (samples.empty()) {
        if (pads.linkFailed) reason = "cannot convert the audio: decodebin's audio does not link to audioconvert";
        if (reason.empty()) reason = "cannot convert the audio: nothing decodes";
        return false;
    }
    reason.clear();
    return true;
}

}  // namespace ruvo::audio::gst
