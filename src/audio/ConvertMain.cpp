// ruvo-convert: the conversion helper. Started for one file by a program that converts, it
// confines itself, loads GStreamer (ruvo-audio.so) and answers one question about its source on
// its report descriptor; see ConvertProtocol.h.
#include <dlfcn.h>
#include <glib.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "AudioConverter.h"
#include "AudioModule.h"
#include "Confinement.h"
#include "ConvertProtocol.h"
#include "ModulePath.h"

namespace {

using namespace ruvo::audio;
namespace proto = ruvo::audio::protocol;

// One report line, written whole: a line is shorter than a pipe's atomic write, so lines from
// GStreamer's threads (its log) never interleave with the main thread's.
void Say(std::string_view key, std::string_view value = {}) {
    std::string line(key);
    if (!value.empty()) {
        line += ' ';
        line.append(value.substr(0, proto::kMaxLine - line.size() - 1));
    }
    for (size_t i = key.size(); i < line.size(); ++i)
        if (static_cast<unsigned char>(line[i]) < 0x20) line[i] = ' ';
    line += '\n';
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = write(proto::kReportFd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(3);  // the caller is gone
        done += static_cast<size_t>(n);
    }
}

std::string Number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

[[noreturn]] void End(int status) {
    // Without destructors or exit handlers: GStreamer's threads may still be winding down.
    _exit(status);
}

[[noreturn]] void Fail(const std::string& reason) {
    Say(proto::kFailed, reason);
    Say(proto::kDone);
    End(0);
}

// GLib's and GStreamer's warnings and errors go to the caller, who names the last one when the
// helper dies of it (an allocation that failed under the memory bound).
GLogWriterOutput WriteLog(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
    if ((level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) == 0) return G_LOG_WRITER_HANDLED;
    for (gsize i = 0; i < count; ++i) {
        if (std::strcmp(fields[i].key, "MESSAGE") != 0 || fields[i].value == nullptr) continue;
        const auto* text = static_cast<const char*>(fields[i].value);
        Say(proto::kLog, fields[i].length < 0 ? std::string_view(text) : std::string_view(text, static_cast<size_t>(fields[i].length)));
    }
    return G_LOG_WRITER_HANDLED;
}

bool ParseNumber(const char* text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0;
}

const ModuleApi* LoadModule() {
    const std::string path = ruvo::ModulePath(kModuleName);
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = dlerror();
        Fail("cannot load " + path + ": " + (error ? error : "unknown error"));
    }
    using Entry = const ModuleApi* (*)();
    auto entry = reinterpret_cast<Entry>(dlsym(handle, kModuleEntry));
    const ModuleApi* api = entry ? entry() : nullptr;
    if (api == nullptr) Fail(path + " has no " + kModuleEntry);
    return api;
}

void SayProbe(const Probe& probe) {
    if (probe.seconds > 0) Say(proto::kSeconds, Number(probe.seconds));
    if (!probe.title.empty()) Say(proto::kTitle, CleanTitle(probe.title));
}

[[noreturn]] void Convert(const ModuleApi& api, Request request) {
    const Result result = api.convert(request, proto::kOutputFd);
    if (!result.ok) Fail(result.reason);
    Say(proto::kConverted, Number(result.seconds));
    Say(proto::kDone);
    End(0);
}

}  // namespace

int main(int argc, char** argv) {
    struct stat report {};
    if (fstat(proto::kReportFd, &report) != 0 || !S_ISFIFO(report.st_mode)) {
        std::fputs("ruvo-convert: this helper is started by Ruvo's programs, not by hand\n", stderr);
        return 2;
    }
    if (argc != 6) Fail("the converter was started wrongly");
    const std::string_view mode = argv[1];
    Request request;
    request.name = argv[2];
    if (!ParseNumber(argv[3], request.fromSeconds) || !ParseNumber(argv[4], request.seconds))
        Fail("the converter was started wrongly");
    request.title = argv[5];
    // The source as GStreamer opens it: the descriptor's own file, whatever its name was.
    request.path = "/proc/self/fd/" + std::to_string(proto::kSourceFd);
    struct stat source {};
    if (fstat(proto::kSourceFd, &source) != 0) Fail("cannot read the audio");
    if (!S_ISREG(source.st_mode)) Fail(kNotRegularFile);

    // Before any thread: few malloc arenas, each of which reserves 64 MiB of the address space.
    mallopt(M_ARENA_MAX, 2);
    // The plugin registry is scanned in this process when it must be: the filter refuses the
    // scanner program that GStreamer would start.
    setenv("GST_REGISTRY_FORK", "no", 1);
    g_log_set_writer_func(&WriteLog, nullptr, nullptr);
    std::string reason;
    if (!ConfineHelper(ConvertBound(), reason)) Fail(reason);
    const ModuleApi& api = *LoadModule();

    if (std::getenv(proto::kStallVariable) != nullptr) {
        // For tests: decoding has started, and the helper answers no more.
        request.progress = [](int percent) {
            Say(proto::kProgress, std::to_string(percent));
            for (;;) pause();
        };
    } else {
        request.progress = [](int percent) { Say(proto::kProgress, std::to_string(percent)); };
    }

    if (mode == proto::kDuration) {
        const double seconds = api.duration(request);
        if (!(seconds > 0)) Fail("cannot read the duration");
        Say(proto::kSeconds, Number(seconds));
        Say(proto::kDone);
        End(0);
    }
    if (mode == proto::kConvert) Convert(api, request);
    if (mode != proto::kProbe && mode != proto::kPrepare) Fail("the converter was started wrongly");

    const Probe probe = api.probe(request);
    SayProbe(probe);
    if (probe.kind == Kind::NotAudio) {
        if (!probe.reason.empty()) Fail(probe.reason);
        Say(proto::kKind, proto::kNotAudio);
        Say(proto::kDone);
        End(0);
    }
    const bool ready = probe.kind == Kind::ReadyAac;
    Say(proto::kKind, ready ? proto::kReadyAac : proto::kConvertible);
    // A short AAC file goes as it is, unless a part of it is asked for.
    if (mode == proto::kProbe || (ready && request.fromSeconds <= 0 && request.seconds >= probe.seconds)) {
        Say(proto::kDone);
        End(0);
    }
    // Without a title of its own the ringtone takes the source's, else the file's name.
    if (request.title.empty()) request.title = probe.title.empty() ? TitleFromName(request.name) : CleanTitle(probe.title);
    Convert(api, request);
}
