// DeviceInfo: a device's values (versions, model, name, identifier), read in one session.
#pragma once

#include <optional>
#include <string>

#include "AppleKernelService.h"

class DeviceInfo : public AppleKernelService {
public:
    explicit DeviceInfo(apple::AMDeviceRef device) : AppleKernelService(device) {}

    // Reads every value anew; false when no session could be opened (the device is not
    // trusted, or gone).
    bool ReadValues();
    // The device value of that key in UTF-8, nothing when the device has none.
    std::optional<std::string> CopyValueText(const char* key);
    void ClearValues();

    // UTF-8 texts; nothing when not read.
    std::optional<std::string> productVersion;
    std::optional<std::string> basebandVersion;
    std::optional<std::string> productType;
    std::optional<std::string> deviceName;
    std::optional<std::string> deviceIdentifier;
};
