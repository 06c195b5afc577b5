// RemoveTree: depth-first removal that never follows a link out of the tree.
#include "RemoveTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>
#include <vector>

#include "UniqueFd.h"

namespace ruvo::afc {
namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

}  // namespace

int RemoveTree(int parentFd, const std::string& name, int depth) {
    int fd = openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOTDIR && errno != ELOOP) return errno;
        return unlinkat(parentFd, name.c_str(), 0) == 0 ? 0 : errno;
    }
    UniqueFd dir(fd);
    if (depth >= kMaxRemoveDepth) return ENAMETOOLONG;

    std::vector<std::string> names;
    {
        int listFd = fcntl(dir.Get(), F_DUPFD_CLOEXEC, 0);
        if (listFd < 0) return errno;
        DirPtr listing(fdopendir(listFd));
        if (!listing) {
            int err = errno;
            close(listFd);
            return err;
        }
        while (dirent* entry = readdir(listing.get())) {
            std::string_view entryName = entry->d_name;
            if (entryName != "." && entryName != "..") names.emplace_back(entryName);
        }
    }
    for (const std::string& entry : names) {
        struct stat st;
        if (fstatat(dir.Get(), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;
            return errno;
        }
        int err = S_ISDIR(st.st_mode) ? RemoveTree(dir.Get(), entry, depth + 1)
                                      : (unlinkat(dir.Get(), entry.c_str(), 0) == 0 ? 0 : errno);
        if (err != 0 && err != ENOENT) return err;
    }
    return unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

}  // namespace ruvo::afc
