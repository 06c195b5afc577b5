// AfcSession: the AFC request handlers of the phone side, every path confined beneath the root.
#include "AfcSession.h"

#include <sys/socket.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <utility>
#include <vector>

#include "RemoveTree.h"
#include "WaitBound.h"

namespace ruvo::afc {
namespace {

// Time allowed to finish receiving a packet once it started, and to send a reply.
constexpr int kPacketTimeoutMs = 30000;

int PacketTimeoutMs() {
    static const int bound = WaitBoundMs(kReceiveTimeoutVariable, kPacketTimeoutMs);
    return bound;
}

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

}  // namespace

AfcSession::AfcSession(int fd, PathResolver resolver) : m_fd(fd), m_resolver(std::move(resolver)) {
    // Room for a whole transfer piece in the socket, so that a file read is sent in one go
    // rather than in as many turns as the default buffer takes (the kernel may give less).
    const int size = static_cast<int>(kClientChunkSize + kHeaderSize);
    setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

void AfcSession::Run() {
    for (;;) {
        Packet request;
        // Between requests the client may stay idle for as long as it likes.
        if (ReadPacket(m_fd, request, -1, PacketTimeoutMs()) != IoResult::Ok) return;
        Reply reply = Dispatch(request);
        if (WritePacket(m_fd, request.packetNum, reply.op, reply.data, reply.payload, PacketTimeoutMs()) !=
            IoResult::Ok)
            return;
        // The next file read fills this block again instead of a new one.
        if (reply.payload.capacity() > m_readBlock.capacity()) m_readBlock = std::move(reply.payload);
    }
}

Reply AfcSession::Dispatch(const Packet& request) {
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

Reply AfcSession::WithPath(std::string_view data, Reply (AfcSession::*handler)(std::string_view)) {
    size_t offset = 0;
    std::optional<std::string_view> path = TakeCString(data, offset);
    if (!path) return StatusReply(Status::InvalidArg);
    return (this->*handler)(*path);
}

std::optional<Status> AfcSession::Locate(std::string_view path, Location& out) {
    std::vector<std::string> parts = SplitPath(path);
    out.isRoot = parts.empty();
    if (parts.empty() || parts.back() == "..") {
        out.name.clear();
    } else {
        out.name = std::move(parts.back());
        parts.pop_back();
    }
    int fd = m_resolver.Open(parts, O_PATH | O_DIRECTORY, 0);
    if (fd < 0) return StatusOfErrno(-fd);
    out.dir = UniqueFd(fd);
    return std::nullopt;
}

Reply AfcSession::ReadDir(std::string_view path) {
    int fd = m_resolver.Open(SplitPath(path), O_RDONLY | O_DIRECTORY, 0);
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

Reply AfcSession::GetFileInfo(std::string_view path) {
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

Reply AfcSession::MakeDir(std::string_view path) {
    Location at;
    if (auto failed = Locate(path, at)) return StatusReply(*failed);
    if (at.IsSelf()) return StatusReply(Status::ObjectExists);
    if (mkdirat(at.dir.Get(), at.name.c_str(), 0755) != 0) return ErrnoReply(errno);
    return StatusReply(Status::Success);
}

Status AfcSession::SelfStatus(const Location& at) { return at.isRoot ? Status::PermDenied : Status::InvalidArg; }

Reply AfcSession::RemovePath(std::string_view path) {
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

Reply AfcSession::RemovePathAndContents(std::string_view path) {
    Location at;
    if (auto failed = Locate(path, at)) return StatusReply(*failed);
    if (at.IsSelf()) return StatusReply(SelfStatus(at));
    int err = RemoveTree(at.dir.Get(), at.name, 0);
    return err == 0 ? StatusReply(Status::Success) : ErrnoReply(err);
}

Reply AfcSession::RenamePath(std::string_view data) {
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

Reply AfcSession::GetDevInfo() {
    struct statvfs vfs;
    if (fstatvfs(m_resolver.Root(), &vfs) != 0) return ErrnoReply(errno);
    std::string payload;
    AppendPair(payload, "Model", "iPhone");
    AppendPair(payload, "FSTotalBytes", std::to_string(uint64_t{vfs.f_blocks} * vfs.f_frsize));
    AppendPair(payload, "FSFreeBytes", std::to_string(uint64_t{vfs.f_bavail} * vfs.f_frsize));
    AppendPair(payload, "FSBlockSize", std::to_string(vfs.f_bsize));
    return DataReply(std::move(payload));
}

Reply AfcSession::FileOpen(std::string_view data) {
    std::optional<uint64_t> mode = ReadU64(data, 0);
    size_t offset = 8;
    std::optional<std::string_view> path = mode ? TakeCString(data, offset) : std::nullopt;
    if (!path) return StatusReply(Status::InvalidArg);
    std::optional<int> flags = OpenFlagsOfMode(*mode);
    if (!flags) return StatusReply(Status::InvalidArg);
    if (m_files.size() >= kMaxOpenFiles) return StatusReply(Status::NoResources);

    // O_NONBLOCK keeps a FIFO from stalling the session before we can refuse it.
    int fd = m_resolver.Open(SplitPath(*path), *flags | O_NONBLOCK, 0644);
    if (fd < 0) return ErrnoReply(-fd);
    UniqueFd file(fd);
    struct stat st;
    if (fstat(file.Get(), &st) != 0) return ErrnoReply(errno);
    if (S_ISDIR(st.st_mode)) return StatusReply(Status::ObjectIsDir);
    if (!S_ISREG(st.st_mode)) return StatusReply(Status::PermDenied);
    fcntl(file.Get(), F_SETFL, fcntl(file.Get(), F_GETFL) & ~O_NONBLOCK);

    uint64_t handle = m_nextHandle++;
    m_files[handle] = OpenFile{std::move(file), *flags & O_ACCMODE};
    return U64Reply(Op::FileOpenRes, handle);
}

AfcSession::OpenFile* AfcSession::FindFile(std::string_view data) {
    std::optional<uint64_t> handle = ReadU64(data, 0);
    if (!handle) return nullptr;
    auto it = m_files.find(*handle);
    return it == m_files.end() ? nullptr : &it->second;
}

Reply AfcSession::FileRead(std::string_view data) {
    OpenFile* file = FindFile(data);
    std::optional<uint64_t> length = ReadU64(data, 8);
    if (!file || !length) return StatusReply(Status::InvalidArg);
    if (file->accessMode == O_WRONLY) return StatusReply(Status::PermDenied);
    // The block of the previous read, when there is one, is filled again: its old bytes are
    // overwritten or cut off below.
    std::string bytes = std::move(m_readBlock);
    bytes.resize(static_cast<size_t>(std::min(*length, kMaxServerReadSize)));
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

Reply AfcSession::FileWrite(std::string_view data, std::string_view bytes) {
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

Reply AfcSession::FileSeek(std::string_view data) {
    OpenFile* file = FindFile(data);
    std::optional<uint64_t> whence = ReadU64(data, 8);
    std::optional<uint64_t> offset = ReadU64(data, 16);
    if (!file || !whence || !offset || *whence > 2) return StatusReply(Status::InvalidArg);
    static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (lseek(file->fd.Get(), static_cast<off_t>(*offset), kWhence[*whence]) < 0) return ErrnoReply(errno);
    return StatusReply(Status::Success);
}

Reply AfcSession::FileTell(std::string_view data) {
    OpenFile* file = FindFile(data);
    if (!file) return StatusReply(Status::InvalidArg);
    off_t position = lseek(file->fd.Get(), 0, SEEK_CUR);
    if (position < 0) return ErrnoReply(errno);
    return U64Reply(Op::FileTellRes, static_cast<uint64_t>(position));
}

Reply AfcSession::FileSetSize(std::string_view data) {
    OpenFile* file = FindFile(data);
    std::optional<uint64_t> size = ReadU64(data, 8);
    if (!file || !size || *size > static_cast<uint64_t>(INT64_MAX)) return StatusReply(Status::InvalidArg);
    if (file->accessMode == O_RDONLY) return StatusReply(Status::PermDenied);
    if (ftruncate(file->fd.Get(), static_cast<off_t>(*size)) != 0) return ErrnoReply(errno);
    return StatusReply(Status::Success);
}

Reply AfcSession::FileClose(std::string_view data) {
    std::optional<uint64_t> handle = ReadU64(data, 0);
    if (!handle || m_files.erase(*handle) == 0) return StatusReply(Status::InvalidArg);
    return StatusReply(Status::Success);
}

}  // namespace ruvo::afc
