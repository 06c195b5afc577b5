// AudioConverter: the names and titles decided here; what the audio is and its conversion asked
// of the helper process.
#include "AudioConverter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ConvertProtocol.h"
#include "ConverterProcess.h"
#include "UniqueFd.h"

namespace ruvo::audio {

namespace proto = protocol;

namespace {
constexpr off_t kMaxFileBytes = 0x7FFFFFFF;
}  // namespace

bool ReadAudioFile(const std::string& path, std::string& bytes) {
    bytes.clear();
    UniqueFd fd(OpenRegularFile(path));
    if (!fd.Valid()) return false;
    struct stat facts {};
    if (fstat(fd.Get(), &facts) != 0) return false;
    if (facts.st_size > kMaxFileBytes) {
        errno = EFBIG;
        return false;
    }
    // The size it says is read in place; whatever it grew by meanwhile is read after it.
    bytes.resize(static_cast<size_t>(facts.st_size));
    size_t done = 0;
    char more[65536];
    for (;;) {
        const bool inPlace = done < bytes.size();
        const ssize_t n = inPlace ? read(fd.Get(), bytes.data() + done, bytes.size() - done) : read(fd.Get(), more, sizeof more);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            bytes.clear();
            errno = error;
            return false;
        }
        if (n == 0) break;
        if (!inPlace) {
            if (done + static_cast<size_t>(n) > static_cast<size_t>(kMaxFileBytes)) {
                bytes.clear();
                errno = EFBIG;
                return false;
            }
            bytes.append(more, static_cast<size_t>(n));
        }
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
    return true;
}

Probe ProbeAudio(const Request& request) {
    Probe probe;
    if (IsRingtoneName(request.name)) {
        probe.kind = Kind::Ringtone;
        return probe;
    }
    const HelperAnswer answer = RunConverter(proto::kProbe, request);
    probe.seconds = answer.seconds;
    probe.title = answer.title;
    if (!answer.ok) {
        probe.reason = answer.reason;
        return probe;
    }
    probe.kind = answer.kind == proto::kReadyAac     ? Kind::ReadyAac
                 : answer.kind == proto::kConvertible ? Kind::Convertible
                                                      : Kind::NotAudio;
    return probe;
}

Result ConvertAudio(const Request& request) {
    Result result;
    HelperAnswer answer = RunConverter(proto::kConvert, request);
    if (!answer.ok || !answer.converted) {
        result.reason = answer.ok ? "the converter made no ringtone" : answer.reason;
        return result;
    }
    // The caller asked for a file: a private one, which it removes.
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder && *folder ? folder : "/tmp") + "/ruvo-ringtone-XXXXXX";
    UniqueFd fd(mkstemp(path.data()));
    if (!fd.Valid()) {
        result.reason = "cannot write the ringtone";
        return result;
    }
    size_t done = 0;
    while (done < answer.output.size()) {
        const ssize_t n = write(fd.Get(), answer.output.data() + done, answer.output.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (done != answer.output.size() || !fd.Close()) {
        unlink(path.c_str());
        result.reason = "cannot write the ringtone";
        return result;
    }
    result.ok = true;
    result.outputPath = path;
    result.seconds = answer.convertedSeconds;
    return result;
}

Prepared PrepareRingtone(const Request& request) {
    Prepared prepared;
    if (IsRingtoneName(request.name)) {
        prepared.outcome = Prepared::Outcome::AsIs;
        return prepared;
    }
    HelperAnswer answer = RunConverter(proto::kPrepare, request);
    prepared.seconds = answer.seconds;
    prepared.title = answer.title;
    // A file that is not there is no audio; one that is there but is no regular file is refused.
    if (!answer.ok && !request.path.empty() && access(request.path.c_str(), F_OK) != 0) {
        prepared.outcome = Prepared::Outcome::NotAudio;
        prepared.reason = "not an audio file";
        return prepared;
    }
    if (!answer.ok) {
        prepared.outcome = Prepared::Outcome::Failed;
        prepared.reason = answer.reason;
        return prepared;
    }
    if (answer.kind == proto::kNotAudio) {
        prepared.outcome = Prepared::Outcome::NotAudio;
        prepared.reason = "not an audio file";
        return prepared;
    }
    if (!answer.converted) {
        prepared.outcome = Prepared::Outcome::AsIs;
        return prepared;
    }
    prepared.outcome = Prepared::Outcome::Converted;
    prepared.bytes = std::move(answer.output);
    prepared.seconds = answer.convertedSeconds;
    return prepared;
}

double ReadDuration(const Request& request) {
    const HelperAnswer answer = RunConverter(proto::kDuration, request);
    return answer.ok && answer.seconds > 0 ? answer.seconds : -1.0;
}

}  // namespace ruvo::audio
