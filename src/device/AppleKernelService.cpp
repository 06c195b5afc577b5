// AppleKernelService: the library calls in the orders the device expects for sessions and services.
#include "AppleKernelService.h"

#include "AppleApi.h"

using namespace apple;

AppleKernelService::~AppleKernelService() { Close(); }

void AppleKernelService::Bind(const DeviceServiceSet& set) {
    m_bound = set;
    m_device = set.device;
}

bool AppleKernelService::BeginSession() {
    if (!m_device) return false;
    if (AppleApi.AMDeviceConnect(m_device) != 0) return false;
    if (AppleApi.AMDeviceIsPaired(m_device) == 0) return false;
    if (AppleApi.AMDeviceValidatePairing(m_device) != 0) return false;
    return AppleApi.AMDeviceStartSession(m_device) == 0;
}

bool AppleKernelService::EndSession() {
    if (!m_device) return false;
    if (AppleApi.AMDeviceStopSession(m_device) != 0) return false;
    return AppleApi.AMDeviceDisconnect(m_device) == 0;
}

int AppleKernelService::StartService(const char* serviceName) {
    if (!m_device) return 0;
    if (AppleApi.AMDeviceConnect(m_device) != 0) return 0;
    if (AppleApi.AMDeviceIsPaired(m_device) == 0 || AppleApi.AMDeviceValidatePairing(m_device) != 0 ||
        AppleApi.AMDeviceStartSession(m_device) != 0) {
        AppleApi.AMDeviceDisconnect(m_device);
        return 0;
    }
    CFStringRef name =
        serviceName ? AppleApi.CFStringCreateWithCString(nullptr, serviceName, kCFStringEncodingUTF8) : nullptr;
    int result = 0;
    if (name) {
        int socket = 0;
        const int started = AppleApi.AMDeviceStartService(m_device, name, &socket, nullptr);
        if (started == 0) {
            // A new service replaces what the object held before.
            CloseSocket();
            m_socket = socket;
            result = socket;
        } else {
            result = started;
        }
        AppleApi.CFRelease(name);
    }
    AppleApi.AMDeviceStopSession(m_device);
    AppleApi.AMDeviceDisconnect(m_device);
    return result;
}

CFDictionaryRef AppleKernelService::LookupApplications(const char* applicationType) {
    if (!applicationType || !*applicationType || !m_device) return nullptr;
    CFMutableDictionaryRef options = AppleApi.CFDictionaryCreateMutable(nullptr, 1, nullptr, nullptr);
    if (!options) return nullptr;
    CFStringRef type = AppleApi.CFStringCreateWithCString(nullptr, applicationType, kCFStringEncodingUTF8);
    // A dictionary without callbacks compares keys by identity, so the key must be the library's
    // own constant string, the one it looks the option up with.
    CFStringRef key = AppleApi.__CFStringMakeConstantString("ApplicationType");
    CFDictionaryRef result = nullptr;
    if (type && key) {
        // The options dictionary does not retain: the type lives until it is released.
        AppleApi.CFDictionarySetValue(options, key, type);
        BeginSession();
        if (AppleApi.AMDeviceLookupApplications(m_device, options, &result) != 0) result = nullptr;
        EndSession();
    }
    AppleApi.CFRelease(options);
    if (type) AppleApi.CFRelease(type);
    return result;
}

void AppleKernelService::Close() {
    if (m_afc) {
        AppleApi.AFCConnectionClose(m_afc);
        m_afc = nullptr;
    }
    CloseSocket();
}
