// AudioConverter: the names decided here; everything else handed to ruvo-audio.so, loaded once.
#include "AudioConverter.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "AudioModule.h"
#include "ModulePath.h"

namespace ruvo::audio {

namespace {

struct Loaded {
    const ModuleApi* api = nullptr;
    std::string error;
};

// The module is loaded at the first need and kept until the process ends.
const Loaded& Module() {
    static Loaded loaded;
    static std::once_flag once;
    std::call_once(once, [] {
        const std::string path = ruvo::ModulePath(kModuleName);
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* error = dlerror();
            loaded.error = "cannot load " + path + ": " + (error ? error : "unknown error");
            return;
        }
        using Entry = const ModuleApi* (*)();
        auto entry = reinterpret_cast<Entry>(dlsym(handle, kModuleEntry));
        loaded.api = entry ? entry() : nullptr;
        if (loaded.api == nullptr) loaded.error = path + " has no " + kModuleEntry;
    });
    return loaded;
}

}  // namespace

bool ReadAudioFile(const std::string& path, std::string& bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) {
        errno = EIO;
        return false;
    }
    if (bytes.size() > 0x7FFFFFFF) {
        bytes.clear();
        errno = EFBIG;
        return false;
    }
    return true;
}

std::string NameStem(std::string_view path) {
    const size_t slash = path.find_last_of('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
    return std::string(name);
}

bool IsRingtoneName(std::string_view name) {
    if (name.size() < 4) return false;
    const std::string_view tail = name.substr(name.size() - 4);
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(tail[0]) == '.' && lower(tail[1]) == 'm' && lower(tail[2]) == '4' && lower(tail[3]) == 'r';
}

Probe ProbeAudio(const Request& request) {
    Probe probe;
    if (IsRingtoneName(request.name)) {
        probe.kind = Kind::Ringtone;
        return probe;
    }
    const Loaded& module = Module();
    if (module.api == nullptr) {
        probe.reason = module.error;
        return probe;
    }
    return module.api->probe(request);
}

Result ConvertAudio(const Request& request) {
    const Loaded& module = Module();
    if (module.api == nullptr) {
        Result result;
        result.reason = module.error;
        return result;
    }
    return module.api->convert(request);
}

Prepared PrepareRingtone(const Request& request) {
    Prepared prepared;
    if (IsRingtoneName(request.name)) {
        prepared.outcome = Prepared::Outcome::AsIs;
        return prepared;
    }
    const Probe probe = ProbeAudio(request);
    prepared.seconds = probe.seconds;
    prepared.title = probe.title;
    if (probe.kind == Kind::NotAudio) {
        prepared.outcome = probe.reason.empty() ? Prepared::Outcome::NotAudio : Prepared::Outcome::Failed;
        prepared.reason = probe.reason.empty() ? "not an audio file" : probe.reason;
        return prepared;
    }
    // A short AAC file goes as it is, unless a part of it is asked for.
    if (probe.kind == Kind::ReadyAac && request.fromSeconds <= 0 && request.seconds >= probe.seconds) {
        prepared.outcome = Prepared::Outcome::AsIs;
        return prepared;
    }
    // Without a title of its own the ringtone takes the source's, else the file's name.
    Request converting = request;
    if (converting.title.empty()) converting.title = probe.title.empty() ? NameStem(request.name) : probe.title;
    const Result result = ConvertAudio(converting);
    if (!result.ok) {
        prepared.outcome = Prepared::Outcome::Failed;
        prepared.reason = result.reason;
        return prepared;
    }
    const bool read = ReadAudioFile(result.outputPath, prepared.bytes);
    std::remove(result.outputPath.c_str());
    if (!read || prepared.bytes.empty()) {
        prepared.outcome = Prepared::Outcome::Failed;
        prepared.reason = "cannot read the converted ringtone";
        prepared.bytes.clear();
        return prepared;
    }
    prepared.outcome = Prepared::Outcome::Converted;
    prepared.seconds = result.seconds;
    return prepared;
}

double ReadDuration(const Request& request) {
    const Loaded& module = Module();
    return module.api == nullptr ? -1.0 : module.api->duration(request);
}

}  // namespace ruvo::audio
