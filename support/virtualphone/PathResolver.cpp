// PathResolver: client paths confined beneath a root, by openat2 or by a walk in user space.
#include "PathResolver.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <deque>
#include <utility>

namespace ruvo::afc {
namespace {

// Symbolic links followed while resolving one path, as the kernel's own limit.
constexpr int kMaxLinkHops = 40;
// Components handled while resolving one path, links included: bounds the walk's work.
constexpr int kMaxWalkSteps = 4096;

std::string JoinPath(const std::vector<std::string>& parts) {
    if (parts.empty()) return ".";
    std::string joined;
    for (const std::string& part : parts) {
        if (!joined.empty()) joined += '/';
        joined += part;
    }
    return joined;
}

long Openat2(int dirFd, const char* path, int flags, mode_t mode) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    return syscall(SYS_openat2, dirFd, path, &how, sizeof how);
}

}  // namespace

std::vector<std::string> SplitPath(std::string_view path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != ".") parts.emplace_back(part);
        start = end + 1;
    }
    return parts;
}

std::optional<std::string> ReadLinkAt(int dirFd, const char* name) {
    std::string target(PATH_MAX, '\0');
    ssize_t n = readlinkat(dirFd, name, target.data(), target.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) >= target.size()) {
        errno = ENAMETOOLONG;
        return std::nullopt;
    }
    target.resize(static_cast<size_t>(n));
    return target;
}

bool KernelConfinesLookups() {
    static const bool works = [] {
        long fd = Openat2(AT_FDCWD, "/", O_PATH | O_DIRECTORY, 0);
        if (fd < 0) return false;
        ::close(static_cast<int>(fd));
        return true;
    }();
    return works;
}

PathResolver::PathResolver(UniqueFd root, Resolution resolution)
    : m_root(std::move(root)), m_useOpenat2(resolution == Resolution::Auto && KernelConfinesLookups()) {}

int PathResolver::Open(const std::vector<std::string>& parts, int flags, mode_t mode) {
    return m_useOpenat2 ? OpenWithKernel(parts, flags, mode) : OpenByWalk(parts, flags, mode);
}

int PathResolver::OpenWithKernel(const std::vector<std::string>& parts, int flags, mode_t mode) {
    std::string path = JoinPath(parts);
    for (int attempt = 0;; ++attempt) {
        long fd = Openat2(m_root.Get(), path.c_str(), flags, mode);
        if (fd >= 0) return static_cast<int>(fd);
        // EAGAIN: a rename raced with a ".." step; the kernel asks for a retry.
        if (errno == EAGAIN && attempt < 8) continue;
        return -errno;
    }
}

// The same lookup in user space: every component is opened with O_NOFOLLOW relative to the
// directory before it, links are read and their targets spliced into the remaining components,
// and ".." pops our own stack of opened directories instead of asking the kernel, so no step
// can leave the root even while the tree changes underneath.
int PathResolver::OpenByWalk(const std::vector<std::string>& parts, int flags, mode_t mode) {
    std::vector<UniqueFd> stack;
    std::deque<std::string> todo(parts.begin(), parts.end());
    int hops = 0;
    int steps = 0;
    while (!todo.empty()) {
        if (++steps > kMaxWalkSteps) return -ELOOP;
        std::string part = std::move(todo.front());
        todo.pop_front();
        int current = stack.empty() ? m_root.Get() : stack.back().Get();
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!stack.empty()) stack.pop_back();
            continue;
        }
        struct stat st;
        if (fstatat(current, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            if (++hops > kMaxLinkHops) return -ELOOP;
            std::optional<std::string> target = ReadLinkAt(current, part.c_str());
            if (!target || target->empty()) return -ENOENT;
            if ((*target)[0] == '/') stack.clear();
            std::vector<std::string> spliced = SplitPath(*target);
            todo.insert(todo.begin(), spliced.begin(), spliced.end());
            continue;
        }
        if (todo.empty()) {
            int fd = openat(current, part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
            return fd >= 0 ? fd : -errno;
        }
        int fd = openat(current, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return -errno;
        stack.emplace_back(fd);
    }
    // The path ended on a directory reached by ".." or named the root itself.
    int current = stack.empty() ? m_root.Get() : stack.back().Get();
    int fd = openat(current, ".", flags | O_CLOEXEC, mode);
    return fd >= 0 ? fd : -errno;
}

}  // namespace ruvo::afc
