/* AirTraffic host stand-in: the C interface of a sync session with a device's sync agent
 * ("com.apple.atc"), under the names the system calls. The messages, their framing and their
 * order are written down in support/airtraffic/README.md. Nothing is printed; no exception
 * leaves a call. */
#ifndef RUVO_AIRTRAFFICHOST_H
#define RUVO_AIRTRAFFICHOST_H

#include "CoreFoundation.h"

#ifdef __cplusplus
extern "C" {
#endif

#define AT_EXPORT __attribute__((visibility("default")))

typedef struct at_host_connection* ATHostConnectionRef;
typedef CFDictionaryRef ATCFMessageRef;

/* Results of the send calls. */
enum {
    ATERR_OK = 0,                /* the whole message was written */
    ATERR_INVALID_ARGUMENT = -1, /* a null or destroyed connection, a missing argument or one of
                                     the wrong type, or a value that cannot go into a property list */
    ATERR_CONNECTION_LOST = -2,  /* the link ended before (peer closed, garbage read, socket error,
                                     destroy begun); nothing was written */
    ATERR_SOCKET = -3,           /* writing failed; the link has ended */
    ATERR_NO_MEMORY = -4,
    ATERR_MESSAGE_TOO_LARGE = -5 /* over 16 MiB encoded; nothing was written, the link stays */
};

/* A connection to the sync agent of the attached device whose identifier (as
 * AMDeviceCopyDeviceIdentifier gives it) is deviceId: connects, opens a session, starts
 * "com.apple.atc", ends the session and disconnects again (the socket outlives the session).
 * NULL when an argument is missing or not a string, no such device is attached (the device layer
 * knows devices once AMDeviceNotificationSubscribe has started it), the device does not trust
 * this computer, or it does not offer the service. libraryId is kept (copied) and put into a host
 * info sent without "LibraryID". options are not used. */
AT_EXPORT ATHostConnectionRef ATHostConnectionCreateWithLibrary(CFStringRef libraryId, CFStringRef deviceId,
                                                                unsigned int options);

/* Ends the connection, in this order:
 *   1. the handle stops being valid: calls that begin from now on return at once (NULL or
 *      ATERR_INVALID_ARGUMENT);
 *   2. the socket is shut down, which wakes a thread blocked in ATHostConnectionReadMessage (it
 *      gets "ConnectionInvalid", or NULL if it already had that) and one blocked in a send (it
 *      gets a negative code);
 *   3. Destroy waits until no thread is inside any call on the connection;
 *   4. the connection is freed and the socket closed; then Destroy returns.
 * So a reader loop on another thread ends promptly and never touches freed memory. Handles are
 * never reused: a call made with a handle after Destroy began is the caller's fault, but is
 * answered at once (NULL, ATERR_INVALID_ARGUMENT, nothing) without touching freed memory;
 * calling Destroy on the same handle from two threads at once is the caller's fault too (one of
 * them does the work, the other nothing). NULL does nothing. Must not be called from inside a
 * call on the same connection (there is none that calls back). */
AT_EXPORT void ATHostConnectionDestroy(ATHostConnectionRef connection);

/* Blocks until the next whole message from the device arrives and returns it (a new dictionary
 * the caller releases). When the link ends (the device closed it or left, it sent a bad length
 * or something that is not a dictionary property list, the socket failed, or Destroy began) ONE
 * message whose "Command" is "ConnectionInvalid" is returned, and NULL at once by every later
 * call. A "ReadyForSync" tells the connection the device's session number, which every message
 * sent after it carries. Reads are serialised (one thread should read). */
AT_EXPORT ATCFMessageRef ATHostConnectionReadMessage(ATHostConnectionRef connection);

/* The send calls write one message each and return ATERR_OK once all of it is written, else a
 * negative ATERR_* code. They may run on any thread, also while another is blocked in
 * ATHostConnectionReadMessage; sends are serialised, and a send blocks while the device does not
 * read (Destroy wakes it). Every argument is required. */
/* "RequestingSync" {"HostInfo", "Dataclasses", "DataclassAnchors"} */
AT_EXPORT int ATHostConnectionSendSyncRequest(ATHostConnectionRef connection, CFArrayRef dataclasses,
                                              CFDictionaryRef anchors, CFDictionaryRef hostInfo);
/* "FinishedSyncingMetadata" {"SyncTypes", "DataclassAnchors"} */
AT_EXPORT int ATHostConnectionSendMetadataSyncFinished(ATHostConnectionRef connection, CFDictionaryRef syncTypes,
                                                       CFDictionaryRef anchors);
/* "PowerAssertion" {"Enabled"} */
AT_EXPORT int ATHostConnectionSendPowerAssertion(ATHostConnectionRef connection, CFBooleanRef on);
/* "FileProgress" {"AssetID", "Dataclass", "AssetProgress", "OverallProgress"}; unused is not sent */
AT_EXPORT int ATHostConnectionSendFileProgress(ATHostConnectionRef connection, CFStringRef assetId,
                                               CFStringRef dataclass, double assetProgress, int unused,
                                               double overallProgress);
/* "FileComplete" {"AssetID", "Dataclass", "AssetPath": devicePath} */
AT_EXPORT int ATHostConnectionSendAssetCompleted(ATHostConnectionRef connection, CFStringRef assetId,
                                                 CFStringRef dataclass, CFStringRef devicePath);
/* "HostInfo" {"HostInfo"} */
AT_EXPORT int ATHostConnectionSendHostInfo(ATHostConnectionRef connection, CFDictionaryRef hostInfo);

/* The message's "Command" string; not retained, NULL when missing. */
AT_EXPORT CFStringRef ATCFMessageGetName(ATCFMessageRef message);
/* The value under the message's "Params"[name]; not retained, NULL when missing. */
AT_EXPORT CFTypeRef ATCFMessageGetParam(ATCFMessageRef message, CFStringRef name);

#ifdef __cplusplus
}
#endif

#endif
