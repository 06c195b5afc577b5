// VirtualDevice: a virtual phone's values, apps, trust and services, read from its folder on each call.
#include "VirtualDevice.h"

#include <cctype>
#include <utility>

namespace ruvo::md {
namespace {

ServiceError ToServiceError(phone::StartError error) {
    switch (error) {
    case phone::StartError::None: return ServiceError::None;
    case phone::StartError::NotFound: return ServiceError::NotFound;
    case phone::StartError::NotPaired: return ServiceError::NotPaired;
    case phone::StartError::Gone: return ServiceError::Gone;
    case phone::StartError::Busy: return ServiceError::Busy;
    case phone::StartError::Socket: return ServiceError::Socket;
    }
    return ServiceError::Socket;
}

}  // namespace

VirtualDevice::VirtualDevice(std::string uniqueId, std::string dir)
    : m_uniqueId(std::move(uniqueId)), m_dir(std::move(dir)), m_services(m_dir) {}

bool VirtualDevice::IsPaired() {
    const auto config = LoadIfPresent();
    return config && config->trusted;
}

std::optional<std::string> VirtualDevice::Value(std::string_view key) {
    const auto config = LoadIfPresent();
    if (!config) return std::nullopt;
    if (key == "DeviceName") return config->deviceName;
    if (key == "ProductType") return config->productType;
    if (key == "ProductVersion") return config->productVersion;
    if (key == "BasebandVersion") return config->basebandVersion;
    if (key == "UniqueDeviceID") return config->uniqueDeviceId;
    if (key == "ProductName") return std::string("iPhone OS");
    if (key == "CPUArchitecture") return std::string("arm64");
    if (key == "DeviceClass") {
        // "iPhone12,1" -> "iPhone", "iPad8,1" -> "iPad".
        std::string deviceClass;
        for (char c : config->productType) {
            if (!std::isalpha(static_cast<unsigned char>(c))) break;
            deviceClass += c;
        }
        return deviceClass.empty() ? std::string("iPhone") : deviceClass;
    }
    return std::nullopt;
}

std::optional<std::vector<AppRecord>> VirtualDevice::Applications() {
    const auto config = LoadIfPresent();
    if (!config) return std::nullopt;
    std::vector<AppRecord> apps;
    for (const auto& id : config->systemApps) apps.push_back({id, AppType::System});
    for (const auto& id : config->userApps) apps.push_back({id, AppType::User});
    return apps;
}

ServiceStart VirtualDevice::StartService(std::string_view name) {
    if (!IsPresent()) return {-1, ServiceError::Gone};
    const phone::StartedService started = m_services.Start(name);
    return {started.fd, ToServiceError(started.error)};
}

void VirtualDevice::Unplug() {
    m_present.store(false);
    m_services.Unplug();
}

void VirtualDevice::StopServices() {
    m_present.store(false);
    m_services.Stop();
}

bool VirtualDevice::ServesConnections() { return m_services.ActiveConnections() > 0; }

std::optional<phone::PhoneConfig> VirtualDevice::LoadIfPresent() const {
    if (!IsPresent()) return std::nullopt;
    return phone::LoadPhone(m_dir);
}

}  // namespace ruvo::md
