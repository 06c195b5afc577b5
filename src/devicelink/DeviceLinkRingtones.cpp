// DeviceLinkRingtones: the device link's ringtone operations, each one Medias bound to service connections of its own, run in its phone's turn.
#include <chrono>
#include <memory>
#include <optional>

#include "AFCStandarFileSystem.h"
#include "DeviceInfo.h"
#include "DeviceLink.h"
#include "DeviceLinkFunctions.h"
#include "DeviceManager.h"
#include "Medias.h"
#include "RingtoneTurn.h"

namespace {

// How long an operation waits for its phone's turn: twice the longest the operation ahead can
// wait for the phone (four session messages, each within one sync wait, and two sync lists, each
// within the remote-size bound), so that one ends even when the phone is slow at every step. An
// operation that would wait longer fails (the app hears that the system is busy) rather than
// keeping its worker thread.
std::chrono::milliseconds TurnWaitBound() {
    return 2 * (4 * SyncService::WaitBound() + 2 * std::chrono::milliseconds(SyncService::kRemoteSizeWaitBound));
}

// The services one ringtone operation works with: a media file system and a device record of
// its own, for the device and identifier of one snapshot of the link. Nothing here is the
// link's, so the notification thread may replace the link's services meanwhile.
struct OperationServices {
    explicit OperationServices(const DeviceLink::DeviceSnapshot& snapshot)
        : device(snapshot.device), media(device), info(device) {
        info.deviceIdentifier = snapshot.identifier;
    }
    ~OperationServices() {
        media.Close();
        info.Close();
    }
    DeviceServiceSet Set() { return {nullptr, &media, nullptr, &info, device}; }

    apple::AMDeviceRef device;
    AFCStandarFileSystem media;
    DeviceInfo info;
};

// Runs the operation on a Medias bound to services of its own, in the turn of the link's phone;
// failed when the turn did not come in time. The services end before the turn is handed on.
template <typename Result, typename Operation>
Result InPhoneTurn(DeviceLink& link, Result failed, Operation operation) {
    const DeviceLink::DeviceSnapshot snapshot = link.Snapshot();
    // A link without an identifier has nothing to sync with; it still takes a turn (its own
    // line), which costs nothing and keeps one course for every operation.
    RingtoneTurn turn(snapshot.identifier.value_or(std::string()), TurnWaitBound());
    if (!turn.Held()) return failed;
    OperationServices services(snapshot);
    Medias medias;
    medias.Bind(services.Set());
    return operation(medias);
}

}  // namespace

CJson* DeviceLink::ListRingtones() {
    // The list waits for its turn too: in the middle of another operation's session the phone may
    // be rewriting the catalogue.
    return InPhoneTurn<CJson*>(*this, nullptr, [](Medias& medias) { return medias.ReadRingtoneCatalogue(); });
}

int DeviceLink::AddRingtone(const unsigned char* data, int length, const char* title, int durationSeconds) {
    return InPhoneTurn(
        *this, 0, [&](Medias& medias) { return medias.AddRingtone(data, length, title, durationSeconds) ? 1 : 0; });
}

int DeviceLink::DeleteRingtones(const std::u16string& pidJson) {
    return InPhoneTurn(*this, 0, [&](Medias& medias) { return medias.DeleteRingtones(pidJson) ? 1 : 0; });
}

int DeleteDeviceRingtones(const std::u16string& pidJson, int linkIndex) {
    DeviceLink* link = GetDeviceLink(linkIndex);
    return link ? link->DeleteRingtones(pidJson) : 0;
}
