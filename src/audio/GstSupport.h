// GstSupport: what the converter's GStreamer parts share: the holders of GStreamer's objects,
// start-up, the bound, and checked element making, state changes and bus waits.
#pragma once

#include <gst/gst.h>

#include <chrono>
#include <memory>
#include <string>

#include "AudioConverter.h"

namespace ruvo::audio::gst {

using ruvo::audio::kTooLong;

using Clock = std::chrono::steady_clock;

// The sample rate every ringtone is made at.
inline constexpr int kRate = 44100;

struct GstObjectUnref {
    void operator()(gpointer object) const { gst_object_unref(object); }
};
using ElementHolder = std::unique_ptr<GstElement, GstObjectUnref>;
using BusHolder = std::unique_ptr<GstBus, GstObjectUnref>;
using PadHolder = std::unique_ptr<GstPad, GstObjectUnref>;
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

// gst_init, once per process.
void InitOnce();

// A new element of the factory; null, with the missing plugin as the reason (unless one is
// already there), when GStreamer has no such factory.
GstElement* Make(const char* factory, std::string& reason);

// Floating elements that never made it into a pipeline are released.
void Discard(GstElement* const* elements, size_t count);

// Sets the pipeline's state; false, with a reason, when the change failed at once.
bool SetState(GstElement* pipeline, GstState state, std::string& reason);

// Links two elements; false, with a reason naming both, when they do not fit.
bool Link(GstElement* from, GstElement* to, std::string& reason);

// An error message of the bus as one line that names the element it came from:
// "cannot convert the audio: flacdec: ...".
std::string ErrorText(GstMessage* message);

// Takes an error off the pipeline's bus when there is one: true with its text.
bool PopError(GstElement* pipeline, std::string& reason);

// Waits for the bus to say done (async-done or EOS), or an error, within the deadline.
bool WaitFor(GstElement* pipeline, GstMessageType done, Clock::time_point deadline, std::string& reason);

// The caps of interleaved float samples at 44.1 kHz.
CapsHolder RawCaps(int channels);

}  // namespace ruvo::audio::gst
