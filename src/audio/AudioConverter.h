// AudioConverter: a desktop audio file made into a ringtone (one AAC track in MPEG-4, at most 40 s).
#pragma once

#include <cmath>
#include <functional>
#include <string>
#include <string_view>

namespace ruvo::audio {

// The longest ringtone a phone plays.
inline constexpr double kMaxRingtoneSeconds = 40.0;

enum class Kind {
    Ringtone,     // named .m4r (any case): goes to the phone as it is, whatever its bytes
    ReadyAac,     // MPEG-4 whose only audio track is AAC of at most 40 s: as it is
    Convertible,  // other recognised audio (MP3, Ogg, FLAC, WAV, MP4/M4A): converted
    NotAudio,
};

struct Request {
    // The audio: a file, or bytes in memory when path is empty.
    std::string path;
    std::string_view bytes;
    // The file's name: decides .m4r, and gives type finding its extension.
    std::string name;
    // The excerpt: its first second, and the longest it may be (more than 40 counts as 40).
    double fromSeconds = 0;
    double seconds = kMaxRingtoneSeconds;
    // The output's title tag.
    std::string title;
    // Called about every 200 ms during a conversion with whole percents of the excerpt, 0 first
    // and 100 last; on the converting thread.
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

// What the audio is. Anything not named .m4r is looked at by GStreamer, in a module loaded at
// the first call (the rest of the program never loads GStreamer).
Probe ProbeAudio(const Request& request);

// Converts recognised audio into a ringtone file. Bounded to 60 s (RUVO_CONVERT_TIMEOUT_MS
// shortens the bound, never lengthens it).
Result ConvertAudio(const Request& request);

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
// title, else the name's stem. The temporary file of a conversion is removed before it returns.
Prepared PrepareRingtone(const Request& request);

// Reads a whole file of at most 2 GiB (what a phone's file operations take); false with errno set
// when it cannot.
bool ReadAudioFile(const std::string& path, std::string& bytes);

// A file's name without its folders and its extension: a ringtone's title when nothing better
// is known.
std::string NameStem(std::string_view path);

// Whether the name ends in .m4r, in any case.
bool IsRingtoneName(std::string_view name);

// The whole seconds recorded for audio of this length: rounded up, with a few milliseconds of
// an encoder's padding forgiven (so 10.02 s is 10).
inline int RecordedSeconds(double seconds) {
    if (!(seconds > 0)) return 0;
    return static_cast<int>(std::ceil(seconds - 0.05));
}

}  // namespace ruvo::audio
