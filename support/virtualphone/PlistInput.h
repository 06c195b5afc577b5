// PlistInput: property lists that reach the phone from outside, checked before libplist reads them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "PlistHolder.h"

namespace ruvo::phone {

enum class PlistFormats { BinaryOnly, XmlOrBinary };

// The property list in bytes, nothing when it is malformed, nested deeper or sharing more than
// libplist can safely take (its readers recurse without limit), or in a format not accepted.
PlistHolder ParsePlistInput(std::string_view bytes, PlistFormats formats);

// The member key of dict (borrowed), null when it is missing or dict is not a dictionary.
plist_t DictMember(plist_t dict, const char* key);
// An integer member, nothing when it is missing or not an integer.
std::optional<uint64_t> IntegerMember(plist_t dict, const char* key);
// A string member read with its length, nothing when it is missing, not a string or holds U+0000.
std::optional<std::string> StringMember(plist_t dict, const char* key);
// The node written as a binary property list; empty when it cannot be written.
std::string ToBinary(plist_t node);

}  // namespace ruvo::phone
