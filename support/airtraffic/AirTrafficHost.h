/* AirTraffic host stand-in: the C interface of a sync session with a device's sync agent
 * ("com.apple.atc"), under the names the system calls. */
#ifndef RUVO_AIRTRAFFICHOST_H
#define RUVO_AIRTRAFFICHOST_H

#include "CoreFoundation.h"

#ifdef __cplusplus
extern "C" {
#endif

#define AT_EXPORT __attribute__((visibility("default")))

typedef struct at_host_connection* ATHostConnectionRef;
typedef CFDictionaryRef ATCFMessageRef;

/* A connection for the device with that identifier, or NULL when no session can be had. */
AT_EXPORT ATHostConnectionRef ATHostConnectionCreateWithLibrary(CFStringRef libraryId, CFStringRef deviceId,
                                                                unsigned int options);
AT_EXPORT void ATHostConnectionDestroy(ATHostConnectionRef connection);
/* The next message from the device (released by the caller), or NULL when the link is gone. */
AT_EXPORT ATCFMessageRef ATHostConnectionReadMessage(ATHostConnectionRef connection);
AT_EXPORT int ATHostConnectionSendSyncRequest(ATHostConnectionRef connection, CFArrayRef dataclasses,
                                              CFDictionaryRef anchors, CFDictionaryRef hostInfo);
AT_EXPORT int ATHostConnectionSendMetadataSyncFinished(ATHostConnectionRef connection, CFDictionaryRef syncTypes,
                                                       CFDictionaryRef anchors);
AT_EXPORT int ATHostConnectionSendPowerAssertion(ATHostConnectionRef connection, CFBooleanRef on);
AT_EXPORT int ATHostConnectionSendFileProgress(ATHostConnectionRef connection, CFStringRef assetId,
                                               CFStringRef dataclass, double assetProgress, int unused,
                                               double overallProgress);
AT_EXPORT int ATHostConnectionSendAssetCompleted(ATHostConnectionRef connection, CFStringRef assetId,
                                                 CFStringRef dataclass, CFStringRef devicePath);
AT_EXPORT int ATHostConnectionSendHostInfo(ATHostConnectionRef connection, CFDictionaryRef hostInfo);
AT_EXPORT CFStringRef ATCFMessageGetName(ATCFMessageRef message);
AT_EXPORT CFTypeRef ATCFMessageGetParam(ATCFMessageRef message, CFStringRef name);

#ifdef __cplusplus
}
#endif

#endif
