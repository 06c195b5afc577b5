// AirTraffic host library: the C entry points. Finds the device and opens its sync service; the
// link itself (framing, reading, sending, its end) is AtcConnection's, the handles are
// AtcConnectionTable's.
#include "AirTrafficHost.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AtcConnection.h"
#include "AtcConnectionTable.h"
#include "MobileDevice.h"
#include "NoThrowCBorder.h"
#include "UniqueFd.h"

using ruvo::CallNoThrow;
using ruvo::UniqueFd;
using ruvo::atc::AtcConnection;
using ruvo::atc::AtcConnectionTable;

namespace {

bool IsA(CFTypeRef value, CFTypeID type) { return value != nullptr && CFGetTypeID(value) == type; }

std::optional<std::string> Utf8(CFTypeRef value) {
    if (!IsA(value, CFStringGetTypeID())) return std::nullopt;
    const auto string = static_cast<CFStringRef>(value);
    std::vector<char> buffer(static_cast<size_t>(CFStringGetLength(string)) * 3 + 1);
    if (!CFStringGetCString(string, buffer.data(), static_cast<CFIndex>(buffer.size()), kCFStringEncodingUTF8))
        return std::nullopt;
    return std::string(buffer.data());
}

AtcConnectionTable::Handle HandleOf(ATHostConnectionRef connection) {
    return reinterpret_cast<AtcConnectionTable::Handle>(connection);
}

// The sync service's socket on the attached device with that identifier, opened the way every
// service is: connect, session, start, and the session and connection ended again at once.
UniqueFd OpenSyncService(CFStringRef deviceId) {
    AMDeviceRef device = AMDeviceLookupByIdentifier(deviceId);
    if (device == nullptr || AMDeviceConnect(device) != MDERR_OK) return UniqueFd();
    int socket = -1;
    if (AMDeviceStartSession(device) == MDERR_OK) {
        if (AMDeviceStartService(device, CFSTR("com.apple.atc"), &socket, nullptr) != MDERR_OK) socket = -1;
        AMDeviceStopSession(device);
    }
    AMDeviceDisconnect(device);
    return UniqueFd(socket);
}

// Runs body on the connection of the handle; missing when the handle is null or unknown.
template <typename Result, typename Body>
Result OnConnection(ATHostConnectionRef connection, Result missing, Result onFailure, Body&& body) {
    if (connection == nullptr) return missing;
    return CallNoThrow<Result>(
        onFailure, [&]() -> Result { return AtcConnectionTable::Process().With(HandleOf(connection), missing, body); });
}

}  // namespace

extern "C" {

ATHostConnectionRef ATHostConnectionCreateWithLibrary(CFStringRef libraryId, CFStringRef deviceId, unsigned int) {
    return CallNoThrow<ATHostConnectionRef>(nullptr, [&]() -> ATHostConnectionRef {
        auto library = Utf8(libraryId);
        if (!library || !IsA(deviceId, CFStringGetTypeID())) return nullptr;
        UniqueFd socket = OpenSyncService(deviceId);
        if (!socket.Valid()) return nullptr;
        // The connection is allocated before the socket is handed over (a new-expression
        // allocates before it evaluates the arguments), so a failed allocation still closes it.
        std::unique_ptr<AtcConnection> connection(new AtcConnection(socket.Release(), std::move(*library)));
        const auto handle = AtcConnectionTable::Process().Add(std::move(connection));
        return reinterpret_cast<ATHostConnectionRef>(handle);
    });
}

void ATHostConnectionDestroy(ATHostConnectionRef connection) {
    if (connection == nullptr) return;
    CallNoThrow<bool>(false, [&] { return AtcConnectionTable::Process().Remove(HandleOf(connection)); });
}

ATCFMessageRef ATHostConnectionReadMessage(ATHostConnectionRef connection) {
    return OnConnection<ATCFMessageRef>(connection, nullptr, nullptr,
                                        [](AtcConnection& link) { return link.ReadMessage(); });
}

int ATHostConnectionSendSyncRequest(ATHostConnectionRef connection, CFArrayRef dataclasses, CFDictionaryRef anchors,
                                    CFDictionaryRef hostInfo) {
    return OnConnection<int>(connection, ATERR_INVALID_ARGUMENT, ATERR_NO_MEMORY,
                             [&](AtcConnection& link) { return link.SendSyncRequest(dataclasses, anchors, hostInfo); });
}

int ATHostConnectionSendMetadataSyncFinished(ATHostConnectionRef connection, CFDictionaryRef syncTypes,
                                             CFDictionaryRef anchors) {
    return OnConnection<int>(connection, ATERR_INVALID_ARGUMENT, ATERR_NO_MEMORY,
                             [&](AtcConnection& link) { return link.SendMetadataSyncFinished(syncTypes, anchors); });
}

int ATHostConnectionSendPowerAssertion(ATHostConnectionRef connection, CFBooleanRef on) {
    return OnConnection<int>(connection, ATERR_INVALID_ARGUMENT, ATERR_NO_MEMORY,
                             [&](AtcConnection& link) { return link.SendPowerAssertion(on); });
}

int ATHostConnectionSendFileProgress(ATHostConnectionRef connection, CFStringRef assetId, CFStringRef dataclass,
                                     double assetProgress, int, double overallProgress) {
    return OnConnection<int>(connection, ATERR_INVALID_ARGUMENT, ATERR_NO_MEMORY, [&](AtcConnection& link) {
        return link.SendFileProgress(assetId, dataclass, assetProgress, overallProgress);
    });
}

int ATHostConnectionSendAssetCompleted(ATHostConnectionRef connection, CFStringRef assetId, CFStringRef dataclass,
                                       CFStringRef devicePath) {
    return OnConnection<int>(connection, ATERR_INVALID_ARGUMENT, ATERR_NO_MEMORY, [&](AtcConnection& link) {
        return link.SendAssetCompleted(assetId, dataclass, devicePath);
    });
}

int ATHostConnectionSendHostInfo(ATHostConnectionRef connection, CFDictionaryRef hostInfo) {
    return OnConnection<int>(connection, ATERR_INVALID_ARGUMENT, ATERR_NO_MEMORY,
                             [&](AtcConnection& link) { return link.SendHostInfo(hostInfo); });
}

CFStringRef ATCFMessageGetName(ATCFMessageRef message) {
    if (!IsA(message, CFDictionaryGetTypeID())) return nullptr;
    const void* name = CFDictionaryGetValue(message, CFSTR("Command"));
    return IsA(name, CFStringGetTypeID()) ? static_cast<CFStringRef>(name) : nullptr;
}

CFTypeRef ATCFMessageGetParam(ATCFMessageRef message, CFStringRef name) {
    if (!IsA(message, CFDictionaryGetTypeID()) || name == nullptr) return nullptr;
    const void* params = CFDictionaryGetValue(message, CFSTR("Params"));
    if (!IsA(params, CFDictionaryGetTypeID())) return nullptr;
    return CFDictionaryGetValue(static_cast<CFDictionaryRef>(params), name);
}

}  // extern "C"
