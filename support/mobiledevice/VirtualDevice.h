// VirtualDevice: one attachment of a virtual phone, as the mobile-device library's driver reports it.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DeviceDriver.h"
#include "PhoneServices.h"
#include "VirtualPhone.h"

namespace ruvo::md {

// Everything but presence is read from the phone's folder on each call, so `ruvo-phone trust`
// or an edited device.plist shows at once. Services are the phone side's (PhoneServices).
class VirtualDevice final : public DeviceBackend {
public:
    VirtualDevice(std::string uniqueId, std::string dir);

    const std::string& UniqueId() const override { return m_uniqueId; }
    const std::string& Directory() const { return m_dir; }
    bool IsPresent() const override { return m_present.load(); }

    bool IsPaired() override;
    std::optional<std::string> Value(std::string_view key) override;
    std::optional<std::vector<AppRecord>> Applications() override;
    ServiceStart StartService(std::string_view name) override;

    // The cable was pulled: calls fail from now on and open service connections end.
    void Unplug();
    // Unplugs and waits until no connection of this attachment is served any more.
    void StopServices();
    // Whether a connection of this attachment is still being served.
    bool ServesConnections();

private:
    std::optional<phone::PhoneConfig> LoadIfPresent() const;

    const std::string m_uniqueId;
    const std::string m_dir;
    std::atomic<bool> m_present{true};
    phone::PhoneServices m_services;
};

}  // namespace ruvo::md
