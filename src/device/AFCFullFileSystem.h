// AFCFullFileSystem: the whole file system of a device ("com.apple.afc2"), when the device offers it.
#pragma once

#include "AFCService.h"

class AFCFullFileSystem : public AFCService {
public:
    using AFCService::AFCService;
    int Open() override;
};
