// PlistInput: the structural checks of the property-list layer applied to what the phone reads.
#include "PlistInput.h"

#include "PlistInputCheck.h"

namespace ruvo::phone {

PlistHolder ParsePlistInput(std::string_view bytes, PlistFormats formats) {
    if (bytes.empty() || bytes.size() > cf::kMaxPropertyListBytes) return nullptr;
    plist_t node = nullptr;
    if (bytes.starts_with("bplist00")) {
        if (cf::CheckBinaryStructure(bytes) != cf::InputCheck::Ok) return nullptr;
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    } else {
        if (formats != PlistFormats::XmlOrBinary || cf::CheckXmlNesting(bytes) != cf::InputCheck::Ok) return nullptr;
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    }
    return PlistHolder(node);
}

plist_t DictMember(plist_t dict, const char* key) {
    if (!dict || plist_get_node_type(dict) != PLIST_DICT) return nullptr;
    return plist_dict_get_item(dict, key);
}

std::optional<uint64_t> IntegerMember(plist_t dict, const char* key) {
    plist_t item = DictMember(dict, key);
    if (!item || plist_get_node_type(item) != PLIST_UINT) return std::nullopt;
    uint64_t value = 0;
    plist_get_uint_val(item, &value);
    return value;
}

std::optional<std::string> StringMember(plist_t dict, const char* key) { return PlistString(DictMember(dict, key)); }

std::string ToBinary(plist_t node) {
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    if (!bytes) return std::string();
    std::string out(bytes, length);
    plist_to_bin_free(bytes);
    return out;
}

}  // namespace ruvo::phone
