// Shared by the host tests: a fixture of host facts that counts its queries, and a Base64 decoder of the tests' own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "HostFacts.h"

namespace host_test {

// Facts of a made-up computer; every query is counted, so a test can tell whether the
// platform was asked at all.
class FakeHostFacts : public HostFacts {
public:
    std::vector<NetworkAdapterFacts> NetworkAdapters() override { return ++queries, adapters; }
    std::u16string ProcessorName() override { return ++queries, processorName; }
    int ProcessorCount() override { return ++queries, processorCount; }
    std::u16string OsProductName() override { return ++queries, osProductName; }
    std::u16string OsServicePack() override { return ++queries, osServicePack; }
    std::u16string BrowserComponentVersion() override { return ++queries, browserVersion; }
    ScreenSize PrimaryScreenSize() override { return ++queries, screen; }
    std::u16string DocumentsFolder() override { return ++queries, documentsFolder; }

    std::vector<NetworkAdapterFacts> adapters;
    std::u16string processorName = u"Fixture Core i7-1185G7 @ 3.00GHz";
    int processorCount = 8;
    std::u16string osProductName = u"Fixture Linux 12 (bookworm)";
    std::u16string osServicePack = u"6.1.0-13-amd64";
    std::u16string browserVersion = u"7.88.1";
    ScreenSize screen{2560, 1440};
    std::u16string documentsFolder = u"/home/fixture/Documents";
    int queries = 0;
};

inline NetworkAdapterFacts Adapter(std::u16string name, std::vector<uint8_t> address, bool onPciBus,
                                   std::vector<uint8_t> accessPoint = {}) {
    NetworkAdapterFacts adapter;
    adapter.name = std::move(name);
    adapter.hardwareAddress = std::move(address);
    adapter.description = adapter.name + u" driver";
    adapter.ipAddress = u"192.168.1.20";
    adapter.mediaSubType = accessPoint.empty() ? 1 : 2;
    adapter.onPciBus = onPciBus;
    adapter.accessPoint = std::move(accessPoint);
    return adapter;
}

// RFC 4648 Base64 without line breaks, decoded independently of the code under test; a
// character outside the alphabet makes the whole result empty.
inline std::string DecodeBase64(const std::u16string& text) {
    static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) return {};
    std::string bytes;
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t group = 0;
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char16_t c = text[i + j];
            size_t value = 0;
            if (c == u'=' && i + 4 == text.size() && j >= 2) {
                ++padding;
            } else if (padding > 0 || c > 0x7F || (value = kAlphabet.find(static_cast<char>(c))) == std::string::npos) {
                return {};
            }
            group = group << 6 | static_cast<uint32_t>(value);
        }
        bytes += static_cast<char>(group >> 16);
        if (padding < 2) bytes += static_cast<char>(group >> 8 & 0xFF);
        if (padding < 1) bytes += static_cast<char>(group & 0xFF);
    }
    return bytes;
}

}  // namespace host_test
