// DeviceInfo: one session, four values and the identifier.
#include "DeviceInfo.h"

#include "AppleApi.h"
#include "CopyCFStringUtf8.h"

using namespace apple;

void DeviceInfo::ClearValues() {
    productVersion.reset();
    basebandVersion.reset();
    productType.reset();
    deviceName.reset();
    deviceIdentifier.reset();
}

bool DeviceInfo::ReadValues() {
    ClearValues();
    if (!BeginSession()) return false;
    productVersion = CopyValueText("ProductVersion");
    basebandVersion = CopyValueText("BasebandVersion");
    productType = CopyValueText("ProductType");
    deviceName = CopyValueText("DeviceName");
    if (CFStringRef identifier = AppleApi.AMDeviceCopyDeviceIdentifier(m_device)) {
        deviceIdentifier = CopyCFStringUtf8(identifier);
        AppleApi.CFRelease(identifier);
    }
    EndSession();
    return true;
}

std::optional<std::string> DeviceInfo::CopyValueText(const char* key) {
    if (!m_device || !key) return std::nullopt;
    CFStringRef keyString = AppleApi.CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    if (!keyString) return std::nullopt;
    std::optional<std::string> text;
    if (CFTypeRef value = AppleApi.AMDeviceCopyValue(m_device, nullptr, keyString)) {
        // Only strings are read as texts; anything else counts as no value.
        if (AppleApi.CFGetTypeID(value) == AppleApi.CFStringGetTypeID())
            text = CopyCFStringUtf8(static_cast<CFStringRef>(value));
        AppleApi.CFRelease(value);
    }
    AppleApi.CFRelease(keyString);
    return text;
}
