// The phone side of AFC: one session per connection, every path confined beneath the root directory.
#include "AfcServer.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "AfcProtocol.h"

namespace ruvo::afc {

namespace {

// A client may keep this many files open at once; further opens get NO_RESOURCES.
constexpr size_t kMaxOpenFiles = 64;
// Time allowed to finish receiving a packet once it started, and to send a reply.
constexpr int kPacketTimeoutMs = 30000;
// Symbolic links followed while resolving one path, as the kernel's own limit.
constexpr int kMaxLinkHops = 40;
// Components handled while resolving one path, links included: bounds the walk's work.
constexpr int kMaxWalkSteps = 4096;
// Folder depth that REMOVE_PATH_AND_CONTENTS descends; each level holds one descriptor.
constexpr int kMaxRemoveDepth = 128;

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() { return std::exchange(fd_, -1); }
    void Reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

Status StatusOfErrno(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR: return Status::ObjectNotFound;
    case EISDIR: return Status::ObjectIsDir;
    case EACCES:
    case EPERM:
    case EROFS:
    case EXDEV:
    case ENXIO:  // a FIFO without reader, a socket or a device node: not a file to open
        return Status::PermDenied;
    case EEXIST: return Status::ObjectExists;
    case ENOTEMPTY:
        // Devices report a folder that still has entries as an unknown error; there is no
        // device code of its own for it (DIR_NOT_EMPTY is a client-side number).
        return Status::UnknownError;
    case EBUSY: return Status::ObjectBusy;
    case ENOSPC:
    case EDQUOT: return Status::NoSpaceLeft;
    case EINVAL:
    case ENAMETOOLONG:
    case ELOOP: return Status::InvalidArg;
    case EMFILE:
    case ENFILE:
    case ENOMEM: return Status::NoResources;
    case EIO: return Status::IoError;
    default: return Status::UnknownError;
    }
}

// Splits a client path into its components; empty ones and "." say nothing and are dropped,
// ".." is kept for the resolver, which never lets it climb above the root.
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

std::string JoinPath(const std::vector<std::string>& parts) {
    if (parts.empty()) return ".";
    std::string joined;
    for (const std::string& part : parts) {
        if (!joined.empty()) joined += '/';
        joined += part;
    }
    return joined;
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

// Opens paths beneath the root as if the root were "/" of the file system: ".." stops at
// the root and a symbolic link's target (absolute or relative) is looked up inside it.
class Resolver {
public:
    Resolver(UniqueFd root, Resolution resolution)
        : root_(std::move(root)), useOpenat2_(resolution == Resolution::Auto) {}

    int Root() const { return root_.Get(); }

    // Opens the object the components name, following links within the root.
    // Returns the descriptor or -errno.
    int Open(const std::vector<std::string>& parts, int flags, mode_t mode) {
        if (useOpenat2_) {
            int fd = OpenWithKernel(parts, flags, mode);
            if (fd != -ENOSYS) return fd;
            useOpenat2_ = false;
        }
        return OpenByWalk(parts, flags, mode);
    }

private:
    int OpenWithKernel(const std::vector<std::string>& parts, int flags, mode_t mode) {
        std::string path = JoinPath(parts);
        open_how how{};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & O_CREAT) ? mode : 0;
        how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
        for (int attempt = 0;; ++attempt) {
            long fd = syscall(SYS_openat2, root_.Get(), path.c_str(), &how, sizeof how);
            if (fd >= 0) return static_cast<int>(fd);
            // EAGAIN: a rename raced with a ".." step; the kernel asks for a retry.
            if (errno == EAGAIN && attempt < 8) continue;
            return -errno;
        }
    }

    // The same lookup in user space: every component is opened with O_NOFOLLOW relative to
    // the directory before it, links are read and their targets spliced into the remaining
    // components, and ".." pops our own stack of opened directories instead of asking the
    // kernel, so no step can leave the root even while the tree changes underneath.
    int OpenByWalk(const std::vector<std::string>& parts, int flags, mode_t mode) {
        std::vector<UniqueFd> stack;
        std::deque<std::string> todo(parts.begin(), parts.end());
        int hops = 0;
        int steps = 0;
        while (!todo.empty()) {
            if (++steps > kMaxWalkSteps) return -ELOOP;
            std::string part = std::move(todo.front());
            todo.pop_front();
            int current = stack.empty() ? root_.Get() : stack.back().Get();
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
        int current = stack.empty() ? root_.Get() : stack.back().Get();
        int fd = openat(current, ".", flags | O_CLOEXEC, mode);
        return fd >= 0 ? fd : -errno;
    }

    UniqueFd root_;
    bool useOpenat2_;
};

// Where a path-level operation acts: the entry `name` of the directory `dir`, so that the
// final component is never followed; or, when name is empty, the directory itself (the
// path named the root or ended in "..", which has no entry name of its own).
struct Location {
    UniqueFd dir;
    std::string name;
    bool isRoot = false;
    bool IsSelf() const { return name.empty(); }
};

struct Reply {
    Op op = Op::Status;
    std::string data;
    std::string payload;
};

Reply StatusReply(Status status) {
    Reply reply;
    AppendU64(reply.data, static_cast<uint64_t>(status));
    return reply;
}

Reply ErrnoReply(int err) { return StatusReply(StatusOfErrno(err)); }

Reply DataReply(std::string payload) {
    Reply reply;
    reply.op = Op::Data;
    reply.payload = std::move(payload);
    return reply;
}

Reply U64Reply(Op op, uint64_t value) {
    Reply reply;
    reply.op = op;
    AppendU64(reply.data, value);
    return reply;
}

// The NUL-terminated text starting at offset; offset moves past its terminator.
std::optional<std::string_view> TakeCString(std::string_view bytes, size_t& offset) {
    if (offset >= bytes.size()) return std::nullopt;
    size_t end = bytes.find('\0', offset);
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view text = bytes.substr(offset, end - offset);
    offset = end + 1;
    return text;
}

void AppendPair(std::string& out, std::string_view key, std::string_view value) {
    out.append(key);
    out += '\0';
    out.append(value);
    out += '\0';
}

const char* IfmtName(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFREG: return "S_IFREG";
    case S_IFDIR: return "S_IFDIR";
    case S_IFLNK: return "S_IFLNK";
    case S_IFCHR: return "S_IFCHR";
    case S_IFBLK: return "S_IFBLK";
    case S_IFIFO: return "S_IFIFO";
    case S_IFSOCK: return "S_IFSOCK";
    default: return "S_IFMT";
    }
}

uint64_t Nanoseconds(const statx_timestamp& t) { return static_cast<uint64_t>(t.tv_sec) * 1000000000ULL + t.tv_nsec; }

std::optional<int> OpenFlagsOfMode(uint64_t mode) {
    switch (mode) {
    case 1: return O_RDONLY;
    case 2: return O_RDWR | O_CREAT;
    case 3: return O_WRONLY | O_CREAT | O_TRUNC;
    case 4: return O_RDWR | O_CREAT | O_TRUNC;
    case 5: return O_WRONLY | O_APPEND | O_CREAT;
    case 6: return O_RDWR | O_APPEND | O_CREAT;
    default: return std::nullopt;
    }
}

// Removes the entry name of parentFd and, for a folder, everything in it. Links are removed,
// never followed.
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
        int listFd = dup(dir.Get());
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

class AfcSession {
public:
    AfcSession(int fd, Resolver resolver) : fd_(fd), resolver_(std::move(resolver)) {}

    void Run() {
        for (;;) {
            Packet request;
            // Between requests the client may stay idle for as long as it likes.
            if (ReadPacket(fd_, request, -1, kPacketTimeoutMs) != IoResult::Ok) return;
            Reply reply = Dispatch(request);
            if (WritePacket(fd_, request.packetNum, reply.op, reply.data, reply.payload, kPacketTimeoutMs) !=
                IoResult::Ok)
                return;
        }
    }

private:
    struct OpenFile {
        UniqueFd fd;
        int accessMode = O_RDONLY;
    };

    Reply Dispatch(const Packet& request) {
        std::string_view data = request.data;
        switch (static_cast<Op>(request.operation)) {
        case Op::ReadDir: return WithPath(data, &AfcSession::ReadDir);
        case Op::GetFileInfo: return WithPath(data, &AfcSession::GetFileInfo);
        case Op::MakeDir: return WithPath(data, &AfcSession::MakeDir);
        case Op::RemovePath: return WithPath(data, &AfcSession::RemovePath);
        case Op::RemovePathAndContents: return WithPath(data, &AfcSession::RemovePathAndContents);
        case Op::RenamePath: return RenamePath(data);
        case Op::GetDevInfo: return GetDevInfo();
        case Op::FileOpen: return FileOpen(data);
        case Op::FileRead: return FileRead(data);
        case Op::FileWrite: return FileWrite(data, request.payload);
        case Op::FileSeek: return FileSeek(data);
        case Op::FileTell: return FileTell(data);
        case Op::FileSetSize: return FileSetSize(data);
        case Op::FileClose: return FileClose(data);
        default: return StatusReply(Status::UnknownPacketType);
        }
    }

    Reply WithPath(std::string_view data, Reply (AfcSession::*handler)(std::string_view)) {
        size_t offset = 0;
        std::optional<std::string_view> path = TakeCString(data, offset);
        if (!path) return StatusReply(Status::InvalidArg);
        return (this->*handler)(*path);
    }

    // Resolves everything but the final component; see Location.
    std::optional<Status> Locate(std::string_view path, Location& out) {
        std::vector<std::string> parts = SplitPath(path);
        out.isRoot = parts.empty();
        if (parts.empty() || parts.back() == "..") {
            out.name.clear();
        } else {
            out.name = std::move(parts.back());
            parts.pop_back();
        }
        int fd = resolver_.Open(parts, O_PATH | O_DIRECTORY, 0);
        if (fd < 0) return StatusOfErrno(-fd);
        out.dir = UniqueFd(fd);
        return std::nullopt;
    }

    Reply ReadDir(std::string_view path) {
        int fd = resolver_.Open(SplitPath(path), O_RDONLY | O_DIRECTORY, 0);
        if (fd < 0) return ErrnoReply(-fd);
        DirPtr listing(fdopendir(fd));
        if (!listing) {
            int err = errno;
            close(fd);
            return ErrnoReply(err);
        }
        std::vector<std::string> names;
        while (dirent* entry = readdir(listing.get())) {
            std::string_view name = entry->d_name;
            if (name != "." && name != "..") names.emplace_back(name);
        }
        std::sort(names.begin(), names.end());
        std::string payload(".\0..\0", 5);
        for (const std::string& name : names) {
            payload += name;
            payload += '\0';
            if (payload.size() > kMaxPayloadLength) return StatusReply(Status::TooMuchData);
        }
        return DataReply(std::move(payload));
    }

    Reply GetFileInfo(std::string_view path) {
        Location at;
        if (auto failed = Locate(path, at)) return StatusReply(*failed);
        struct statx stx;
        const unsigned mask = STATX_BASIC_STATS | STATX_BTIME;
        int rc = at.IsSelf() ? statx(at.dir.Get(), "", AT_EMPTY_PATH, mask, &stx)
                             : statx(at.dir.Get(), at.name.c_str(), AT_SYMLINK_NOFOLLOW, mask, &stx);
        if (rc != 0) return ErrnoReply(errno);
        // Without a recorded birth time the modification time is the best stand-in.
        const statx_timestamp& birth = (stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_mtime;
        std::string payload;
        AppendPair(payload, "st_size", std::to_string(stx.stx_size));
        AppendPair(payload, "st_blocks", std::to_string(stx.stx_blocks));
        AppendPair(payload, "st_nlink", std::to_string(stx.stx_nlink));
        AppendPair(payload, "st_ifmt", IfmtName(stx.stx_mode));
        AppendPair(payload, "st_mtime", std::to_string(Nanoseconds(stx.stx_mtime)));
        AppendPair(payload, "st_birthtime", std::to_string(Nanoseconds(birth)));
        if (S_ISLNK(stx.stx_mode)) {
            std::optional<std::string> target = ReadLinkAt(at.dir.Get(), at.name.c_str());
            if (!target) return ErrnoReply(errno);
            AppendPair(payload, "LinkTarget", *target);
        }
        return DataReply(std::move(payload));
    }

    Reply MakeDir(std::string_view path) {
        Location at;
        if (auto failed = Locate(path, at)) return StatusReply(*failed);
        if (at.IsSelf()) return StatusReply(Status::ObjectExists);
        if (mkdirat(at.dir.Get(), at.name.c_str(), 0755) != 0) return ErrnoReply(errno);
        return StatusReply(Status::Success);
    }

    // The root cannot be removed or renamed; a path ending in ".." has no entry to act on.
    static Status SelfStatus(const Location& at) { return at.isRoot ? Status::PermDenied : Status::InvalidArg; }

    Reply RemovePath(std::string_view path) {
        Location at;
        if (auto failed = Locate(path, at)) return StatusReply(*failed);
        if (at.IsSelf()) return StatusReply(SelfStatus(at));
        struct stat st;
        if (fstatat(at.dir.Get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return ErrnoReply(errno);
        int flags = S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0;
        if (unlinkat(at.dir.Get(), at.name.c_str(), flags) != 0) {
            // Some file systems say EEXIST for a folder that still has entries.
            return ErrnoReply(errno == EEXIST ? ENOTEMPTY : errno);
        }
        return StatusReply(Status::Success);
    }

    Reply RemovePathAndContents(std::string_view path) {
        Location at;
        if (auto failed = Locate(path, at)) return StatusReply(*failed);
        if (at.IsSelf()) return StatusReply(SelfStatus(at));
        int err = RemoveTree(at.dir.Get(), at.name, 0);
        return err == 0 ? StatusReply(Status::Success) : ErrnoReply(err);
    }

    Reply RenamePath(std::string_view data) {
        size_t offset = 0;
        std::optional<std::string_view> from = TakeCString(data, offset);
        std::optional<std::string_view> to = TakeCString(data, offset);
        if (!from || !to) return StatusReply(Status::InvalidArg);
        Location source;
        Location target;
        if (auto failed = Locate(*from, source)) return StatusReply(*failed);
        if (auto failed = Locate(*to, target)) return StatusReply(*failed);
        if (source.IsSelf()) return StatusReply(SelfStatus(source));
        if (target.IsSelf()) return StatusReply(SelfStatus(target));
        if (renameat(source.dir.Get(), source.name.c_str(), target.dir.Get(), target.name.c_str()) != 0)
            return ErrnoReply(errno);
        return StatusReply(Status::Success);
    }

    Reply GetDevInfo() {
        struct statvfs vfs;
        if (fstatvfs(resolver_.Root(), &vfs) != 0) return ErrnoReply(errno);
        std::string payload;
        AppendPair(payload, "Model", "iPhone");
        AppendPair(payload, "FSTotalBytes", std::to_string(uint64_t{vfs.f_blocks} * vfs.f_frsize));
        AppendPair(payload, "FSFreeBytes", std::to_string(uint64_t{vfs.f_bavail} * vfs.f_frsize));
        AppendPair(payload, "FSBlockSize", std::to_string(vfs.f_bsize));
        return DataReply(std::move(payload));
    }

    Reply FileOpen(std::string_view data) {
        std::optional<uint64_t> mode = ReadU64(data, 0);
        size_t offset = 8;
        std::optional<std::string_view> path = mode ? TakeCString(data, offset) : std::nullopt;
        if (!path) return StatusReply(Status::InvalidArg);
        std::optional<int> flags = OpenFlagsOfMode(*mode);
        if (!flags) return StatusReply(Status::InvalidArg);
        if (files_.size() >= kMaxOpenFiles) return StatusReply(Status::NoResources);

        // O_NONBLOCK keeps a FIFO from stalling the session before we can refuse it.
        int fd = resolver_.Open(SplitPath(*path), *flags | O_NONBLOCK, 0644);
        if (fd < 0) return ErrnoReply(-fd);
        UniqueFd file(fd);
        struct stat st;
        if (fstat(file.Get(), &st) != 0) return ErrnoReply(errno);
        if (S_ISDIR(st.st_mode)) return StatusReply(Status::ObjectIsDir);
        if (!S_ISREG(st.st_mode)) return StatusReply(Status::PermDenied);
        fcntl(file.Get(), F_SETFL, fcntl(file.Get(), F_GETFL) & ~O_NONBLOCK);

        uint64_t handle = nextHandle_++;
        files_[handle] = OpenFile{std::move(file), *flags & O_ACCMODE};
        return U64Reply(Op::FileOpenRes, handle);
    }

    OpenFile* FindFile(std::string_view data) {
        std::optional<uint64_t> handle = ReadU64(data, 0);
        if (!handle) return nullptr;
        auto it = files_.find(*handle);
        return it == files_.end() ? nullptr : &it->second;
    }

    Reply FileRead(std::string_view data) {
        OpenFile* file = FindFile(data);
        std::optional<uint64_t> length = ReadU64(data, 8);
        if (!file || !length) return StatusReply(Status::InvalidArg);
        if (file->accessMode == O_WRONLY) return StatusReply(Status::PermDenied);
        std::string bytes(std::min(*length, kMaxServerReadSize), '\0');
        size_t got = 0;
        while (got < bytes.size()) {
            ssize_t n = read(file->fd.Get(), bytes.data() + got, bytes.size() - got);
            if (n < 0) {
                if (errno == EINTR) continue;
                return StatusReply(Status::ReadError);
            }
            if (n == 0) break;
            got += static_cast<size_t>(n);
        }
        bytes.resize(got);
        return DataReply(std::move(bytes));
    }

    Reply FileWrite(std::string_view data, std::string_view bytes) {
        OpenFile* file = FindFile(data);
        if (!file) return StatusReply(Status::InvalidArg);
        if (file->accessMode == O_RDONLY) return StatusReply(Status::PermDenied);
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(file->fd.Get(), bytes.data() + done, bytes.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                return StatusReply(errno == ENOSPC || errno == EDQUOT ? Status::NoSpaceLeft : Status::WriteError);
            }
            done += static_cast<size_t>(n);
        }
        return StatusReply(Status::Success);
    }

    Reply FileSeek(std::string_view data) {
        OpenFile* file = FindFile(data);
        std::optional<uint64_t> whence = ReadU64(data, 8);
        std::optional<uint64_t> offset = ReadU64(data, 16);
        if (!file || !whence || !offset || *whence > 2) return StatusReply(Status::InvalidArg);
        static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
        if (lseek(file->fd.Get(), static_cast<off_t>(*offset), kWhence[*whence]) < 0) return ErrnoReply(errno);
        return StatusReply(Status::Success);
    }

    Reply FileTell(std::string_view data) {
        OpenFile* file = FindFile(data);
        if (!file) return StatusReply(Status::InvalidArg);
        off_t position = lseek(file->fd.Get(), 0, SEEK_CUR);
        if (position < 0) return ErrnoReply(errno);
        return U64Reply(Op::FileTellRes, static_cast<uint64_t>(position));
    }

    Reply FileSetSize(std::string_view data) {
        OpenFile* file = FindFile(data);
        std::optional<uint64_t> size = ReadU64(data, 8);
        if (!file || !size || *size > static_cast<uint64_t>(INT64_MAX)) return StatusReply(Status::InvalidArg);
        if (file->accessMode == O_RDONLY) return StatusReply(Status::PermDenied);
        if (ftruncate(file->fd.Get(), static_cast<off_t>(*size)) != 0) return ErrnoReply(errno);
        return StatusReply(Status::Success);
    }

    Reply FileClose(std::string_view data) {
        std::optional<uint64_t> handle = ReadU64(data, 0);
        if (!handle || files_.erase(*handle) == 0) return StatusReply(Status::InvalidArg);
        return StatusReply(Status::Success);
    }

    int fd_;  // borrowed: ServeAfc closes it
    Resolver resolver_;
    std::map<uint64_t, OpenFile> files_;
    uint64_t nextHandle_ = 1;
};

}  // namespace

void ServeAfc(int fd, const std::string& rootDir) { ServeAfc(fd, rootDir, ServeOptions{}); }

void ServeAfc(int fd, const std::string& rootDir, const ServeOptions& options) {
    UniqueFd connection(fd);
    UniqueFd root(open(rootDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root.Valid()) return;
    try {
        AfcSession session(connection.Get(), Resolver(std::move(root), options.resolution));
        session.Run();
    } catch (...) {
        // Out of memory inside one session: that connection ends, the phone keeps running.
    }
}

}  // namespace ruvo::afc
