// GstDiscover: type finding of the start and the discoverer's reading of the streams.
#include "GstDiscover.h"

#include <gst/base/gsttypefindhelper.h>
#include <gst/pbutils/pbutils.h>
#include <gst/tag/tag.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "AudioConverter.h"

namespace ruvo::audio::gst {

namespace {

// Type finding looks at the start of the file.
constexpr size_t kTypeFindBytes = 1 << 20;

std::string Extension(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return {};
    return name.substr(dot + 1);
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

}  // namespace

bool RecognisedAudio(const std::string& path, const std::string& name, std::string& mediaType) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
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
        facts.reason = "cannot read the audio";
        g_clear_error(&error);
        return facts;
    }
    std::unique_ptr<GstDiscovererInfo, GObjectUnref> info(gst_discoverer_discover_uri(discoverer.get(), uri.get(), &error));
    const GstDiscovererResult result = info ? gst_discoverer_info_get_result(info.get()) : GST_DISCOVERER_ERROR;
    if (result == GST_DISCOVERER_MISSING_PLUGINS) {
        facts.reason = MissingPlugins(info.get());
    } else if (result == GST_DISCOVERER_TIMEOUT) {
        facts.reason = kTooLong;
    } else if (result != GST_DISCOVERER_OK) {
        facts.reason = std::string("cannot read the audio: ") + (error && error->message ? error->message : "unreadable");
        for (char& c : facts.reason)
            if (static_cast<unsigned char>(c) < 0x20) c = ' ';
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
        facts.rate = static_cast<int>(gst_discoverer_audio_info_get_sample_rate(first));
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
                facts.title = CleanTitle(title);
            g_free(title);
        }
        // What no phone plays is refused before a sample is decoded: a resampler asked to make
        // 44.1 kHz of a 1 Hz stream would want gigabytes.
        if (facts.rate != 0 && (facts.rate < kLowestRate || facts.rate > kHighestRate))
            facts.reason = "unsupported audio: a sample rate of " + std::to_string(facts.rate) + " Hz";
        else if (facts.channels > kMostChannels)
            facts.reason = "unsupported audio: " + std::to_string(facts.channels) + " channels";
    }
    gst_discoverer_stream_info_list_free(audio);
    gst_discoverer_stream_info_list_free(video);
    return facts;
}

}  // namespace ruvo::audio::gst
