// Shared by the audio tests: sine fixtures made at test time with gst-launch-1.0 (none is stored in
// the tree), and what a ringtone file turns out to be, read back with GStreamer's discoverer and
// decoder.
#pragma once

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/pbutils/pbutils.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace audio_test {

namespace fs = std::filesystem;

constexpr int kRate = 44100;
// One AAC frame.
constexpr double kFrameSeconds = 1024.0 / kRate;

inline void InitGstreamer() {
    static const bool done = [] {
        gst_init(nullptr, nullptr);
        return true;
    }();
    (void)done;
}

// The encoder part of a gst-launch pipeline for a file of this extension.
inline std::string EncoderFor(const std::string& extension) {
    if (extension == "mp3") return "lamemp3enc";
    if (extension == "ogg") return "vorbisenc ! oggmux";
    if (extension == "flac") return "flacenc";
    if (extension == "wav") return "wavenc";
    if (extension == "m4a") return "avenc_aac ! mp4mux";
    return "";
}

// A 440 Hz sine of the given length (whole seconds) and channels, as the extension says; false when
// gst-launch-1.0 failed.
inline bool MakeSine(const fs::path& path, int seconds, int channels = 2) {
    const std::string extension = path.extension().string().substr(1);
    const std::string command = "gst-launch-1.0 -q audiotestsrc num-buffers=" + std::to_string(seconds * 441 / 10) +
                                " samplesperbuffer=1000 freq=440 volume=0.5 ! audio/x-raw,rate=44100,channels=" +
                                std::to_string(channels) + " ! audioconvert ! " + EncoderFor(extension) +
                                " ! filesink location='" + path.string() + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0 && fs::file_size(path) > 0;
}

// What a file is, as the discoverer tells.
struct FileFacts {
    bool read = false;
    std::string container;      // the container's media type
    int audioStreams = 0;
    int otherStreams = 0;       // video and subtitles
    bool aac = false;           // the first audio stream is MPEG-4 AAC
    int channels = 0;
    int rate = 0;
    double seconds = 0;
    std::string title;
};

inline FileFacts Inspect(const fs::path& path) {
    InitGstreamer();
    FileFacts facts;
    GError* error = nullptr;
    GstDiscoverer* discoverer = gst_discoverer_new(20 * GST_SECOND, &error);
    gchar* uri = gst_filename_to_uri(path.c_str(), nullptr);
    GstDiscovererInfo* info = discoverer ? gst_discoverer_discover_uri(discoverer, uri, &error) : nullptr;
    g_clear_error(&error);
    if (info && gst_discoverer_info_get_result(info) == GST_DISCOVERER_OK) {
        facts.read = true;
        facts.seconds = static_cast<double>(gst_discoverer_info_get_duration(info)) / GST_SECOND;
        GstDiscovererStreamInfo* top = gst_discoverer_info_get_stream_info(info);
        if (top && GST_IS_DISCOVERER_CONTAINER_INFO(top)) {
            GstCaps* caps = gst_discoverer_stream_info_get_caps(top);
            if (caps) facts.container = gst_structure_get_name(gst_caps_get_structure(caps, 0));
            if (caps) gst_caps_unref(caps);
        }
        if (top) gst_discoverer_stream_info_unref(top);
        GList* audio = gst_discoverer_info_get_audio_streams(info);
        GList* video = gst_discoverer_info_get_video_streams(info);
        GList* subtitles = gst_discoverer_info_get_subtitle_streams(info);
        facts.audioStreams = static_cast<int>(g_list_length(audio));
        facts.otherStreams = static_cast<int>(g_list_length(video) + g_list_length(subtitles));
        if (audio) {
            auto* first = GST_DISCOVERER_AUDIO_INFO(audio->data);
            facts.channels = static_cast<int>(gst_discoverer_audio_info_get_channels(first));
            facts.rate = static_cast<int>(gst_discoverer_audio_info_get_sample_rate(first));
            GstCaps* caps = gst_discoverer_stream_info_get_caps(GST_DISCOVERER_STREAM_INFO(first));
            if (caps) {
                const GstStructure* s = gst_caps_get_structure(caps, 0);
                gint version = 0;
                facts.aac = g_str_equal(gst_structure_get_name(s), "audio/mpeg") &&
                            gst_structure_get_int(s, "mpegversion", &version) && version == 4;
                gst_caps_unref(caps);
            }
        }
        if (const GstTagList* tags = gst_discoverer_info_get_tags(info)) {
            gchar* title = nullptr;
            if (gst_tag_list_get_string(tags, GST_TAG_TITLE, &title) && title) facts.title = title;
            g_free(title);
        }
        gst_discoverer_stream_info_list_free(audio);
        gst_discoverer_stream_info_list_free(video);
        gst_discoverer_stream_info_list_free(subtitles);
    }
    if (info) g_object_unref(info);
    if (discoverer) g_object_unref(discoverer);
    g_free(uri);
    return facts;
}

// The file decoded to mono float samples at 44.1 kHz (empty when it does not decode).
inline std::vector<float> DecodeMono(const fs::path& path) {
    InitGstreamer();
    std::vector<float> samples;
    const std::string description = "filesrc location=\"" + path.string() +
                                    "\" ! decodebin ! audioconvert ! audioresample ! "
                                    "audio/x-raw,format=F32LE,channels=1,rate=44100 ! appsink name=sink sync=false";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    g_clear_error(&error);
    if (!pipeline) return samples;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    while (GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND)) {
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            const auto* data = reinterpret_cast<const float*>(map.data);
            samples.insert(samples.end(), data, data + map.size / sizeof(float));
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return samples;
}

// The level in dB (full scale) of the samples from one second to another, counted back from the end.
inline double LevelBeforeEnd(const std::vector<float>& samples, double fromBeforeEnd, double toBeforeEnd) {
    const auto total = static_cast<double>(samples.size());
    const auto begin = static_cast<size_t>(std::max(0.0, total - fromBeforeEnd * kRate));
    const auto end = static_cast<size_t>(std::max(0.0, total - toBeforeEnd * kRate));
    double sum = 0;
    for (size_t i = begin; i < end; ++i) sum += static_cast<double>(samples[i]) * samples[i];
    const double rms = end > begin ? std::sqrt(sum / static_cast<double>(end - begin)) : 0;
    return 20 * std::log10(std::max(rms, 1e-9));
}

}  // namespace audio_test
