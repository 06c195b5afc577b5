// SyncPlan: reading the ringtone sync property lists into the operations they ask for.
#include "SyncPlan.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "PlistInput.h"

namespace ruvo::phone {
namespace {

const std::vector<std::string> kSyncFolder{"iTunes_Control", "Ringtones", "Sync"};

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

bool IsListName(const std::string& name) {
    constexpr std::string_view kPrefix = "Sync_";
    constexpr std::string_view kSuffix = ".plist";
    return name.size() > kPrefix.size() + kSuffix.size() && name.starts_with(kPrefix) && name.ends_with(kSuffix);
}

// The names of the lists in the folder, in byte order; nothing when the folder cannot be read.
std::optional<std::vector<std::string>> ListNames(int folderFd) {
    const int fd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return std::nullopt;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (IsListName(name)) names.push_back(std::move(name));
        if (names.size() > SyncPlan::kMaxLists) return std::nullopt;
    }
    if (errno != 0) return std::nullopt;
    std::sort(names.begin(), names.end());
    return names;
}

// Reads one list's operations into out; false when the list is malformed.
bool ReadOperations(plist_t list, std::vector<SyncPlan::Operation>& out) {
    if (!list || plist_get_node_type(list) != PLIST_DICT) return false;
    plist_t operations = plist_dict_get_item(list, "operations");
    if (!operations || plist_get_node_type(operations) != PLIST_ARRAY) return false;
    for (uint32_t i = 0; i < plist_array_get_size(operations); ++i) {
        plist_t item = plist_array_get_item(operations, i);
        const auto kind = StringMember(item, "operation");
        if (!kind) return false;
        SyncPlan::Operation operation;
        if (*kind == "insert_track") {
            operation.kind = SyncPlan::Operation::Kind::InsertTrack;
            const auto pid = IntegerMember(item, "pid");
            plist_t track = DictMember(item, "item");
            const auto title = StringMember(track, "title");
            const auto totalTime = IntegerMember(track, "total_time_ms");
            const auto guid = StringMember(DictMember(item, "ringtone_info"), "guid");
            if (!pid || !title || !totalTime || !guid) return false;
            operation.pid = *pid;
            operation.title = *title;
            operation.totalTimeMs = *totalTime;
            operation.guid = *guid;
        } else if (*kind == "delete_track") {
            operation.kind = SyncPlan::Operation::Kind::DeleteTrack;
            const auto pid = IntegerMember(item, "pid");
            if (!pid) return false;
            operation.pid = *pid;
        } else {
            continue;
        }
        out.push_back(std::move(operation));
    }
    return true;
}

}  // namespace

std::optional<SyncPlan> SyncPlan::Read(MediaArea& media) {
    SyncPlan plan;
    const UniqueFd folder = media.OpenFolder(kSyncFolder);
    if (!folder.Valid()) {
        // No folder, no lists: a sync without changes.
        if (errno == ENOENT) return plan;
        return std::nullopt;
    }
    const auto names = ListNames(folder.Get());
    if (!names) return std::nullopt;
    for (const std::string& name : *names) {
        // The list itself is never followed if it is a link: its bytes must be the media area's own.
        UniqueFd file(::openat(folder.Get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!file.Valid()) return std::nullopt;
        struct stat st {};
        if (::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uintmax_t>(st.st_size) > kMaxListBytes)
            return std::nullopt;
        std::string bytes(static_cast<size_t>(st.st_size), '\0');
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(file.Get(), bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::nullopt;
            done += static_cast<size_t>(n);
        }
        const PlistHolder list = ParsePlistInput(bytes, PlistFormats::BinaryOnly);
        if (!ReadOperations(list.get(), plan.m_operations)) return std::nullopt;
        plan.m_lists.push_back(ListFile{name, st.st_dev, st.st_ino, st.st_size, st.st_mtim});
    }
    return plan;
}

size_t SyncPlan::InsertCount() const {
    return static_cast<size_t>(
        std::count_if(m_operations.begin(), m_operations.end(),
                      [](const SyncPlan::Operation& op) { return op.kind == SyncPlan::Operation::Kind::InsertTrack; }));
}

void SyncPlan::RemoveLists(MediaArea& media) const {
    const UniqueFd folder = media.OpenFolder(kSyncFolder);
    if (!folder.Valid()) return;
    for (const ListFile& list : m_lists) {
        struct stat st {};
        if (::fstatat(folder.Get(), list.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        // A host that has already written its next list under the same name keeps it.
        const bool same = st.st_dev == list.device && st.st_ino == list.inode && st.st_size == list.size &&
                          st.st_mtim.tv_sec == list.modified.tv_sec && st.st_mtim.tv_nsec == list.modified.tv_nsec;
        if (same) ::unlinkat(folder.Get(), list.name.c_str(), 0);
    }
}

}  // namespace ruvo::phone
