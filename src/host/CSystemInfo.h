// CSystemInfo: the host facts in the shapes the usage reports use: the adapter list and the texts.
#pragma once

#include <memory>
#include <string>

#include "CJson.h"
#include "HostFacts.h"

// Made on the stack around the calls. It holds only the facts it asks, borrowed: those of this
// computer unless a caller (a test) passes others.
//
// The adapter list: an unnamed root with one child "AdapterName" (value: the interface's name)
// per physical adapter, in the platform's order; each has the children "Address", "Description",
// "IpAddress", "MediaSubType" and "BSSID", in that order.
class CSystemInfo {
public:
    CSystemInfo();
    explicit CSystemInfo(HostFacts& facts);
    virtual ~CSystemInfo() = default;

    // Never null; an empty root when the computer has no physical adapter.
    std::unique_ptr<CJson> GetNetworkAdapters();
    std::u16string GetProcessorName();
    std::u16string GetOsProductName();
    std::u16string GetOsServicePack();
    std::u16string GetIeVersion();
    std::u16string GetDocumentsFolder();

    // The first six bytes of a hardware address as "%02X:%02X:%02X:%02X:%02X:%02X"; missing bytes
    // count as 0.
    static std::u16string FormatHardwareAddress(const std::vector<uint8_t>& address);

private:
    HostFacts* m_facts;  // borrowed
};
