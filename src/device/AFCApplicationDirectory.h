// AFCApplicationDirectory: the container of one installed app, vended by house_arrest and read over AFC.
#pragma once

#include "AFCService.h"

class AFCApplicationDirectory : public AFCService {
public:
    using AFCService::AFCService;
    // Asks house_arrest for the app's container and opens AFC on the same connection; true when
    // the reply's "Status" is "Complete" (in any letter case).
    bool VendContainer(const char* bundleId);
};
