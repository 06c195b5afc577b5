// CFHolder: owns one reference to a CoreFoundation value and releases it when it goes.
#pragma once

#include <memory>

#include "CoreFoundation.h"

namespace ruvo::cf {

struct CFReleaser {
    void operator()(CFTypeRef value) const {
        if (value != nullptr) CFRelease(value);
    }
};
using CFHolder = std::unique_ptr<const void, CFReleaser>;

}  // namespace ruvo::cf
