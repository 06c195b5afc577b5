// HostDescription: builds the host description from the host facts and keeps the device description of the phone connected last.
#include "HostDescription.h"

#include <cstring>
#include <mutex>
#include <string_view>

#include "CBase64.h"
#include "CSystemInfo.h"
#include "DeviceLinkFunctions.h"
#include "LinuxHostFacts.h"
#include "TextEncoding.h"

namespace {

std::u16string Number(int value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

// The device description with its lock: it is set from the main window and read from the
// command threads.
struct DeviceDescription {
    std::mutex mutex;
    std::u16string text;
};

DeviceDescription& TheDeviceDescription() {
    static DeviceDescription description;
    return description;
}

// The copy functions leave a buffer untouched when they have nothing, so each starts zeroed;
// the text ends at the first zero, and at 49 bytes when a value filled the whole buffer.
std::u16string ValueOf(void (*copy)(char*)) {
    char buffer[kDeviceValueBufferSize] = {};
    copy(buffer);
    return AnsiToText(std::string_view(buffer, strnlen(buffer, kDeviceValueBufferSize - 1)));
}

}  // namespace

std::vector<HostDescriptionPair> CollectHostDescription(HostFacts& facts, const std::u16string& protocolVersion) {
    CSystemInfo info(facts);
    std::u16string mac;
    std::u16string bssid;
    // The MAC is the first listed adapter's; the BSSID the first one found on any adapter.
    const std::unique_ptr<CJson> adapters = info.GetNetworkAdapters();
    for (int i = 0; i < adapters->GetChildCount(); ++i) {
        CJson* adapter = adapters->GetChild(i);
        if (mac.empty()) {
            if (CJson* address = adapter->FindChild(u"Address", u"")) mac = address->GetValue();
        }
        if (CJson* node = adapter->FindChild(u"BSSID", u"")) bssid = node->GetValue();
        if (!bssid.empty()) break;
    }
    const ScreenSize screen = facts.PrimaryScreenSize();
    return {
        {u"sid", mac},
        {u"mtype", u""},
        {u"lang", u""},
        {u"mac", mac},
        {u"osver", info.GetOsProductName() + u" " + info.GetOsServicePack()},
        {u"bssid", bssid},
        {u"screen", Number(screen.width) + u"*" + Number(screen.height)},
        {u"processor", info.GetProcessorName() + u" " + Number(facts.ProcessorCount())},
        {u"memory", u""},
        {u"mboard", u""},
        {u"ie", info.GetIeVersion()},
        {u"pid", u"40"},
        {u"pt", u"4"},
        {u"ch", u""},
        {u"ver", protocolVersion},
    };
}

std::u16string JoinHostDescription(const std::vector<HostDescriptionPair>& pairs) {
    std::u16string joined;
    for (const HostDescriptionPair& pair : pairs) joined += pair.key + u"=" + pair.value + u"&";
    return joined;
}

std::u16string HostDescriptionHeaderValue(const std::u16string& joined) { return u"0" + CBase64().Encode(joined); }

std::u16string GetHostDescription(std::u16string& cache, const std::u16string& protocolVersion) {
    if (!cache.empty()) return cache;
    return GetHostDescription(cache, protocolVersion, LinuxHostFacts::ThisComputer());
}

std::u16string GetHostDescription(std::u16string& cache, const std::u16string& protocolVersion, HostFacts& facts) {
    if (!cache.empty()) return cache;
    const std::u16string joined = JoinHostDescription(CollectHostDescription(facts, protocolVersion));
    cache = std::u16string(kHostDescriptionHeader) + u":" + HostDescriptionHeaderValue(joined);
    return cache;
}

void AppendDeviceDescription() {
    const std::u16string group = u"|ProductType:" + ValueOf(&CopyProductType) + u"|SystemVersion:" +
                                 ValueOf(&CopyProductVersion) + u"|BasebandVersion:" + ValueOf(&CopyBasebandVersion);
    DeviceDescription& description = TheDeviceDescription();
    std::scoped_lock lock(description.mutex);
    // One phone is connected at a time: its values replace the previous phone's.
    description.text = group;
}

std::u16string GetDeviceDescription() {
    DeviceDescription& description = TheDeviceDescription();
    std::scoped_lock lock(description.mutex);
    return description.text;
}
