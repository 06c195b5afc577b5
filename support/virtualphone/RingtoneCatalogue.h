// RingtoneCatalogue: the phone's list of its ringtones (iTunes_Control/iTunes/Ringtones.plist), read, changed and written back whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "MediaArea.h"
#include "PlistHolder.h"

namespace ruvo::phone {

// The catalogue is a binary property list {"Ringtones": {file name: entry}}, each file name
// relative to iTunes_Control/Ringtones and each entry a dictionary with "Name", "GUID", "PID",
// "Total Time" and "Protected Content" (and whatever else a phone keeps there, which is kept).
class RingtoneCatalogue {
public:
    // What a listing shows of an entry.
    struct Entry {
        std::string file;
        std::string name;
        std::optional<uint64_t> pid;          // a 64-bit integer as the file stores it
        std::optional<uint64_t> totalTimeMs;  // likewise
    };

    // Catalogues of thousands of tones stay far below this.
    static constexpr size_t kMaxBytes = size_t{16} << 20;
    // Where the catalogue lives in the media area, and the folder of the tones it lists.
    static const std::vector<std::string>& FilePath();
    static const std::vector<std::string>& TonesFolder();

    // The catalogue of the media area; an empty one when there is none. Nothing when the file
    // cannot be read or does not hold a catalogue.
    static std::optional<RingtoneCatalogue> Load(MediaArea& media);

    // Sorted by file name, byte by byte.
    std::vector<Entry> Entries() const;
    bool HasFile(const std::string& file) const;
    // Removes every entry with that persistent id and returns their file names.
    std::vector<std::string> RemovePid(uint64_t pid);
    void Add(const std::string& file, const std::string& name, const std::string& guid, uint64_t pid,
             uint64_t totalTimeMs);
    // Writes the catalogue as a binary property list in place of the old one, atomically.
    bool Save(MediaArea& media) const;

private:
    explicit RingtoneCatalogue(PlistHolder root);
    plist_t Tones() const;

    PlistHolder m_root;
};

}  // namespace ruvo::phone
