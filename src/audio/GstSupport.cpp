// GstSupport: start-up, the bound, and checked element making, state changes and bus waits.
#include "GstSupport.h"

#include <mutex>

namespace ruvo::audio::gst {

namespace {
// The factory an element was made of ("flacdec"), else its own name.
std::string ElementName(GstObject* object) {
    if (object == nullptr) return "GStreamer";
    if (GST_IS_ELEMENT(object)) {
        if (GstElementFactory* factory = gst_element_get_factory(GST_ELEMENT(object)))
            return gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory));
    }
    const gchar* name = GST_OBJECT_NAME(object);
    return name ? name : "GStreamer";
}

// A message on one line.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    return text;
}
}  // namespace

void InitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

GstElement* Make(const char* factory, std::string& reason) {
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (element == nullptr && reason.empty()) reason = std::string("missing GStreamer plugin: ") + factory;
    return element;
}

void Discard(GstElement* const* elements, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (elements[i]) gst_object_unref(gst_object_ref_sink(elements[i]));
}

bool SetState(GstElement* pipeline, GstState state, std::string& reason) {
    if (gst_element_set_state(pipeline, state) != GST_STATE_CHANGE_FAILURE) return true;
    // The element that failed usually says why on the bus.
    if (!PopError(pipeline, reason) && reason.empty())
        reason = std::string("cannot convert the audio: the pipeline cannot go to ") + gst_element_state_get_name(state);
    return false;
}

bool Link(GstElement* from, GstElement* to, std::string& reason) {
    if (gst_element_link(from, to)) return true;
    if (reason.empty())
        reason = "cannot convert the audio: " + ElementName(GST_OBJECT(from)) + " does not link to " +
                 ElementName(GST_OBJECT(to));
    return false;
}

std::string ErrorText(GstMessage* message) {
    GError* error = nullptr;
    gst_message_parse_error(message, &error, nullptr);
    std::string text = "cannot convert the audio: " + ElementName(GST_MESSAGE_SRC(message)) + ": " +
                       (error && error->message ? error->message : "error");
    g_clear_error(&error);
    return OneLine(std::move(text));
}

bool PopError(GstElement* pipeline, std::string& reason) {
    BusHolder bus(gst_element_get_bus(pipeline));
    GstMessage* message = bus ? gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR) : nullptr;
    if (message == nullptr) return false;
    reason = ErrorText(message);
    gst_message_unref(message);
    return true;
}

bool WaitFor(GstElement* pipeline, GstMessageType done, Clock::time_point deadline, std::string& reason) {
    BusHolder bus(gst_element_get_bus(pipeline));
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            reason = kTooLong;
            return false;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        GstMessage* message = gst_bus_timed_pop_filtered(bus.get(), static_cast<GstClockTime>(ns),
                                                         static_cast<GstMessageType>(done | GST_MESSAGE_ERROR));
        if (message == nullptr) continue;
        const bool error = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
        if (error) reason = ErrorText(message);
        gst_message_unref(message);
        return !error;
    }
}

CapsHolder RawCaps(int channels) {
    return CapsHolder(gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "F32LE", "layout", G_TYPE_STRING,
                                          "interleaved", "rate", G_TYPE_INT, kRate, "channels", G_TYPE_INT, channels,
                                          nullptr));
}

}  // namespace ruvo::audio::gst
