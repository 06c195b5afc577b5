// HostFacts: the one interface through which the host description learns about this computer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One network interface as the platform reports it, listed or not.
struct NetworkAdapterFacts {
    std::u16string name;                   // the interface's name
    std::vector<uint8_t> hardwareAddress;  // as many bytes as the interface has
    std::u16string description;            // what the adapter is (driver or product name)
    std::u16string ipAddress;              // its first IPv4 address as text, empty when none
    int32_t mediaSubType = 0;              // the adapter's medium as the adapter list records it
    bool onPciBus = false;                 // a physical adapter of the computer's own PCI bus
    std::vector<uint8_t> accessPoint;      // BSSID of the Wi-Fi access point it is connected to
};

// Width and height of the primary monitor in pixels; 0 and 0 when no display is reachable.
struct ScreenSize {
    int width = 0;
    int height = 0;
};

// Every query answers, possibly with empty text, 0 or an empty list when the platform cannot
// tell; none of them fails otherwise. Tests replace the computer's facts with a fixture.
class HostFacts {
public:
    virtual ~HostFacts() = default;

    // Every network interface, in the platform's own order.
    virtual std::vector<NetworkAdapterFacts> NetworkAdapters() = 0;
    virtual std::u16string ProcessorName() = 0;
    // The number of processors the system runs on.
    virtual int ProcessorCount() = 0;
    virtual std::u16string OsProductName() = 0;
    virtual std::u16string OsServicePack() = 0;
    // The version of the component that carries the program's web traffic.
    virtual std::u16string BrowserComponentVersion() = 0;
    virtual ScreenSize PrimaryScreenSize() = 0;
    // The user's documents folder, without a trailing separator; empty when there is none.
    virtual std::u16string DocumentsFolder() = 0;
};
