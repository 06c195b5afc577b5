// PlistHolder: owns a libplist node tree and frees it when it goes.
#pragma once

#include <plist/plist.h>

#include <memory>

namespace ruvo {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistHolder = std::unique_ptr<void, PlistFree>;

}  // namespace ruvo
