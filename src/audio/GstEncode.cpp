// GstEncode: appsrc ! audioconvert ! AAC encoder ! mp4mux ! fdsink, fed at the encoder's pace.
#include "GstEncode.h"

#include <gst/app/gstappsrc.h>
#include <gst/tag/tag.h>

#include <algorithm>
#include <thread>

namespace ruvo::audio::gst {

namespace {
constexpr int kBitrate = 128000;
// Samples go in pieces of this many frames, and no more than a few pieces wait in the source's
// queue: the share pushed then follows what the encoder has taken, which is the progress.
constexpr size_t kPieceFrames = 4096;
constexpr guint64 kQueuedPieces = 2;
}  // namespace

const char* EncoderName() {
    GstElementFactory* factory = gst_element_factory_find("avenc_aac");
    if (factory == nullptr) return "voaacenc";
    gst_object_unref(factory);
    return "avenc_aac";
}

bool Encode(const std::vector<float>& samples, const EncodeJob& job, std::string& reason) {
    ElementHolder pipeline(gst_pipeline_new(nullptr));
    GstElement* source = Make("appsrc", reason);
    GstElement* convert = Make("audioconvert", reason);
    GstElement* encoder = gst_element_factory_make(EncoderName(), nullptr);
    GstElement* mux = Make("mp4mux", reason);
    GstElement* sink = Make("fdsink", reason);
    GstElement* elements[] = {source, convert, encoder, mux, sink};
    if (encoder == nullptr || !reason.empty()) {
        if (encoder == nullptr) reason = "missing GStreamer plugin: avenc_aac or voaacenc";
        Discard(elements, std::size(elements));
        return false;
    }
    const auto channels = static_cast<size_t>(job.channels);
    const size_t piece = kPieceFrames * channels;
    CapsHolder caps = RawCaps(job.channels);
    g_object_set(source, "caps", caps.get(), "format", GST_FORMAT_TIME, "max-bytes",
                 static_cast<guint64>(kQueuedPieces * piece * sizeof(float)), nullptr);
    g_object_set(encoder, "bitrate", kBitrate, nullptr);
    g_object_set(sink, "fd", job.outputFd, nullptr);
    if (!job.title.empty() && GST_IS_TAG_SETTER(mux))
        gst_tag_setter_add_tags(GST_TAG_SETTER(mux), GST_TAG_MERGE_REPLACE, GST_TAG_TITLE, job.title.c_str(), nullptr);
    gst_bin_add_many(GST_BIN(pipeline.get()), source, convert, encoder, mux, sink, nullptr);
    if (!Link(source, convert, reason) || !Link(convert, encoder, reason) || !Link(encoder, mux, reason) ||
        !Link(mux, sink, reason))
        return false;
    std::string ignored;
    if (!SetState(pipeline.get(), GST_STATE_PLAYING, reason)) {
        SetState(pipeline.get(), GST_STATE_NULL, ignored);
        return false;
    }
    const guint64 room = kQueuedPieces * piece * sizeof(float);
    bool ok = true;
    size_t frame = 0;
    if (job.progress) job.progress(0);
    for (size_t at = 0; ok && at < samples.size(); at += piece) {
        // Waits for room in the source's queue, watching the bus and the deadline: a pipeline
        // that failed takes nothing more, and a blocking push would wait for it for ever.
        while (ok && gst_app_src_get_current_level_bytes(GST_APP_SRC(source)) >= room) {
            if (Clock::now() >= job.deadline) {
                reason = kTooLong;
                ok = false;
            } else if (PopError(pipeline.get(), reason)) {
                ok = false;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        if (!ok) break;
        const size_t count = std::min(piece, samples.size() - at);
        GstBuffer* buffer = gst_buffer_new_memdup(samples.data() + at, count * sizeof(float));
        const size_t frames = count / channels;
        GST_BUFFER_PTS(buffer) = gst_util_uint64_scale(frame, GST_SECOND, kRate);
        GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale(frames, GST_SECOND, kRate);
        frame += frames;
        if (gst_app_src_push_buffer(GST_APP_SRC(source), buffer) != GST_FLOW_OK) {
            if (!PopError(pipeline.get(), reason)) reason = "cannot convert the audio: the encoder took no more audio";
            ok = false;
        } else if (job.progress) {
            job.progress(static_cast<double>(at + count) / static_cast<double>(samples.size()));
        }
    }
    if (ok) {
        gst_app_src_end_of_stream(GST_APP_SRC(source));
        ok = WaitFor(pipeline.get(), GST_MESSAGE_EOS, job.deadline, reason);
    }
    SetState(pipeline.get(), GST_STATE_NULL, ignored);
    return ok;
}

}  // namespace ruvo::audio::gst
