// AppleApi: the process-wide table of the platform libraries' entry points, and their loader.
#pragma once

#include <string>

#include "AppleTypes.h"

// Each list names one library's entry points with their C signatures, spelled with the types of
// AppleTypes.h; the table below gets one pointer per name, filled by LoadAppleLibraries with the
// library's export of that name (null when it has none). Entries that nothing calls yet are
// resolved all the same. tests/device/test_AppleApiSignatures.cpp checks every entry against
// the library's header when the tests are built.
#define RUVO_MOBILEDEVICE_FUNCTIONS(X)                                                                \
    X(AMDeviceNotificationSubscribe, int,                                                             \
      (am_device_notification_callback, unsigned int, unsigned int, void*, AMDeviceNotificationRef*)) \
    X(AMDeviceNotificationUnsubscribe, int, (AMDeviceNotificationRef))                                \
    X(AMDeviceConnect, int, (AMDeviceRef))                                                            \
    X(AMDeviceDisconnect, int, (AMDeviceRef))                                                         \
    X(AMDeviceIsPaired, int, (AMDeviceRef))                                                           \
    X(AMDeviceValidatePairing, int, (AMDeviceRef))                                                    \
    X(AMDeviceStartSession, int, (AMDeviceRef))                                                       \
    X(AMDeviceStartService, int, (AMDeviceRef, CFStringRef, int*, void*))                             \
    X(AMDeviceStopSession, int, (AMDeviceRef))                                                        \
    X(AMDeviceCopyValue, CFTypeRef, (AMDeviceRef, CFStringRef, CFStringRef))                          \
    X(AMDeviceCopyDeviceIdentifier, CFStringRef, (AMDeviceRef))                                       \
    X(AMDeviceLookupApplications, int, (AMDeviceRef, CFDictionaryRef, CFDictionaryRef*))              \
    X(AFCConnectionOpen, int, (int, unsigned int, AFCConnectionRef*))                                 \
    X(AFCConnectionClose, int, (AFCConnectionRef))                                                    \
    X(AFCFileInfoOpen, int, (AFCConnectionRef, const char*, AFCKeyValueRef*))                         \
    X(AFCKeyValueRead, int, (AFCKeyValueRef, const char**, const char**))                             \
    X(AFCKeyValueClose, int, (AFCKeyValueRef))                                                        \
    X(AFCFileRefOpen, int, (AFCConnectionRef, const char*, uint64_t, AFCFileRef*))                    \
    X(AFCFileRefRead, int, (AFCConnectionRef, AFCFileRef, void*, uint32_t*))                          \
    X(AFCFileRefWrite, int, (AFCConnectionRef, AFCFileRef, const void*, uint32_t))                    \
    X(AFCFileRefClose, int, (AFCConnectionRef, AFCFileRef))                                           \
    X(AFCDirectoryOpen, int, (AFCConnectionRef, const char*, AFCDirectoryRef*))                       \
    X(AFCDirectoryRead, int, (AFCConnectionRef, AFCDirectoryRef, char**))                             \
    X(AFCDirectoryClose, int, (AFCConnectionRef, AFCDirectoryRef))                                    \
    X(AFCDirectoryCreate, int, (AFCConnectionRef, const char*))                                       \
    X(AFCRemovePath, int, (AFCConnectionRef, const char*))                                            \
    X(AFCRenamePath, int, (AFCConnectionRef, const char*, const char*))

#define RUVO_AIRTRAFFIC_FUNCTIONS(X)                                                                               \
    X(ATHostConnectionCreateWithLibrary, ATHostConnectionRef, (CFStringRef, CFStringRef, unsigned int))            \
    X(ATHostConnectionDestroy, void, (ATHostConnectionRef))                                                        \
    X(ATHostConnectionReadMessage, ATCFMessageRef, (ATHostConnectionRef))                                          \
    X(ATHostConnectionSendSyncRequest, int, (ATHostConnectionRef, CFArrayRef, CFDictionaryRef, CFDictionaryRef))   \
    X(ATHostConnectionSendMetadataSyncFinished, int, (ATHostConnectionRef, CFDictionaryRef, CFDictionaryRef))      \
    X(ATHostConnectionSendPowerAssertion, int, (ATHostConnectionRef, CFBooleanRef))                                \
    X(ATHostConnectionSendFileProgress, int, (ATHostConnectionRef, CFStringRef, CFStringRef, double, int, double)) \
    X(ATHostConnectionSendAssetCompleted, int, (ATHostConnectionRef, CFStringRef, CFStringRef, CFStringRef))       \
    X(ATHostConnectionSendHostInfo, int, (ATHostConnectionRef, CFDictionaryRef))                                   \
    X(ATCFMessageGetName, CFStringRef, (ATCFMessageRef))                                                           \
    X(ATCFMessageGetParam, CFTypeRef, (ATCFMessageRef, CFStringRef))

#define RUVO_COREFOUNDATION_FUNCTIONS(X)                                                             \
    X(CFRelease, void, (CFTypeRef))                                                                  \
    X(CFRetain, CFTypeRef, (CFTypeRef))                                                              \
    X(__CFStringMakeConstantString, CFStringRef, (const char*))                                      \
    X(CFStringCreateWithCString, CFStringRef, (CFAllocatorRef, const char*, CFStringEncoding))       \
    X(CFStringGetLength, CFIndex, (CFStringRef))                                                     \
    X(CFStringGetCString, Boolean, (CFStringRef, char*, CFIndex, CFStringEncoding))                  \
    X(CFStringCompare, CFComparisonResult, (CFStringRef, CFStringRef, CFOptionFlags))                \
    X(CFDictionaryCreateMutable, CFMutableDictionaryRef,                                             \
      (CFAllocatorRef, CFIndex, const CFDictionaryKeyCallBacks*, const CFDictionaryValueCallBacks*)) \
    X(CFDictionaryAddValue, void, (CFMutableDictionaryRef, const void*, const void*))                \
    X(CFDictionarySetValue, void, (CFMutableDictionaryRef, const void*, const void*))                \
    X(CFDictionaryGetValue, const void*, (CFDictionaryRef, const void*))                             \
    X(CFDictionaryGetCount, CFIndex, (CFDictionaryRef))                                              \
    X(CFDictionaryGetKeysAndValues, void, (CFDictionaryRef, const void**, const void**))             \
    X(CFGetTypeID, CFTypeID, (CFTypeRef))                                                            \
    X(CFDictionaryGetTypeID, CFTypeID, (void))                                                       \
    X(CFStringGetTypeID, CFTypeID, (void))                                                           \
    X(CFArrayCreateMutable, CFMutableArrayRef, (CFAllocatorRef, CFIndex, const CFArrayCallBacks*))   \
    X(CFArrayGetTypeID, CFTypeID, (void))                                                            \
    X(CFArrayAppendValue, void, (CFMutableArrayRef, const void*))                                    \
    X(CFArrayGetCount, CFIndex, (CFArrayRef))                                                        \
    X(CFArrayGetValueAtIndex, const void*, (CFArrayRef, CFIndex))                                    \
    X(CFNumberCreate, CFNumberRef, (CFAllocatorRef, CFNumberType, const void*))                      \
    X(CFDataCreate, CFDataRef, (CFAllocatorRef, const UInt8*, CFIndex))                              \
    X(CFDataGetBytePtr, const UInt8*, (CFDataRef))                                                   \
    X(CFDataGetLength, CFIndex, (CFDataRef))                                                         \
    X(CFPropertyListCreateXMLData, CFDataRef, (CFAllocatorRef, CFPropertyListRef))                   \
    X(CFPropertyListCreateData, CFDataRef,                                                           \
      (CFAllocatorRef, CFPropertyListRef, CFPropertyListFormat, CFOptionFlags, CFErrorRef*))         \
    X(CFPropertyListCreateFromXMLData, CFPropertyListRef, (CFAllocatorRef, CFDataRef, CFOptionFlags, CFStringRef*))

// Data exports, each with the type of the exported variable; the table stores its address.
#define RUVO_COREFOUNDATION_DATA(X)                                \
    X(kCFBooleanTrue, CFBooleanRef)                                \
    X(kCFBooleanFalse, CFBooleanRef)                               \
    X(kCFTypeDictionaryKeyCallBacks, CFDictionaryKeyCallBacks)     \
    X(kCFTypeDictionaryValueCallBacks, CFDictionaryValueCallBacks) \
    X(kCFTypeArrayCallBacks, CFArrayCallBacks)

namespace apple {

// The lists' names are read in namespace apple, where AppleTypes.h declares them.
struct ApiTable {
#define RUVO_DECLARE_ENTRY(name, result, params) result(*name) params = nullptr;
    RUVO_MOBILEDEVICE_FUNCTIONS(RUVO_DECLARE_ENTRY)
    RUVO_AIRTRAFFIC_FUNCTIONS(RUVO_DECLARE_ENTRY)
    RUVO_COREFOUNDATION_FUNCTIONS(RUVO_DECLARE_ENTRY)
#undef RUVO_DECLARE_ENTRY
#define RUVO_DECLARE_DATA(name, type) const type* name = nullptr;
    RUVO_COREFOUNDATION_DATA(RUVO_DECLARE_DATA)
#undef RUVO_DECLARE_DATA
};

}  // namespace apple

using AppleApiTable = apple::ApiTable;

// Filled once by LoadAppleLibraries, read-only afterwards: readers on any thread need no lock.
extern AppleApiTable AppleApi;

// The file names of the three support libraries, in the order they are loaded.
inline constexpr const char* kMobileDeviceLibrary = "libruvo-mobiledevice.so";
inline constexpr const char* kAirTrafficLibrary = "libruvo-airtraffic.so";
inline constexpr const char* kCoreFoundationLibrary = "libruvo-corefoundation.so";
// The support package's registration file in the support directory: its first line names a
// file of the package (relative to the directory, or absolute) that must not be empty.
inline constexpr const char* kRegistrationFile = "RegisteredApps";

// The support directory: RUVO_SUPPORT_DIR when set, else "support" next to the program.
std::string SupportDirectory();

// True when the support package is registered: the registration file names a non-empty file.
bool IsItunesInstalled();

// Makes the support directory searchable and loads the three libraries in order, resolving
// every entry point into AppleApi. True only when all three loaded; the libraries stay loaded
// for the life of the process.
bool LoadAppleLibraries();
