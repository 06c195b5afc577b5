// VirtualPhone: reading and writing a phone directory's state, and the hub of known phones.
#include "VirtualPhone.h"

#include <plist/plist.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <system_error>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "PlistHolder.h"
#include "ReplaceFile.h"

namespace fs = std::filesystem;

namespace ruvo::phone {
namespace {

constexpr const char* kStateFile = "device.plist";
// A state file is a few hundred bytes; anything far larger is not ours.
constexpr std::uintmax_t kMaxStateFileSize = 1 << 20;
constexpr const char* kLastSyncLibraryKey = "LastSyncLibraryID";

void SetError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

std::string StringItem(plist_t dict, const char* key, const std::string& fallback) {
    return PlistString(plist_dict_get_item(dict, key)).value_or(fallback);
}

bool BoolItem(plist_t dict, const char* key, bool fallback) {
    plist_t item = plist_dict_get_item(dict, key);
    if (!item || plist_get_node_type(item) != PLIST_BOOLEAN) return fallback;
    uint8_t value = 0;
    plist_get_bool_val(item, &value);
    return value != 0;
}

std::vector<std::string> StringArray(plist_t array) {
    std::vector<std::string> result;
    if (!array || plist_get_node_type(array) != PLIST_ARRAY) return result;
    for (uint32_t i = 0; i < plist_array_get_size(array); ++i) {
        const auto value = PlistString(plist_array_get_item(array, i));
        if (value && !value->empty()) result.push_back(*value);
    }
    return result;
}

plist_t NewStringArray(const std::vector<std::string>& items) {
    plist_t array = plist_new_array();
    for (const auto& item : items) plist_array_append_item(array, plist_new_string(item.c_str()));
    return array;
}

std::string NewDeviceId() {
    std::random_device random;
    static const char digits[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 40; ++i) id.push_back(digits[random() % 16]);
    return id;
}

// A bundle identifier names a folder under containers/: it must be one plain name.
bool IsSafeBundleId(const std::string& id) {
    if (id.empty() || id == "." || id == ".." || id.size() > 255) return false;
    for (char c : id)
        if (c == '/' || c == '\0') return false;
    return true;
}

}  // namespace

bool IsValidDeviceId(std::string_view id) {
    const auto hex = [](std::string_view part) {
        return std::all_of(part.begin(), part.end(),
                           [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
    };
    if (id.size() == 40) return hex(id);
    return id.size() == 25 && id[8] == '-' && hex(id.substr(0, 8)) && hex(id.substr(9));
}

UniqueFd OpenPhoneFolder(const std::string& dir, std::initializer_list<std::string_view> components) {
    UniqueFd folder(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (std::string_view component : components) {
        if (!folder.Valid()) break;
        const std::string name(component);
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return UniqueFd();
        folder = UniqueFd(::openat(folder.Get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return folder;
}

std::string MediaRoot(const std::string& dir) { return (fs::path(dir) / "media").string(); }

std::string ContainerRoot(const std::string& dir, const std::string& bundleId) {
    return (fs::path(dir) / "containers" / bundleId).string();
}

std::optional<PhoneConfig> LoadPhone(const std::string& dir) {
    std::error_code ec;
    fs::path file = fs::path(dir) / kStateFile;
    auto size = fs::file_size(file, ec);
    if (ec || size == 0 || size > kMaxStateFileSize) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    plist_t raw = nullptr;
    plist_from_memory(text.data(), static_cast<uint32_t>(text.size()), &raw);
    PlistHolder root(raw);
    if (!raw || plist_get_node_type(raw) != PLIST_DICT) return std::nullopt;

    PhoneConfig config;
    config.deviceName = StringItem(raw, "DeviceName", config.deviceName);
    config.productType = StringItem(raw, "ProductType", config.productType);
    config.productVersion = StringItem(raw, "ProductVersion", config.productVersion);
    config.basebandVersion = StringItem(raw, "BasebandVersion", config.basebandVersion);
    config.uniqueDeviceId = StringItem(raw, "UniqueDeviceID", "");
    if (!IsValidDeviceId(config.uniqueDeviceId)) return std::nullopt;
    config.trusted = BoolItem(raw, "Trusted", true);
    config.offersAfc2 = BoolItem(raw, "OffersAfc2", true);
    config.plugged = BoolItem(raw, "Plugged", false);
    plist_t apps = plist_dict_get_item(raw, "Applications");
    if (apps && plist_get_node_type(apps) == PLIST_DICT) {
        config.systemApps = StringArray(plist_dict_get_item(apps, "System"));
        config.userApps = StringArray(plist_dict_get_item(apps, "User"));
    }
    config.lastSyncLibraryId = PlistString(plist_dict_get_item(raw, kLastSyncLibraryKey));
    return config;
}

bool SavePhone(const std::string& dir, const PhoneConfig& config) {
    PlistHolder root(plist_new_dict());
    plist_t dict = root.get();
    plist_dict_set_item(dict, "DeviceName", plist_new_string(config.deviceName.c_str()));
    plist_dict_set_item(dict, "ProductType", plist_new_string(config.productType.c_str()));
    plist_dict_set_item(dict, "ProductVersion", plist_new_string(config.productVersion.c_str()));
    plist_dict_set_item(dict, "BasebandVersion", plist_new_string(config.basebandVersion.c_str()));
    plist_dict_set_item(dict, "UniqueDeviceID", plist_new_string(config.uniqueDeviceId.c_str()));
    plist_dict_set_item(dict, "Trusted", plist_new_bool(config.trusted));
    plist_dict_set_item(dict, "OffersAfc2", plist_new_bool(config.offersAfc2));
    plist_dict_set_item(dict, "Plugged", plist_new_bool(config.plugged));
    plist_t apps = plist_new_dict();
    plist_dict_set_item(apps, "System", NewStringArray(config.systemApps));
    plist_dict_set_item(apps, "User", NewStringArray(config.userApps));
    plist_dict_set_item(dict, "Applications", apps);
    if (config.lastSyncLibraryId)
        plist_dict_set_item(dict, kLastSyncLibraryKey, plist_new_string(config.lastSyncLibraryId->c_str()));

    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(dict, &xml, &length);
    if (!xml) return false;
    std::string text(xml, length);
    plist_to_xml_free(xml);
    return ReplaceFileAt(AT_FDCWD, (fs::path(dir) / kStateFile).string(), text);
}

bool CreatePhone(const std::string& dir, PhoneConfig config, std::string* error) {
    std::error_code ec;
    if (fs::exists(fs::path(dir) / kStateFile, ec)) {
        SetError(error, dir + " already holds a phone");
        return false;
    }
    for (const auto& id : config.userApps) {
        if (!IsSafeBundleId(id)) {
            SetError(error, "not a bundle identifier: " + id);
            return false;
        }
    }
    for (const auto& id : config.systemApps) {
        if (!IsSafeBundleId(id)) {
            SetError(error, "not a bundle identifier: " + id);
            return false;
        }
    }
    if (config.uniqueDeviceId.empty()) config.uniqueDeviceId = NewDeviceId();
    if (!IsValidDeviceId(config.uniqueDeviceId)) {
        SetError(error, "not a unique device id: " + config.uniqueDeviceId);
        return false;
    }

    fs::create_directories(fs::path(dir) / "media" / "iTunes_Control" / "iTunes", ec);
    if (!ec) fs::create_directories(fs::path(dir) / "media" / "iTunes_Control" / "Ringtones", ec);
    for (const auto& id : config.userApps) {
        if (!ec) fs::create_directories(fs::path(ContainerRoot(dir, id)) / "Documents", ec);
    }
    if (ec) {
        SetError(error, "cannot create " + dir + ": " + ec.message());
        return false;
    }
    if (!SavePhone(dir, config)) {
        SetError(error, "cannot write " + (fs::path(dir) / kStateFile).string() + ": " + std::strerror(errno));
        return false;
    }
    return RegisterPhone(dir, error);
}

namespace {

// Holds the phone's update lock (an advisory lock on its folder) while it lives, so that two
// commands changing the same phone at once take turns instead of losing one change.
class UpdateLock {
public:
    explicit UpdateLock(const std::string& dir) : m_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        while (m_fd.Valid() && ::flock(m_fd.Get(), LOCK_EX) != 0 && errno == EINTR) {}
    }
    bool Held() const { return m_fd.Valid(); }

private:
    UniqueFd m_fd;  // closing it releases the lock
};

bool Update(const std::string& dir, std::string* error, const std::function<void(PhoneConfig&)>& change) {
    UpdateLock lock(dir);
    if (!lock.Held()) {
        SetError(error, dir + " holds no phone");
        return false;
    }
    auto config = LoadPhone(dir);
    if (!config) {
        SetError(error, dir + " holds no phone");
        return false;
    }
    change(*config);
    if (!SavePhone(dir, *config)) {
        SetError(error, "cannot write the state of " + dir);
        return false;
    }
    return true;
}

}  // namespace

bool SetPlugged(const std::string& dir, bool plugged, std::string* error) {
    // A phone that is plugged in must be one the driver can find.
    if (plugged && !RegisterPhone(dir, error)) return false;
    return Update(dir, error, [plugged](PhoneConfig& c) { c.plugged = plugged; });
}

bool SetTrusted(const std::string& dir, bool trusted, std::string* error) {
    return Update(dir, error, [trusted](PhoneConfig& c) { c.trusted = trusted; });
}

bool SetLastSyncLibraryId(const std::string& dir, const std::string& libraryId, std::string* error) {
    return Update(dir, error, [&libraryId](PhoneConfig& c) { c.lastSyncLibraryId = libraryId; });
}

std::string HubDirectory() {
    if (const char* hub = std::getenv("RUVO_PHONE_HUB"); hub && *hub) return hub;
    fs::path base;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* user = ::getpwuid(::getuid());
            home = user ? user->pw_dir : nullptr;
        }
        // No home at all: there is no private place for a hub, and a shared one (under /tmp,
        // say) would let another user list phones of theirs to us.
        if (!home || !*home) return std::string();
        base = fs::path(home) / ".local" / "state";
    }
    return (base / "ruvo" / "phones").string();
}

namespace {

// Creates the hub and any missing folder above it, each one private to the user.
bool MakePrivateDirectories(const fs::path& path, std::error_code& ec) {
    fs::path partial;
    for (const auto& component : path) {
        partial /= component;
        if (::mkdir(partial.c_str(), 0700) == 0 || errno == EEXIST) continue;
        ec = std::error_code(errno, std::generic_category());
        return false;
    }
    if (!fs::is_directory(path, ec)) {
        if (!ec) ec = std::make_error_code(std::errc::not_a_directory);
        return false;
    }
    return true;
}

}  // namespace

bool RegisterPhone(const std::string& dir, std::string* error) {
    auto config = LoadPhone(dir);
    if (!config) {
        SetError(error, dir + " holds no phone");
        return false;
    }
    std::error_code ec;
    fs::path absolute = fs::absolute(dir, ec);
    if (ec) {
        SetError(error, "cannot resolve " + dir);
        return false;
    }
    absolute = absolute.lexically_normal();
    fs::path hub = HubDirectory();
    if (hub.empty()) {
        SetError(error, "no phone hub: set RUVO_PHONE_HUB or HOME");
        return false;
    }
    if (!MakePrivateDirectories(hub, ec)) {
        SetError(error, "cannot create the phone hub " + hub.string() + ": " + ec.message());
        return false;
    }
    fs::path link = hub / config->uniqueDeviceId;
    std::error_code readError;
    if (fs::read_symlink(link, readError) == absolute) return true;
    // Replace the entry atomically: a watcher never sees the phone missing.
    fs::path temp = hub / ("." + config->uniqueDeviceId + ".tmp" + std::to_string(getpid()));
    fs::remove(temp, ec);
    fs::create_directory_symlink(absolute, temp, ec);
    if (!ec) fs::rename(temp, link, ec);
    if (ec) {
        fs::remove(temp, readError);
        SetError(error, "cannot register " + dir + " in " + hub.string() + ": " + ec.message());
        return false;
    }
    return true;
}

std::vector<std::string> RegisteredPhones() {
    std::vector<std::string> phones;
    std::error_code ec;
    const std::string hub = HubDirectory();
    if (hub.empty()) return phones;
    fs::directory_iterator it(hub, ec);
    if (ec) return phones;
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        if (!IsValidDeviceId(name)) continue;
        std::error_code linkError;
        fs::path target = fs::read_symlink(entry.path(), linkError);
        if (linkError) continue;
        if (!fs::exists(target / kStateFile, linkError)) continue;
        phones.push_back(target.string());
    }
    return phones;
}

}  // namespace ruvo::phone
