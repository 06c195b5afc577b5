// AfcSession: the phone side of one AFC connection, answering each request on files beneath its root.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "AfcProtocol.h"
#include "PathResolver.h"
#include "UniqueFd.h"

namespace ruvo::afc {

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

// Serves requests one after another until the peer closes the connection, sends a malformed
// packet or stops answering in the middle of a packet.
class AfcSession {
public:
    // fd is borrowed: whoever made the session closes it.
    AfcSession(int fd, PathResolver resolver);

    void Run();

private:
    // A client may keep this many files open at once; further opens get NO_RESOURCES.
    static constexpr size_t kMaxOpenFiles = 64;

    struct OpenFile {
        UniqueFd fd;
        int accessMode = 0;  // O_RDONLY, O_WRONLY or O_RDWR
    };

    Reply Dispatch(const Packet& request);
    Reply WithPath(std::string_view data, Reply (AfcSession::*handler)(std::string_view));
    // Resolves everything but the final component; see Location.
    std::optional<Status> Locate(std::string_view path, Location& out);
    // The root cannot be removed or renamed; a path ending in ".." has no entry to act on.
    static Status SelfStatus(const Location& at);
    OpenFile* FindFile(std::string_view data);

    Reply ReadDir(std::string_view path);
    Reply GetFileInfo(std::string_view path);
    Reply MakeDir(std::string_view path);
    Reply RemovePath(std::string_view path);
    Reply RemovePathAndContents(std::string_view path);
    Reply RenamePath(std::string_view data);
    Reply GetDevInfo();
    Reply FileOpen(std::string_view data);
    Reply FileRead(std::string_view data);
    Reply FileWrite(std::string_view data, std::string_view bytes);
    Reply FileSeek(std::string_view data);
    Reply FileTell(std::string_view data);
    Reply FileSetSize(std::string_view data);
    Reply FileClose(std::string_view data);

    const int m_fd;
    // A FILE_READ reply's block, kept for the next read of the session.
    std::string m_readBlock;
    PathResolver m_resolver;
    std::map<uint64_t, OpenFile> m_files;
    uint64_t m_nextHandle = 1;
};

}  // namespace ruvo::afc
