// CSystemInfo: the adapter list and the host texts, read through HostFacts.
#include "CSystemInfo.h"

#include <cstdio>

#include "LinuxHostFacts.h"

CSystemInfo::CSystemInfo() : m_facts(&LinuxHostFacts::ThisComputer()) {}

CSystemInfo::CSystemInfo(HostFacts& facts) : m_facts(&facts) {}

std::unique_ptr<CJson> CSystemInfo::GetNetworkAdapters() {
    auto root = std::make_unique<CJson>();
    for (const NetworkAdapterFacts& adapter : m_facts->NetworkAdapters()) {
        // Only the computer's own network cards describe it: virtual, USB and other adapters
        // come and go with software and accessories.
        if (!adapter.onPciBus) continue;
        CJson* node = root->AddChild(u"AdapterName", adapter.name);
        node->AddChild(u"Address", FormatHardwareAddress(adapter.hardwareAddress));
        node->AddChild(u"Description", adapter.description);
        node->AddChild(u"IpAddress", adapter.ipAddress);
        node->AddChild(u"MediaSubType", adapter.mediaSubType);
        node->AddChild(u"BSSID",
                       adapter.accessPoint.empty() ? std::u16string() : FormatHardwareAddress(adapter.accessPoint));
    }
    return root;
}

std::u16string CSystemInfo::GetProcessorName() { return m_facts->ProcessorName(); }

std::u16string CSystemInfo::GetOsProductName() { return m_facts->OsProductName(); }

std::u16string CSystemInfo::GetOsServicePack() { return m_facts->OsServicePack(); }

std::u16string CSystemInfo::GetIeVersion() { return m_facts->BrowserComponentVersion(); }

std::u16string CSystemInfo::GetDocumentsFolder() { return m_facts->DocumentsFolder(); }

std::u16string CSystemInfo::FormatHardwareAddress(const std::vector<uint8_t>& address) {
    uint8_t bytes[6] = {};
    for (size_t i = 0; i < 6 && i < address.size(); ++i) bytes[i] = address[i];
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
                  bytes[5]);
    return std::u16string(text, text + 17);
}
