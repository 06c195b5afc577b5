/* Mobile-device stand-in: the C interface for finding iOS devices, opening sessions and
 * services on them, and speaking AFC over a service socket, under the names the system calls.
 * Every call returns 0 on success and a negative MDERR_* code otherwise, unless noted. */
#ifndef RUVO_MOBILEDEVICE_H
#define RUVO_MOBILEDEVICE_H

#include <stdint.h>

#include "CoreFoundation.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MD_EXPORT __attribute__((visibility("default")))

typedef struct am_device* AMDeviceRef;
typedef struct am_device_notification* AMDeviceNotificationRef;

/* Passed to the notification handler. msg 1: the device arrived; any other value: it left. */
typedef struct am_device_notification_callback_info {
    AMDeviceRef dev;
    unsigned int msg;
    AMDeviceNotificationRef subscription;
} am_device_notification_callback_info;

enum { ADNCI_MSG_CONNECTED = 1, ADNCI_MSG_DISCONNECTED = 2 };

typedef void (*am_device_notification_callback)(am_device_notification_callback_info* info, void* arg);

/* Library error codes (AFC status codes of the device are returned as their negative value). */
enum {
    MDERR_OK = 0,
    MDERR_INVALID_ARGUMENT = -1,
    MDERR_NO_DEVICE = -2,         /* the device is gone (unplugged) */
    MDERR_NOT_CONNECTED = -3,     /* AMDeviceConnect was not called first */
    MDERR_NOT_PAIRED = -4,        /* the device does not trust this computer */
    MDERR_NO_SESSION = -5,        /* the call needs a session */
    MDERR_SERVICE_NOT_FOUND = -6, /* the device does not offer that service */
    MDERR_SOCKET = -7,            /* a socket could not be made, or broke */
    MDERR_PROTOCOL = -8,          /* the peer sent something malformed */
    MDERR_NO_MEMORY = -9,
    MDERR_TIMEOUT = -10,
    MDERR_BUSY = -11,     /* the device serves as many service connections as it may */
    MDERR_AFC_BASE = -100 /* AFC status s is reported as MDERR_AFC_BASE - s */
};

/* Devices */
MD_EXPORT int AMDeviceNotificationSubscribe(am_device_notification_callback callback, unsigned int unused0,
                                            unsigned int unused1, void* arg, AMDeviceNotificationRef* notification);
MD_EXPORT int AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef notification);
MD_EXPORT int AMDeviceConnect(AMDeviceRef device);
MD_EXPORT int AMDeviceDisconnect(AMDeviceRef device);
MD_EXPORT int AMDeviceIsPaired(AMDeviceRef device); /* non-zero when paired */
MD_EXPORT int AMDeviceValidatePairing(AMDeviceRef device);
MD_EXPORT int AMDeviceStartSession(AMDeviceRef device);
MD_EXPORT int AMDeviceStopSession(AMDeviceRef device);
/* socket receives a connected stream socket to the named service; it stays usable after the
 * session ends and the device is disconnected, and is closed by its holder. */
MD_EXPORT int AMDeviceStartService(AMDeviceRef device, CFStringRef serviceName, int* socket, void* unused);
MD_EXPORT CFTypeRef AMDeviceCopyValue(AMDeviceRef device, CFStringRef domain, CFStringRef key);
MD_EXPORT CFStringRef AMDeviceCopyDeviceIdentifier(AMDeviceRef device);
/* The reference of the attached device whose identifier (as AMDeviceCopyDeviceIdentifier gives
 * it) is identifier, or NULL when no such device is attached or identifier is not a string. The
 * reference is the process-wide one the notifications hand out: it lives as long as the process
 * and is not retained for the caller. Devices are known once the first
 * AMDeviceNotificationSubscribe has started the library's drivers. */
MD_EXPORT AMDeviceRef AMDeviceLookupByIdentifier(CFStringRef identifier);
/* options {"ApplicationType": "System" | "User" | "Any"}; result: {bundle id: {"CFBundleIdentifier": id, ...}} */
MD_EXPORT int AMDeviceLookupApplications(AMDeviceRef device, CFDictionaryRef options, CFDictionaryRef* result);

/* AFC over a service socket */
typedef struct afc_connection* AFCConnectionRef;
typedef struct afc_dictionary* AFCKeyValueRef;
typedef struct afc_directory* AFCDirectoryRef;
typedef uint64_t AFCFileRef;

enum {
    AFC_MODE_READ = 1,             /* read only */
    AFC_MODE_READ_WRITE = 2,       /* read-write, create */
    AFC_MODE_WRITE = 3,            /* write only, create, truncate */
    AFC_MODE_READ_WRITE_TRUNC = 4, /* read-write, create, truncate */
    AFC_MODE_APPEND = 5,
    AFC_MODE_READ_APPEND = 6
};

/* ioTimeout: seconds a request may wait for its reply (0: the library's default). */
MD_EXPORT int AFCConnectionOpen(int socket, unsigned int ioTimeout, AFCConnectionRef* connection);
/* Closes the connection; the socket stays with its holder, who closes it. */
MD_EXPORT int AFCConnectionClose(AFCConnectionRef connection);
MD_EXPORT int AFCFileInfoOpen(AFCConnectionRef connection, const char* path, AFCKeyValueRef* info);
/* key and value stay valid until the next read or the close; both NULL at the end. */
MD_EXPORT int AFCKeyValueRead(AFCKeyValueRef info, const char** key, const char** value);
MD_EXPORT int AFCKeyValueClose(AFCKeyValueRef info);
MD_EXPORT int AFCFileRefOpen(AFCConnectionRef connection, const char* path, uint64_t mode, AFCFileRef* ref);
/* length: in, the buffer's size; out, the bytes read (0 at the end of the file). */
MD_EXPORT int AFCFileRefRead(AFCConnectionRef connection, AFCFileRef ref, void* buffer, uint32_t* length);
MD_EXPORT int AFCFileRefWrite(AFCConnectionRef connection, AFCFileRef ref, const void* data, uint32_t length);
MD_EXPORT int AFCFileRefClose(AFCConnectionRef connection, AFCFileRef ref);
MD_EXPORT int AFCDirectoryOpen(AFCConnectionRef connection, const char* path, AFCDirectoryRef* directory);
/* name stays valid until the next read or the close; NULL at the end. */
MD_EXPORT int AFCDirectoryRead(AFCConnectionRef connection, AFCDirectoryRef directory, char** name);
MD_EXPORT int AFCDirectoryClose(AFCConnectionRef connection, AFCDirectoryRef directory);
MD_EXPORT int AFCDirectoryCreate(AFCConnectionRef connection, const char* path);
MD_EXPORT int AFCRemovePath(AFCConnectionRef connection, const char* path);
MD_EXPORT int AFCRenamePath(AFCConnectionRef connection, const char* from, const char* to);

#ifdef __cplusplus
}
#endif

#endif
