// AudioConverter: the names decided here; everything else handed to ruvo-audio.so, loaded once.
#include "AudioConverter.h"

#include <dlfcn.h>

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

}  // namespace ruvo::audio
