// AFCApplicationDirectory: the house_arrest request, its reply, and AFC on the vended connection.
#include "AFCApplicationDirectory.h"

#include "AppleApi.h"

using namespace apple;

bool AFCApplicationDirectory::VendContainer(const char* bundleId) {
    if (!bundleId) return false;
    if (StartService("com.apple.mobile.house_arrest") <= 0) return false;

    CFMutableDictionaryRef request = AppleApi.CFDictionaryCreateMutable(nullptr, 2, nullptr, nullptr);
    if (!request) return false;
    CFStringRef commandKey = AppleApi.CFStringCreateWithCString(nullptr, "Command", kCFStringEncodingUTF8);
    CFStringRef command = AppleApi.CFStringCreateWithCString(nullptr, "VendContainer", kCFStringEncodingUTF8);
    CFStringRef identifierKey = AppleApi.CFStringCreateWithCString(nullptr, "Identifier", kCFStringEncodingUTF8);
    CFStringRef identifier = AppleApi.CFStringCreateWithCString(nullptr, bundleId, kCFStringEncodingUTF8);
    bool sent = false;
    if (commandKey && command && identifierKey && identifier) {
        // The request does not retain: the strings are released after it.
        AppleApi.CFDictionarySetValue(request, commandKey, command);
        AppleApi.CFDictionarySetValue(request, identifierKey, identifier);
        sent = SendPlist(request);
    }
    AppleApi.CFRelease(request);
    for (CFStringRef s : {commandKey, command, identifierKey, identifier})
        if (s) AppleApi.CFRelease(s);
    if (!sent) return false;

    CFPropertyListRef reply = ReceivePlist();
    if (!reply) return false;
    bool vended = false;
    if (AppleApi.CFGetTypeID(reply) == AppleApi.CFDictionaryGetTypeID()) {
        CFStringRef statusKey = AppleApi.CFStringCreateWithCString(nullptr, "Status", kCFStringEncodingUTF8);
        CFStringRef complete = AppleApi.CFStringCreateWithCString(nullptr, "Complete", kCFStringEncodingUTF8);
        const void* status =
            statusKey ? AppleApi.CFDictionaryGetValue(static_cast<CFDictionaryRef>(reply), statusKey) : nullptr;
        if (status && complete && AppleApi.CFGetTypeID(status) == AppleApi.CFStringGetTypeID() &&
            AppleApi.CFStringCompare(static_cast<CFStringRef>(status), complete, kCFCompareCaseInsensitive) == 0) {
            vended = AppleApi.AFCConnectionOpen(m_socket, kIoTimeoutSeconds, &m_afc) == 0;
            if (!vended) m_afc = nullptr;
        }
        if (statusKey) AppleApi.CFRelease(statusKey);
        if (complete) AppleApi.CFRelease(complete);
    }
    AppleApi.CFRelease(reply);
    return vended;
}
