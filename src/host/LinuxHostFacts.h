// LinuxHostFacts: this computer's host facts from sysfs, procfs, os-release, the kernel's network state, the display and the XDG user directories.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "HostFacts.h"

// Keeps only its options after construction, so one object may answer any thread.
class LinuxHostFacts : public HostFacts {
public:
    struct Options {
        // The directory below which /sys, /proc, /etc and /usr are read. Another directory holds
        // a copy of some system's files: then the live network state (IP addresses, Wi-Fi
        // associations) belongs to another system and is not asked.
        std::string root = "/";
        std::string home;        // the user's home directory
        std::string configHome;  // XDG_CONFIG_HOME; empty: home/.config
        std::string display;     // the X display to ask for the screen size; empty: none
    };

    // The options of this process: root "/", HOME (or the password database), XDG_CONFIG_HOME
    // and DISPLAY.
    static Options OptionsFromEnvironment();
    // The facts of this computer, made once from OptionsFromEnvironment.
    static LinuxHostFacts& ThisComputer();

    explicit LinuxHostFacts(Options options);

    // Every interface of /sys/class/net in ifindex order (the kernel's order of creation).
    std::vector<NetworkAdapterFacts> NetworkAdapters() override;
    std::u16string ProcessorName() override;
    int ProcessorCount() override;
    std::u16string OsProductName() override;
    std::u16string OsServicePack() override;
    std::u16string BrowserComponentVersion() override;
    ScreenSize PrimaryScreenSize() override;
    // Also creates the folder when it is missing.
    std::u16string DocumentsFolder() override;

    // The BSSID in one nl80211 scan-result message (netlink header included) when that entry is
    // the access point the interface is associated with (or the ad-hoc network it joined);
    // empty otherwise, and for a message that is cut short or malformed.
    static std::vector<uint8_t> AssociatedBssid(const void* message, size_t length);

private:
    std::string Path(const std::string& absolute) const;
    bool IsLiveSystem() const;

    Options m_options;
};
