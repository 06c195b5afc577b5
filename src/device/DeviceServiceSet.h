// DeviceServiceSet: a device link's services, copied into every service object bound to the link.
#pragma once

#include "AppleTypes.h"

class AFCFullFileSystem;
class AFCStandarFileSystem;
class AFCApplicationDirectory;
class DeviceInfo;

// Borrowed pointers: the link owns them. A service bound to a link reaches the link's other
// services through them (the device identifier in deviceInfo, files of the media area).
struct DeviceServiceSet {
    AFCFullFileSystem* fullFileSystem = nullptr;
    AFCStandarFileSystem* mediaFileSystem = nullptr;
    AFCApplicationDirectory* appContainer = nullptr;
    DeviceInfo* deviceInfo = nullptr;
    apple::AMDeviceRef device = nullptr;
};
