// DeviceLinkFunctions: free functions on GetDeviceLink(-1).
#include "DeviceLinkFunctions.h"

#include <algorithm>
#include <cstring>

#include "DeviceManager.h"
#include "TextEncoding.h"

using namespace apple;

namespace {

void CopyValue(std::u16string (DeviceLink::*value)(), char* buffer) {
    DeviceLink* link = GetDeviceLink(-1);
    if (!link || !link->IsReady()) return;
    const std::u16string text = (link->*value)();
    if (text.empty()) return;
    const std::string ansi = TextToAnsi(text);
    std::memset(buffer, 0, kDeviceValueBufferSize);
    // One byte stays zero, so the buffer always holds a terminated text.
    std::memcpy(buffer, ansi.data(), std::min<size_t>(ansi.size(), kDeviceValueBufferSize - 1));
}

}  // namespace

void CopyProductType(char buffer[kDeviceValueBufferSize]) { CopyValue(&DeviceLink::ProductType, buffer); }
void CopyProductVersion(char buffer[kDeviceValueBufferSize]) { CopyValue(&DeviceLink::ProductVersion, buffer); }
void CopyBasebandVersion(char buffer[kDeviceValueBufferSize]) { CopyValue(&DeviceLink::BasebandVersion, buffer); }

int ReadDeviceFile(const char* path, char* buffer, int capacity) {
    DeviceLink* link = GetDeviceLink(-1);
    if (!link || !link->IsReady() || capacity < 0) return 0;
    std::string bytes;
    // Only capacity bytes are fetched: a request file of any size costs one small read.
    if (!link->ReadFile(path, bytes, capacity)) return 0;
    const int copied = static_cast<int>(std::min<size_t>(bytes.size(), static_cast<size_t>(capacity)));
    std::memcpy(buffer, bytes.data(), static_cast<size_t>(copied));
    std::memset(bytes.data(), 0, bytes.size());
    return copied;
}

int WriteDeviceFile(const char* path, const char* data, int length) {
    DeviceLink* link = GetDeviceLink(-1);
    if (!link || !link->IsReady()) return 0;
    return link->WriteFile(path, data, length);
}

std::unique_ptr<CJson> FindInstalledApp(const std::u16string& category, const char* bundleId) {
    DeviceLink* link = GetDeviceLink(-1);
    if (!link || !bundleId) return nullptr;
    return link->FindInstalledApp(category, Utf8OrAnsiToText(bundleId));
}
