// RingtoneCatalogue: reading, changing and atomically rewriting the phone's ringtone catalogue.
#include "RingtoneCatalogue.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "PlistInput.h"

namespace ruvo::phone {
namespace {

constexpr const char* kTonesKey = "Ringtones";

// Every member of a dictionary, with its key; the values stay the dictionary's.
std::vector<std::pair<std::string, plist_t>> Members(plist_t dict) {
    std::vector<std::pair<std::string, plist_t>> members;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(dict, &iter);
    if (!iter) return members;
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, iter, &key, &value);
        if (!key) break;
        members.emplace_back(key, value);
        std::free(key);
    }
    std::free(iter);
    return members;
}

}  // namespace

const std::vector<std::string>& RingtoneCatalogue::FilePath() {
    static const std::vector<std::string> path{"iTunes_Control", "iTunes", "Ringtones.plist"};
    return path;
}

const std::vector<std::string>& RingtoneCatalogue::TonesFolder() {
    static const std::vector<std::string> path{"iTunes_Control", "Ringtones"};
    return path;
}

RingtoneCatalogue::RingtoneCatalogue(PlistHolder root) : m_root(std::move(root)) {}

std::optional<RingtoneCatalogue> RingtoneCatalogue::Load(MediaArea& media) {
    std::string bytes;
    switch (media.ReadFile(FilePath(), kMaxBytes, bytes)) {
    case FileRead::Missing: {
        PlistHolder root(plist_new_dict());
        plist_dict_set_item(root.get(), kTonesKey, plist_new_dict());
        return RingtoneCatalogue(std::move(root));
    }
    case FileRead::Failed: return std::nullopt;
    case FileRead::Ok: break;
    }
    PlistHolder root = ParsePlistInput(bytes, PlistFormats::XmlOrBinary);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
    plist_t tones = plist_dict_get_item(root.get(), kTonesKey);
    if (!tones) {
        plist_dict_set_item(root.get(), kTonesKey, plist_new_dict());
    } else if (plist_get_node_type(tones) != PLIST_DICT) {
        return std::nullopt;
    }
    return RingtoneCatalogue(std::move(root));
}

plist_t RingtoneCatalogue::Tones() const { return plist_dict_get_item(m_root.get(), kTonesKey); }

std::vector<RingtoneCatalogue::Entry> RingtoneCatalogue::Entries() const {
    std::vector<Entry> entries;
    for (const auto& [file, value] : Members(Tones())) {
        Entry entry;
        entry.file = file;
        entry.name = StringMember(value, "Name").value_or("");
        entry.pid = IntegerMember(value, "PID");
        entry.totalTimeMs = IntegerMember(value, "Total Time");
        entries.push_back(std::move(entry));
    }
    // std::string compares as unsigned bytes (char_traits<char>::lt), so this is byte order.
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.file < b.file; });
    return entries;
}

bool RingtoneCatalogue::HasFile(const std::string& file) const {
    return plist_dict_get_item(Tones(), file.c_str()) != nullptr;
}

std::vector<std::string> RingtoneCatalogue::RemovePid(uint64_t pid) {
    std::vector<std::string> removed;
    for (const auto& [file, value] : Members(Tones()))
        if (IntegerMember(value, "PID") == pid) removed.push_back(file);
    for (const std::string& file : removed) plist_dict_remove_item(Tones(), file.c_str());
    return removed;
}

void RingtoneCatalogue::Add(const std::string& file, const std::string& name, const std::string& guid, uint64_t pid,
                            uint64_t totalTimeMs) {
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, "Name", plist_new_string(name.c_str()));
    plist_dict_set_item(entry, "GUID", plist_new_string(guid.c_str()));
    plist_dict_set_item(entry, "PID", plist_new_uint(pid));
    plist_dict_set_item(entry, "Total Time", plist_new_uint(totalTimeMs));
    plist_dict_set_item(entry, "Protected Content", plist_new_bool(0));
    plist_dict_set_item(Tones(), file.c_str(), entry);
}

bool RingtoneCatalogue::Save(MediaArea& media) const {
    const std::string bytes = ToBinary(m_root.get());
    return !bytes.empty() && media.ReplaceFile(FilePath(), bytes);
}

}  // namespace ruvo::phone
