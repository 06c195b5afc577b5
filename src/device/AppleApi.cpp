// AppleApi: finding the support directory, the registration test and loading the three libraries.
#include "AppleApi.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

#include "DynamicLibrary.h"

namespace fs = std::filesystem;

AppleApiTable AppleApi;

namespace {

// The environment variable that the dynamic loader reads for its search path.
constexpr const char* kSearchPathVariable = "LD_LIBRARY_PATH";

std::string ProgramDirectory() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return ".";
    return self.parent_path().string();
}

// Adds dir to the library search path unless the path already mentions it anywhere. Children
// started later inherit it; this process loads by full path. An empty path gets dir alone, as
// an empty element would mean the current directory.
void AddToSearchPath(const std::string& dir) {
    const char* current = std::getenv(kSearchPathVariable);
    std::string value = current ? current : "";
    if (value.find(dir) != std::string::npos) return;
    value = value.empty() ? dir : value + ":" + dir;
    setenv(kSearchPathVariable, value.c_str(), 1);
}

// The library in the support directory when it is there, else its bare name for the normal
// library search (as when the support package registered no directory).
std::string LibraryPath(const std::string& dir, const char* name) {
    std::error_code ec;
    fs::path candidate = fs::path(dir) / name;
    if (!dir.empty() && fs::exists(candidate, ec)) return candidate.string();
    return name;
}

// The longest first line of the registration file that is read: room for any path.
constexpr size_t kRegistrationLineLimit = 8192;

// Up to limit bytes from the start of a file, and fewer when it is shorter; nothing when it
// cannot be opened or read. The descriptor is close-on-exec (an ifstream's is not), so a
// program started meanwhile by another thread does not inherit it.
std::optional<std::string> ReadFileStart(const fs::path& path, size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string data;
    char buffer[4096];
    bool failed = false;
    while (data.size() < limit) {
        const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, limit - data.size()));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            failed = got < 0;
            break;
        }
        data.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    if (failed) return std::nullopt;
    return data;
}

template <typename Entry>
void Resolve(const DynamicLibrary& library, const char* name, Entry& entry) {
    entry = reinterpret_cast<Entry>(library.Symbol(name));
}

}  // namespace

std::string SupportDirectory() {
    if (const char* dir = std::getenv("RUVO_SUPPORT_DIR"); dir && *dir) return dir;
    // An installed program finds them beside its lib folder; one in the build tree, beside itself.
    const fs::path program = ProgramDirectory();
    const fs::path installed = program.parent_path() / "lib" / "ruvo" / "support";
    std::error_code ec;
    if (fs::is_directory(installed, ec)) return installed.string();
    return (program / "support").string();
}

bool IsItunesInstalled() {
    const fs::path dir = SupportDirectory();
    const auto registration = ReadFileStart(dir / kRegistrationFile, kRegistrationLineLimit);
    if (!registration) return false;
    std::string line = registration->substr(0, registration->find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (line.empty()) return false;
    fs::path named = line;
    if (named.is_relative()) named = dir / named;
    // The named file must hold at least one byte, as an installed package's file does.
    const auto start = ReadFileStart(named, 1);
    return start && start->size() == 1;
}

bool LoadAppleLibraries() {
    const std::string dir = SupportDirectory();
    std::error_code ec;
    if (fs::is_directory(dir, ec)) AddToSearchPath(dir);

    // A DynamicLibrary never unloads: AppleApi points into the libraries for the life of the
    // process, also when a later one fails and the table is left partly filled.
    DynamicLibrary mobileDevice(LibraryPath(dir, kMobileDeviceLibrary));
    if (!mobileDevice.IsLoaded()) return false;
#define RUVO_RESOLVE(name, result, params) Resolve(mobileDevice, #name, AppleApi.name);
    RUVO_MOBILEDEVICE_FUNCTIONS(RUVO_RESOLVE)
#undef RUVO_RESOLVE

    DynamicLibrary airTraffic(LibraryPath(dir, kAirTrafficLibrary));
    if (!airTraffic.IsLoaded()) return false;
#define RUVO_RESOLVE(name, result, params) Resolve(airTraffic, #name, AppleApi.name);
    RUVO_AIRTRAFFIC_FUNCTIONS(RUVO_RESOLVE)
#undef RUVO_RESOLVE

    DynamicLibrary coreFoundation(LibraryPath(dir, kCoreFoundationLibrary));
    if (!coreFoundation.IsLoaded()) return false;
#define RUVO_RESOLVE(name, result, params) Resolve(coreFoundation, #name, AppleApi.name);
    RUVO_COREFOUNDATION_FUNCTIONS(RUVO_RESOLVE)
#undef RUVO_RESOLVE
#define RUVO_RESOLVE_DATA(name, type) Resolve(coreFoundation, #name, AppleApi.name);
    RUVO_COREFOUNDATION_DATA(RUVO_RESOLVE_DATA)
#undef RUVO_RESOLVE_DATA
    return true;
}
