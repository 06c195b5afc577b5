// DeviceLinkRingtones: the device link's ringtone operations, each one Medias bound to service connections of its own.
#include <memory>
#include <optional>

#include "AFCStandarFileSystem.h"
#include "DeviceInfo.h"
#include "DeviceLink.h"
#include "DeviceLinkFunctions.h"
#include "DeviceManager.h"
#include "Medias.h"

namespace {

// The services one ringtone operation works with: a media file system and a device record of
// its own, holding the identifier taken from the link. Nothing here is the link's, so the
// notification thread may replace the link's services meanwhile.
struct OperationServices {
    explicit OperationServices(DeviceLink& link) : device(link.Device()), media(device), info(device) {
        info.deviceIdentifier = link.DeviceIdentifier();
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

}  // namespace

CJson* DeviceLink::ListRingtones() {
    OperationServices services(*this);
    Medias medias;
    medias.Bind(services.Set());
    return medias.ReadRingtoneCatalogue();
}

int DeviceLink::AddRingtone(const unsigned char* data, int length, const char* title, int durationSeconds) {
    OperationServices services(*this);
    Medias medias;
    medias.Bind(services.Set());
    return medias.AddRingtone(data, length, title, durationSeconds) ? 1 : 0;
}

int DeviceLink::DeleteRingtones(const std::u16string& pidJson) {
    OperationServices services(*this);
    Medias medias;
    medias.Bind(services.Set());
    return medias.DeleteRingtones(pidJson) ? 1 : 0;
}

int DeleteDeviceRingtones(const std::u16string& pidJson, int linkIndex) {
    DeviceLink* link = GetDeviceLink(linkIndex);
    return link ? link->DeleteRingtones(pidJson) : 0;
}
