// AirTraffic host library: the entry points exist so that the support libraries load as a set;
// the sync session itself is not offered yet, so every connection attempt reports no session.
#include "AirTrafficHost.h"

namespace {
// Returned by the send calls while no session can exist.
constexpr int kNoConnection = -1;
}  // namespace

extern "C" {

ATHostConnectionRef ATHostConnectionCreateWithLibrary(CFStringRef, CFStringRef, unsigned int) { return nullptr; }

void ATHostConnectionDestroy(ATHostConnectionRef) {}

ATCFMessageRef ATHostConnectionReadMessage(ATHostConnectionRef) { return nullptr; }

int ATHostConnectionSendSyncRequest(ATHostConnectionRef, CFArrayRef, CFDictionaryRef, CFDictionaryRef) {
    return kNoConnection;
}

int ATHostConnectionSendMetadataSyncFinished(ATHostConnectionRef, CFDictionaryRef, CFDictionaryRef) {
    return kNoConnection;
}

int ATHostConnectionSendPowerAssertion(ATHostConnectionRef, CFBooleanRef) { return kNoConnection; }

int ATHostConnectionSendFileProgress(ATHostConnectionRef, CFStringRef, CFStringRef, double, int, double) {
    return kNoConnection;
}

int ATHostConnectionSendAssetCompleted(ATHostConnectionRef, CFStringRef, CFStringRef, CFStringRef) {
    return kNoConnection;
}

int ATHostConnectionSendHostInfo(ATHostConnectionRef, CFDictionaryRef) { return kNoConnection; }

CFStringRef ATCFMessageGetName(ATCFMessageRef) { return nullptr; }

CFTypeRef ATCFMessageGetParam(ATCFMessageRef, CFStringRef) { return nullptr; }

}  // extern "C"
