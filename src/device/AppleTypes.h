// The platform libraries' types as the system sees them: opaque handles and plain C values.
#pragma once

#include <cstdint>

// These mirror the C interfaces of the support libraries, which the system never includes:
// it reaches them only through AppleApi.
//
// The handles point to structs whose tags are the libraries' own (declared here at global
// scope, never defined), so AMDeviceRef here and in a library's header are one type. Every
// name the system uses lives in namespace apple, so a translation unit may see these beside a
// library's header without two definitions of one name: the signature check of AppleApi in
// tests/device does, and compares the two member by member.
struct __CFAllocator;
struct __CFString;
struct __CFDictionary;
struct __CFArray;
struct __CFNumber;
struct __CFBoolean;
struct __CFData;
struct __CFError;
struct am_device;
struct am_device_notification;
struct afc_connection;
struct afc_dictionary;
struct afc_directory;
struct at_host_connection;

namespace apple {

extern "C" {

typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef unsigned long CFOptionFlags;
typedef uint32_t CFStringEncoding;
typedef CFIndex CFComparisonResult;
typedef CFIndex CFNumberType;
typedef CFIndex CFPropertyListFormat;

typedef const void* CFTypeRef;
typedef CFTypeRef CFPropertyListRef;
typedef const ::__CFAllocator* CFAllocatorRef;
typedef const ::__CFString* CFStringRef;
typedef const ::__CFDictionary* CFDictionaryRef;
typedef ::__CFDictionary* CFMutableDictionaryRef;
typedef const ::__CFArray* CFArrayRef;
typedef ::__CFArray* CFMutableArrayRef;
typedef const ::__CFNumber* CFNumberRef;
typedef const ::__CFBoolean* CFBooleanRef;
typedef const ::__CFData* CFDataRef;
typedef ::__CFError* CFErrorRef;

// The callback tables of CF containers. The system passes only the library's own tables (the
// kCFType... data exports, read through AppleApi) or null, and never looks inside one, so their
// members are not mirrored.
struct CFDictionaryKeyCallBacks;
struct CFDictionaryValueCallBacks;
struct CFArrayCallBacks;

typedef ::am_device* AMDeviceRef;
typedef ::am_device_notification* AMDeviceNotificationRef;
// Passed to a notification handler; msg is ADNCI_MSG_CONNECTED or ADNCI_MSG_DISCONNECTED.
struct am_device_notification_callback_info {
    AMDeviceRef dev;
    unsigned int msg;
    AMDeviceNotificationRef subscription;
};
typedef void (*am_device_notification_callback)(am_device_notification_callback_info* info, void* arg);

typedef ::afc_connection* AFCConnectionRef;
typedef ::afc_dictionary* AFCKeyValueRef;
typedef ::afc_directory* AFCDirectoryRef;
typedef uint64_t AFCFileRef;

typedef ::at_host_connection* ATHostConnectionRef;
typedef CFDictionaryRef ATCFMessageRef;

}  // extern "C"

// The libraries' constants that the system passes or compares, with their values there.
#define RUVO_APPLE_CONSTANTS(X)                                    \
    X(CFStringEncoding, kCFStringEncodingUTF8, 0x08000100)         \
    X(CFPropertyListFormat, kCFPropertyListBinaryFormat_v1_0, 200) \
    X(CFOptionFlags, kCFPropertyListMutableContainers, 1)          \
    X(CFOptionFlags, kCFCompareCaseInsensitive, 1)                 \
    X(CFNumberType, kCFNumberSInt32Type, 3)                        \
    X(CFNumberType, kCFNumberSInt64Type, 4)                        \
    X(unsigned int, ADNCI_MSG_CONNECTED, 1)                        \
    X(unsigned int, ADNCI_MSG_DISCONNECTED, 2)                     \
    X(uint64_t, AFC_MODE_READ, 1)                                  \
    X(uint64_t, AFC_MODE_READ_WRITE, 2)                            \
    X(uint64_t, AFC_MODE_WRITE, 3)                                 \
    X(uint64_t, AFC_MODE_READ_WRITE_TRUNC, 4)                      \
    X(uint64_t, AFC_MODE_APPEND, 5)                                \
    X(uint64_t, AFC_MODE_READ_APPEND, 6)

#define RUVO_DECLARE_CONSTANT(type, name, value) inline constexpr type name = value;
RUVO_APPLE_CONSTANTS(RUVO_DECLARE_CONSTANT)
#undef RUVO_DECLARE_CONSTANT

}  // namespace apple
