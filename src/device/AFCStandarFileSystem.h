// AFCStandarFileSystem: the media area of a device ("com.apple.afc"), where the ringtone library lives.
#pragma once

#include "AFCService.h"

class AFCStandarFileSystem : public AFCService {
public:
    using AFCService::AFCService;
};
