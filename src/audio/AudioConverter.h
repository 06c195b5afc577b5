// AudioConverter: a desktop audio file made into a ringtone (one AAC track in MPEG-4, at most 40 s).
#pragma once

#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <string_view>

namespace ruvo::audio {

// The longest ringtone a phone plays.
inline constexpr double kMaxRingtoneSeconds = 40.0;

// Audio a phone plays: sample rates and channels outside these are refused before decoding.
inline constexpr int kLowestRate = 8000;
inline constexpr int kHighestRate = 192000;
inline constexpr int kMostChannels = 8;

// The longest title taken from a tag or a file's name, in characters.
inline constexpr size_t kMaxTitleCharacters = 255;

// The reason given for a conversion that passed its bound.
inline constexpr char kTooLong[] = "the conversion took too long";

// The reason given for a source that is not a regular file (a FIFO, a device, a directory).
inline constexpr char kNotRegularFile[] = "not a regular file";

enum class Kind {
    Ringtone,     // named .m4r (any case): goes to the phone as it is, whatever its bytes
    ReadyAac,     // MPEG-4 whose only audio track is AAC of at most 40 s: as it is
    Convertible,  // other recognised audio (MP3, Ogg, FLAC, WAV, MP4/M4A): converted
    NotAudio,
};

// Conversions run in a helper process of their own (ruvo-convert, found beside the modules),
// confined and bounded: whatever happens to it, the caller gets a failure with one line of reason.
struct Request {
    // The audio: a file (a regular one: anything else is refused without being opened for
    // reading), or bytes in memory when path is empty.
    std::string path;
    std::string_view bytes;
    // The file's name: decides .m4r, and gives type finding its extension.
    std::string name;
    // The excerpt: its first second, and the longest it may be (more than 40 counts as 40).
    double fromSeconds = 0;
    double seconds = kMaxRingtoneSeconds;
    // The output's title tag.
    std::string title;
    // Called as a conversion goes on with whole percents, growing, 0 first and 100 last; on the
    // calling thread.
    std::function<void(int percent)> progress;
};

struct Probe {
    Kind kind = Kind::NotAudio;
    std::string reason;      // one line, when the file could not be read as audio
    double seconds = 0;      // the source's length, when known
    std::string title;       // the source's title tag, when it has one
};

struct Result {
    bool ok = false;
    std::string reason;      // one line when not ok (unreadable, not audio, no audio track, a
                             // missing plugin, the time bound)
    std::string outputPath;  // a private temporary file; the caller removes it
    double seconds = 0;      // the excerpt's length
};

// What the audio is. Anything not named .m4r is looked at by GStreamer, in the helper process
// (the calling program never loads GStreamer).
Probe ProbeAudio(const Request& request);

// Converts recognised audio into a ringtone file. Bounded to 60 s (RUVO_CONVERT_TIMEOUT_MS
// shortens the bound, never lengthens it).
Result ConvertAudio(const Request& request);

// The bound of one helper run: 60 s, or RUVO_CONVERT_TIMEOUT_MS when that is shorter.
std::chrono::milliseconds ConvertBound();

// The audio's length in seconds as GStreamer reads it, also for a name ending in .m4r;
// negative when it cannot be read.
double ReadDuration(const Request& request);

// What goes to the phone for a piece of audio.
struct Prepared {
    enum class Outcome {
        AsIs,       // a ringtone already (named .m4r, or short AAC in MPEG-4 when the whole is asked):
                    // the request's own bytes go
        Converted,  // bytes holds the ringtone made of it
        NotAudio,   // no recognised audio format
        Failed,     // recognised, but it could not be read or converted: reason says why
    };
    Outcome outcome = Outcome::NotAudio;
    std::string bytes;
    std::string reason;
    double seconds = 0;  // the ringtone's length, when known (0 for a .m4r, which is not read)
    std::string title;   // the source's title tag, when it has one
};

// Decides what the audio is and converts it when it is not a ringtone yet, with the request's
// excerpt and progress; without a title in the request, the ringtone is tagged with the source's
// title, else the name's stem (both made clean titles). One helper run; the ringtone made is
// never a file with a name.
Prepared PrepareRingtone(const Request& request);

// Opens a file for reading without blocking on a FIFO or a device: a descriptor (blocking again)
// only for a regular file; -1 with errno set otherwise (EINVAL when it is no regular file).
int OpenRegularFile(const std::string& path);

// Reads a whole regular file of at most 2 GiB (what a phone's file operations take), without
// blocking on a FIFO or a device; false with errno set when it cannot (EINVAL: not a regular file).
bool ReadAudioFile(const std::string& path, std::string& bytes);

// A file's name without its folders and its extension: a ringtone's title when nothing better
// is known.
std::string NameStem(std::string_view path);

// A title taken from a tag or a file's name as a phone's catalogue keeps it: control characters
// become spaces, and at most 255 characters are kept, never cutting one in two.
std::string CleanTitle(std::string_view text);

// CleanTitle of the name's stem.
std::string TitleFromName(std::string_view path);

// Whether the name ends in .m4r, in any case.
bool IsRingtoneName(std::string_view name);

// The whole seconds recorded for audio of this length: rounded up, with a few milliseconds of
// an encoder's padding forgiven (so 10.02 s is 10).
inline int RecordedSeconds(double seconds) {
    if (!(seconds > 0)) return 0;
    return static_cast<int>(std::ceil(seconds - 0.05));
}

}  // namespace ruvo::audio
