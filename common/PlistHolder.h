// PlistHolder: owns a libplist node tree and frees it when it goes; reads its strings safely.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace ruvo {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistHolder = std::unique_ptr<void, PlistFree>;

// The text of a string node, nothing for another node or a string holding U+0000. Read with its
// length: libplist's copying getter aborts the process on such a string, which a file or a
// client can hand in.
inline std::optional<std::string> PlistString(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    uint64_t length = 0;
    const char* value = plist_get_string_ptr(node, &length);
    if (!value) return std::nullopt;
    std::string text(value, static_cast<size_t>(length));
    if (text.find('\0') != std::string::npos) return std::nullopt;
    return text;
}

}  // namespace ruvo
