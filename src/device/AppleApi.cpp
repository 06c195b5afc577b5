// AppleApi: finding the support directory, the registration test and loading the three libraries.
#include "AppleApi.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

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

template <typename Entry>
void Resolve(const DynamicLibrary& library, const char* name, Entry& entry) {
    entry = reinterpret_cast<Entry>(library.Symbol(name));
}

}  // namespace

std::string SupportDirectory() {
    if (const char* dir = std::getenv("RUVO_SUPPORT_DIR"); dir && *dir) return dir;
    return (fs::path(ProgramDirectory()) / "support").string();
}

bool IsItunesInstalled() {
    const fs::path dir = SupportDirectory();
    std::ifstream registration(dir / kRegistrationFile);
    if (!registration) return false;
    std::string line;
    std::getline(registration, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (line.empty()) return false;
    fs::path named = line;
    if (named.is_relative()) named = dir / named;
    // The named file must hold at least one byte, as an installed package's file does.
    std::ifstream file(named, std::ios::binary);
    char byte = 0;
    return file && file.read(&byte, 1) && file.gcount() == 1;
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
