// The platform libraries' types as the system sees them: opaque handles and plain C values.
#pragma once

#include <cstdint>

// These mirror the C interfaces of the support libraries, which the system never includes:
// it reaches them only through AppleApi.
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
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;
typedef const struct __CFArray* CFArrayRef;
typedef struct __CFArray* CFMutableArrayRef;
typedef const struct __CFNumber* CFNumberRef;
typedef const struct __CFBoolean* CFBooleanRef;
typedef const struct __CFData* CFDataRef;
typedef struct __CFError* CFErrorRef;

typedef struct am_device* AMDeviceRef;
typedef struct am_device_notification* AMDeviceNotificationRef;
typedef struct am_device_notification_callback_info {
    AMDeviceRef dev;
    unsigned int msg;
    AMDeviceNotificationRef subscription;
} am_device_notification_callback_info;
typedef void (*am_device_notification_callback)(am_device_notification_callback_info* info, void* arg);

typedef struct afc_connection* AFCConnectionRef;
typedef struct afc_dictionary* AFCKeyValueRef;
typedef struct afc_directory* AFCDirectoryRef;
typedef uint64_t AFCFileRef;

typedef struct at_host_connection* ATHostConnectionRef;
typedef CFDictionaryRef ATCFMessageRef;

}  // extern "C"

inline constexpr CFStringEncoding kCFStringEncodingUTF8 = 0x08000100;
inline constexpr CFPropertyListFormat kCFPropertyListBinaryFormat_v1_0 = 200;
inline constexpr CFOptionFlags kCFPropertyListMutableContainers = 1;
inline constexpr CFOptionFlags kCFCompareCaseInsensitive = 1;
