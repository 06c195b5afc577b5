// SyncPlan: the ringtone changes a host asked for in the sync property lists it wrote into the media area.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "MediaArea.h"

namespace ruvo::phone {

// The operations of every "Sync_*.plist" in iTunes_Control/Ringtones/Sync, the lists taken in
// the byte order of their names. Each list is a binary property list {"operations": [...],
// "revision", "timestamp"}; "insert_track" needs "pid", "item" {"title", "total_time_ms"} and
// "ringtone_info" {"guid"}, "delete_track" needs "pid". Operations of other kinds are not the
// ringtone agent's and are passed over.
class SyncPlan {
public:
    // One operation of a sync property list that the phone acts on.
    struct Operation {
        enum class Kind { InsertTrack, DeleteTrack };
        Kind kind = Kind::InsertTrack;
        uint64_t pid = 0;  // the persistent id, a 64-bit integer as the list stores it
        // Of an insertion only:
        std::string title;
        std::string guid;
        uint64_t totalTimeMs = 0;
    };

    // A list larger than this is not one a host writes.
    static constexpr size_t kMaxListBytes = size_t{16} << 20;
    static constexpr size_t kMaxLists = 256;

    // Nothing when a list cannot be read or is malformed (then nothing may be applied).
    static std::optional<SyncPlan> Read(MediaArea& media);

    const std::vector<Operation>& Operations() const { return m_operations; }
    size_t InsertCount() const;
    // Removes the lists this plan was read from, each only while it is still the file that was read.
    void RemoveLists(MediaArea& media) const;

private:
    struct ListFile {
        std::string name;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
    };

    std::vector<Operation> m_operations;
    std::vector<ListFile> m_lists;
};

}  // namespace ruvo::phone
