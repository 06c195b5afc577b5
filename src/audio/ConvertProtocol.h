// ConvertProtocol: how a program and its conversion helper (ruvo-convert) talk. The helper is
// started as
//     ruvo-convert MODE NAME FROM SECONDS TITLE
// with the source on descriptor 3 (a regular file, read from its start), the output on 4 (an
// empty memory file, for the modes that convert) and its report on 5: lines of "KEY VALUE",
// ended by "done". Everything else on the report, or no "done", is a failed conversion.
#pragma once

#include <string_view>

namespace ruvo::audio::protocol {

inline constexpr const char* kHelperName = "ruvo-convert";

inline constexpr int kSourceFd = 3;
inline constexpr int kOutputFd = 4;
inline constexpr int kReportFd = 5;

// Modes: what a source is (probe), what goes to the phone for it (prepare: a ringtone already,
// or converted into the output), a conversion whatever it is (convert), its length (duration).
inline constexpr std::string_view kProbe = "probe";
inline constexpr std::string_view kPrepare = "prepare";
inline constexpr std::string_view kConvert = "convert";
inline constexpr std::string_view kDuration = "duration";

// Report keys.
inline constexpr std::string_view kProgress = "progress";   // a whole percent, growing
inline constexpr std::string_view kKind = "kind";           // one of the kinds below
inline constexpr std::string_view kSeconds = "seconds";     // the source's length (probe, duration)
inline constexpr std::string_view kTitle = "title";         // the source's title tag, one line
inline constexpr std::string_view kConverted = "converted"; // the ringtone's length; its bytes are in the output
inline constexpr std::string_view kFailed = "failed";       // one line of reason
inline constexpr std::string_view kLog = "log";             // a warning or error GStreamer or GLib logged
inline constexpr std::string_view kDone = "done";

inline constexpr std::string_view kNotAudio = "not-audio";
inline constexpr std::string_view kReadyAac = "ready-aac";
inline constexpr std::string_view kConvertible = "convertible";

// The longest report line, and the whole report: a helper that says more is answering wrongly.
inline constexpr size_t kMaxLine = 4000;
inline constexpr size_t kMaxReport = 256 * 1024;
// The largest ringtone the output may hold (40 s of AAC at 128 kbit/s is about 650 KB).
inline constexpr size_t kMaxOutput = 64 * 1024 * 1024;

// Set in a helper's environment to make it stop answering once it has started decoding, so that
// tests can see what a hanging or killed helper does to its callers.
inline constexpr const char* kStallVariable = "RUVO_CONVERT_TEST_STALL";

}  // namespace ruvo::audio::protocol
