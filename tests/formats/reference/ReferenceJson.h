// ReferenceJson: the JSON reader and writer as they were before they were made linear, kept for
// tests only. The differential tests and the json_diff fuzz target hold CJson::Parse, ToString and
// Mask to exactly what these give.
#pragma once

#include <string>

class CJson;

namespace reference {

// The previous CJson::Parse: copies and re-tokenises what is left at every level.
CJson* ParseJson(const std::u16string& text);
// The previous CJson::ToString of node (read through the public getters).
std::u16string ToString(CJson* node);
// The previous CJson::Mask.
std::u16string Mask(const std::u16string& text);

// Whether two trees are the same: key, value, type name, data block and children, in order.
// On a difference, where says which node differs and how.
bool SameTree(CJson* a, CJson* b, std::string* where = nullptr);

}  // namespace reference
