// VirtualPhone: a phone that lives in a directory: its values, apps, trust and plug state, and the hub that lists phones.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "UniqueFd.h"

// Layout of a phone directory DIR:
//   DIR/device.plist               the phone's state (XML property list, replaced atomically)
//   DIR/media/                     root of the media area ("com.apple.afc")
//   DIR/containers/<bundle id>/    root of that app's container (house_arrest)
//   DIR/sync-fault                 a fault the next sync session acts out (SyncFault)
//   DIR/sync.lock                  taken by a sync session while it changes the ringtones
// "com.apple.afc2", when offered, is rooted at DIR itself. Nothing a client sends reaches
// outside DIR.
//
// The hub is a directory of symbolic links, one per known phone (named by its unique device
// id, pointing at DIR). The mobile-device library's virtual driver watches the hub and the
// plug state of each phone in it; `ruvo-phone init` registers a phone there.
namespace ruvo::phone {

struct PhoneConfig {
    std::string deviceName = "Ruvo Virtual iPhone";
    std::string productType = "iPhone12,1";
    std::string productVersion = "16.7.2";
    std::string basebandVersion = "5.00.00";
    std::string uniqueDeviceId;  // 40 hex digits; made up by CreatePhone when empty
    bool trusted = true;         // the phone trusts this computer (paired)
    bool offersAfc2 = true;      // the phone offers "com.apple.afc2"
    bool plugged = false;
    std::vector<std::string> systemApps;
    std::vector<std::string> userApps;
    // The "LibraryID" of the last sync request the phone received; nothing before the first.
    std::optional<std::string> lastSyncLibraryId;
};

// The companion app a new phone has when no app is named.
inline constexpr const char* kDefaultCompanionApp = "com.mrz4.ringtone.pid40ch1";

// The system apps every new phone has.
inline const std::vector<std::string> kDefaultSystemApps = {"com.apple.mobilephone", "com.apple.MobileSMS",
                                                            "com.apple.Preferences"};

// Creates DIR (and its media area and app containers with a Documents folder) and writes its
// state; registers it in the hub. Fails when DIR already holds a phone.
bool CreatePhone(const std::string& dir, PhoneConfig config, std::string* error);
// A unique device id as phones have them: 40 hexadecimal digits, or 8 hexadecimal digits, "-"
// and 16 more, in either case. The id names the phone's entry in the hub, so nothing else is
// accepted.
bool IsValidDeviceId(std::string_view id);

// Reads DIR/device.plist; nothing when it is missing, malformed or has no valid device id.
std::optional<PhoneConfig> LoadPhone(const std::string& dir);
// Replaces DIR/device.plist atomically.
bool SavePhone(const std::string& dir, const PhoneConfig& config);

bool SetPlugged(const std::string& dir, bool plugged, std::string* error);
bool SetTrusted(const std::string& dir, bool trusted, std::string* error);
bool SetLastSyncLibraryId(const std::string& dir, const std::string& libraryId, std::string* error);

std::string MediaRoot(const std::string& dir);
// Opens the folder DIR/<components...> to serve as the root of a connection: one component at
// a time beneath DIR, never following a symbolic link, so that whatever a client renames inside
// the phone, a root is always a real folder of the phone. Invalid when it is missing or a link.
UniqueFd OpenPhoneFolder(const std::string& dir, std::initializer_list<std::string_view> components);
std::string ContainerRoot(const std::string& dir, const std::string& bundleId);

// The hub: RUVO_PHONE_HUB when set, else $XDG_STATE_HOME/ruvo/phones, else
// ~/.local/state/ruvo/phones; empty when there is no home to put it in. Folders it creates for
// the hub are private to the user (mode 0700).
std::string HubDirectory();
// Adds DIR (made absolute) to the hub; replaces an older entry of the same device id.
bool RegisterPhone(const std::string& dir, std::string* error);
// The phone directories listed in the hub (entries that no longer hold a phone are skipped).
std::vector<std::string> RegisteredPhones();

}  // namespace ruvo::phone
