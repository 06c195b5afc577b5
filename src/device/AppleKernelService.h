// AppleKernelService: a service object bound to one device: its sessions, started services and AFC connection.
#pragma once

#include "AppleTypes.h"
#include "CSocketClient.h"
#include "DeviceServiceSet.h"

// Sessions are opened and closed around each use; a started service's socket stays valid after
// the session that started it has ended. Close (or the destructor) ends socket and AFC connection.
class AppleKernelService : public CSocketClient {
public:
    AppleKernelService() = default;
    explicit AppleKernelService(apple::AMDeviceRef device) : m_device(device) {}
    ~AppleKernelService() override;

    // Copies the set and takes its device as the service's device.
    void Bind(const DeviceServiceSet& set);

    bool BeginSession();
    bool EndSession();
    // The started service's socket (positive), 0 when there is no device or no session, or the
    // library's negative code.
    int StartService(const char* serviceName);
    // {bundle id: {...}} of the applications of that type ("System", "User"); the caller
    // releases it. Null for a null or empty type or a failed lookup.
    apple::CFDictionaryRef LookupApplications(const char* applicationType);
    void Close();

    apple::AMDeviceRef Device() const { return m_device; }
    const DeviceServiceSet& Bound() const { return m_bound; }

protected:
    apple::AMDeviceRef m_device = nullptr;
    apple::AFCConnectionRef m_afc = nullptr;
    DeviceServiceSet m_bound;
};
