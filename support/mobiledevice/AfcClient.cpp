// The AFC* calls: an AFC client over a service socket, one request and its reply at a time.
#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "AfcProtocol.h"
#include "MobileDevice.h"

using ruvo::afc::IoResult;
using ruvo::afc::Op;

// One AFC conversation on a borrowed socket. The mutex covers a whole request and its reply
// (a chunked read or write included), so threads sharing the connection never interleave packets.
struct afc_connection {
    afc_connection(int socketFd, int timeout) : fd(socketFd), timeoutMs(timeout) {}

    const int fd;  // borrowed: the socket's holder closes it
    const int timeoutMs;

    std::mutex mutex;
    // Guarded by mutex.
    uint64_t lastPacketNum = 0;
    // Guarded by mutex. Set after a socket or protocol failure: the stream may be out of step
    // with the requests, so every later call fails at once.
    bool broken = false;
};

// The key-value pairs of one GET_FILE_INFO reply, handed out one pair per read.
struct afc_dictionary {
    std::vector<std::pair<std::string, std::string>> pairs;
    size_t next = 0;
};

// The names of one READ_DIR reply; the listing is complete when the directory is opened, so
// removing entries while it is open does not disturb it.
struct afc_directory {
    std::vector<std::string> names;
    size_t next = 0;
};

namespace {

constexpr unsigned int kDefaultTimeoutSeconds = 30;
constexpr unsigned int kMaxTimeoutSeconds = 24 * 60 * 60;
// Device status codes are small numbers; anything beyond this is garbage on the wire.
constexpr uint64_t kMaxStatusCode = 0xFFFF;

int ErrorOf(IoResult result) {
    switch (result) {
    case IoResult::Ok: return MDERR_OK;
    case IoResult::Timeout: return MDERR_TIMEOUT;
    case IoResult::Malformed: return MDERR_PROTOCOL;
    case IoResult::Closed:
    case IoResult::SocketError: return MDERR_SOCKET;
    }
    return MDERR_SOCKET;
}

int Broken(afc_connection& c, int error) {
    c.broken = true;
    return error;
}

// A reply's bytes (inline part and payload together, as devices use either) when it is the
// expected operation, or the error a STATUS reply or anything else stands for.
int ReplyResult(afc_connection& c, ruvo::afc::Packet& reply, Op expected, std::string* body) {
    // Most replies use one of the two parts, which is then taken as it is rather than copied.
    std::string content = std::move(reply.data);
    if (content.empty())
        content = std::move(reply.payload);
    else
        content += reply.payload;
    if (reply.operation == static_cast<uint64_t>(Op::Status)) {
        std::optional<uint64_t> code = ruvo::afc::ReadU64(content, 0);
        if (!code || *code > kMaxStatusCode) return Broken(c, MDERR_PROTOCOL);
        if (*code != 0) return MDERR_AFC_BASE - static_cast<int>(*code);
        // A success status where data was expected means no data (devices answer an empty read so).
        if (expected != Op::Status && expected != Op::Data) return Broken(c, MDERR_PROTOCOL);
        if (body) body->clear();
        return MDERR_OK;
    }
    if (reply.operation != static_cast<uint64_t>(expected)) return Broken(c, MDERR_PROTOCOL);
    if (body) *body = std::move(content);
    return MDERR_OK;
}

int ExchangeOnce(afc_connection& c, uint64_t packetNum, Op op, std::string_view data, std::string_view payload,
                 Op expected, std::string* body) {
    IoResult sent = ruvo::afc::WritePacket(c.fd, packetNum, op, data, payload, c.timeoutMs);
    if (sent != IoResult::Ok) return Broken(c, ErrorOf(sent));

    ruvo::afc::Packet reply;
    IoResult received = ruvo::afc::ReadPacket(c.fd, reply, c.timeoutMs, c.timeoutMs);
    if (received != IoResult::Ok) return Broken(c, ErrorOf(received));
    if (reply.packetNum != packetNum) return Broken(c, MDERR_PROTOCOL);
    return ReplyResult(c, reply, expected, body);
}

// One FILE_READ of at most capacity bytes into dest; got is how many came (0 at the end of the
// file). The DATA reply's payload is read straight into dest; a reply with more than capacity
// bytes breaks the connection, as a device that sends more than was asked cannot be followed.
int ReadInto(afc_connection& c, std::string_view request, char* dest, size_t capacity, size_t& got) {
    got = 0;
    if (c.broken) return MDERR_SOCKET;
    try {
        const uint64_t packetNum = ++c.lastPacketNum;
        IoResult sent = ruvo::afc::WritePacket(c.fd, packetNum, Op::FileRead, request, {}, c.timeoutMs);
        if (sent != IoResult::Ok) return Broken(c, ErrorOf(sent));

        ruvo::afc::Packet reply;
        size_t direct = 0;
        IoResult received = ruvo::afc::ReadPacketInto(c.fd, reply, dest, capacity, direct, c.timeoutMs, c.timeoutMs);
        if (received != IoResult::Ok) return Broken(c, ErrorOf(received));
        if (reply.packetNum != packetNum) return Broken(c, MDERR_PROTOCOL);
        if (reply.operation != static_cast<uint64_t>(Op::Data) || direct == 0) {
            // A STATUS, an inline-only or an oversized reply: the bytes as the other replies have them.
            if (direct > 0) reply.payload.assign(dest, direct);
            std::string body;
            const int rc = ReplyResult(c, reply, Op::Data, &body);
            if (rc != MDERR_OK) return rc;
            if (body.size() > capacity) return Broken(c, MDERR_PROTOCOL);
            std::memcpy(dest, body.data(), body.size());
            got = body.size();
            return MDERR_OK;
        }
        // The payload is in place; an inline part goes in front of it.
        const size_t inline_ = reply.data.size();
        if (inline_ + direct > capacity) return Broken(c, MDERR_PROTOCOL);
        if (inline_ > 0) {
            std::memmove(dest + inline_, dest, direct);
            std::memcpy(dest, reply.data.data(), inline_);
        }
        got = inline_ + direct;
        return MDERR_OK;
    } catch (const std::bad_alloc&) {
        return Broken(c, MDERR_NO_MEMORY);
    }
}

// Sends one request and waits for its reply; the caller holds c.mutex. The reply must carry the
// request's packet number and be either the expected operation or a STATUS. On success body
// holds the reply's bytes (inline part and payload together, as devices use either).
int Exchange(afc_connection& c, Op op, std::string_view data, std::string_view payload, Op expected,
             std::string* body) {
    if (c.broken) return MDERR_SOCKET;
    try {
        return ExchangeOnce(c, ++c.lastPacketNum, op, data, payload, expected, body);
    } catch (const std::bad_alloc&) {
        // Whatever of the reply is still unread would be taken for the next one.
        return Broken(c, MDERR_NO_MEMORY);
    }
}

// Runs an exported call's body so that no exception crosses the C boundary.
template <typename Body>
int CallAfcNoThrow(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return MDERR_NO_MEMORY;
    } catch (...) {
        return MDERR_SOCKET;
    }
}

// "path\0" as a request's inline part, or false when it cannot fit into one.
bool AppendPath(std::string& data, const char* path) {
    size_t length = std::strlen(path);
    if (length + 1 > ruvo::afc::kMaxDataLength - data.size()) return false;
    data.append(path, length);
    data += '\0';
    return true;
}

std::vector<std::string> SplitNulTerminated(const std::string& bytes) {
    std::vector<std::string> tokens;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\0', start);
        if (end == std::string::npos) end = bytes.size();
        tokens.emplace_back(bytes, start, end - start);
        start = end + 1;
    }
    return tokens;
}

int PathRequest(AFCConnectionRef connection, Op op, const char* path) {
    if (!connection || !path) return MDERR_INVALID_ARGUMENT;
    return CallAfcNoThrow([&]() -> int {
        std::string data;
        if (!AppendPath(data, path)) return MDERR_INVALID_ARGUMENT;
        std::scoped_lock lock(connection->mutex);
        return Exchange(*connection, op, data, {}, Op::Status, nullptr);
    });
}

}  // namespace

extern "C" {

MD_EXPORT int AFCConnectionOpen(int socket, unsigned int ioTimeout, AFCConnectionRef* connection) {
    if (socket < 0 || !connection) return MDERR_INVALID_ARGUMENT;
    *connection = nullptr;
    unsigned int seconds = ioTimeout == 0 ? kDefaultTimeoutSeconds : std::min(ioTimeout, kMaxTimeoutSeconds);
    auto* created = new (std::nothrow) afc_connection(socket, static_cast<int>(seconds * 1000));
    if (!created) return MDERR_NO_MEMORY;
    *connection = created;
    return MDERR_OK;
}

MD_EXPORT int AFCConnectionClose(AFCConnectionRef connection) {
    if (!connection) return MDERR_INVALID_ARGUMENT;
    delete connection;
    return MDERR_OK;
}

MD_EXPORT int AFCFileInfoOpen(AFCConnectionRef connection, const char* path, AFCKeyValueRef* info) {
    if (!connection || !path || !info) return MDERR_INVALID_ARGUMENT;
    *info = nullptr;
    return CallAfcNoThrow([&]() -> int {
        std::string data;
        if (!AppendPath(data, path)) return MDERR_INVALID_ARGUMENT;
        std::string body;
        {
            std::scoped_lock lock(connection->mutex);
            int rc = Exchange(*connection, Op::GetFileInfo, data, {}, Op::Data, &body);
            if (rc != MDERR_OK) return rc;
        }
        auto dictionary = std::make_unique<afc_dictionary>();
        std::vector<std::string> tokens = SplitNulTerminated(body);
        // A key without a value at the very end is dropped.
        for (size_t i = 0; i + 1 < tokens.size(); i += 2)
            dictionary->pairs.emplace_back(std::move(tokens[i]), std::move(tokens[i + 1]));
        *info = dictionary.release();
        return MDERR_OK;
    });
}

MD_EXPORT int AFCKeyValueRead(AFCKeyValueRef info, const char** key, const char** value) {
    if (!info || !key || !value) return MDERR_INVALID_ARGUMENT;
    if (info->next >= info->pairs.size()) {
        *key = nullptr;
        *value = nullptr;
        return MDERR_OK;
    }
    const auto& pair = info->pairs[info->next++];
    *key = pair.first.c_str();
    *value = pair.second.c_str();
    return MDERR_OK;
}

MD_EXPORT int AFCKeyValueClose(AFCKeyValueRef info) {
    if (!info) return MDERR_INVALID_ARGUMENT;
    delete info;
    return MDERR_OK;
}

MD_EXPORT int AFCFileRefOpen(AFCConnectionRef connection, const char* path, uint64_t mode, AFCFileRef* ref) {
    if (!connection || !path || !ref) return MDERR_INVALID_ARGUMENT;
    *ref = 0;
    return CallAfcNoThrow([&]() -> int {
        std::string data;
        ruvo::afc::AppendU64(data, mode);
        if (!AppendPath(data, path)) return MDERR_INVALID_ARGUMENT;
        std::scoped_lock lock(connection->mutex);
        std::string body;
        int rc = Exchange(*connection, Op::FileOpen, data, {}, Op::FileOpenRes, &body);
        if (rc != MDERR_OK) return rc;
        std::optional<uint64_t> handle = ruvo::afc::ReadU64(body, 0);
        // A reference is exactly one non-zero 64-bit number.
        if (body.size() != 8 || !handle || *handle == 0) return Broken(*connection, MDERR_PROTOCOL);
        *ref = *handle;
        return MDERR_OK;
    });
}

MD_EXPORT int AFCFileRefRead(AFCConnectionRef connection, AFCFileRef ref, void* buffer, uint32_t* length) {
    if (!connection || ref == 0 || !length || (!buffer && *length > 0)) return MDERR_INVALID_ARGUMENT;
    const uint32_t wanted = *length;
    *length = 0;
    return CallAfcNoThrow([&]() -> int {
        std::scoped_lock lock(connection->mutex);
        uint32_t got = 0;
        // Pieces until the buffer is full or the file ends (an empty DATA reply).
        while (got < wanted) {
            uint64_t piece = std::min<uint64_t>(wanted - got, ruvo::afc::kClientChunkSize);
            std::string data;
            ruvo::afc::AppendU64(data, ref);
            ruvo::afc::AppendU64(data, piece);
            size_t came = 0;
            int rc = ReadInto(*connection, data, static_cast<char*>(buffer) + got, static_cast<size_t>(piece), came);
            if (rc != MDERR_OK) return rc;
            if (came == 0) break;
            got += static_cast<uint32_t>(came);
            *length = got;
        }
        return MDERR_OK;
    });
}

MD_EXPORT int AFCFileRefWrite(AFCConnectionRef connection, AFCFileRef ref, const void* data, uint32_t length) {
    if (!connection || ref == 0 || (!data && length > 0)) return MDERR_INVALID_ARGUMENT;
    return CallAfcNoThrow([&]() -> int {
        std::string handle;
        ruvo::afc::AppendU64(handle, ref);
        const char* bytes = static_cast<const char*>(data);
        std::scoped_lock lock(connection->mutex);
        uint32_t done = 0;
        // An empty write still goes out once, so a bad reference is reported.
        do {
            uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(length - done, ruvo::afc::kClientChunkSize));
            std::string_view chunk = piece ? std::string_view(bytes + done, piece) : std::string_view();
            int rc = Exchange(*connection, Op::FileWrite, handle, chunk, Op::Status, nullptr);
            if (rc != MDERR_OK) return rc;
            done += piece;
        } while (done < length);
        return MDERR_OK;
    });
}

MD_EXPORT int AFCFileRefClose(AFCConnectionRef connection, AFCFileRef ref) {
    if (!connection || ref == 0) return MDERR_INVALID_ARGUMENT;
    return CallAfcNoThrow([&]() -> int {
        std::string data;
        ruvo::afc::AppendU64(data, ref);
        std::scoped_lock lock(connection->mutex);
        return Exchange(*connection, Op::FileClose, data, {}, Op::Status, nullptr);
    });
}

MD_EXPORT int AFCDirectoryOpen(AFCConnectionRef connection, const char* path, AFCDirectoryRef* directory) {
    if (!connection || !path || !directory) return MDERR_INVALID_ARGUMENT;
    *directory = nullptr;
    return CallAfcNoThrow([&]() -> int {
        std::string data;
        if (!AppendPath(data, path)) return MDERR_INVALID_ARGUMENT;
        std::string body;
        {
            std::scoped_lock lock(connection->mutex);
            int rc = Exchange(*connection, Op::ReadDir, data, {}, Op::Data, &body);
            if (rc != MDERR_OK) return rc;
        }
        auto listing = std::make_unique<afc_directory>();
        for (std::string& name : SplitNulTerminated(body))
            if (!name.empty()) listing->names.push_back(std::move(name));
        *directory = listing.release();
        return MDERR_OK;
    });
}

MD_EXPORT int AFCDirectoryRead(AFCConnectionRef connection, AFCDirectoryRef directory, char** name) {
    if (!connection || !directory || !name) return MDERR_INVALID_ARGUMENT;
    if (directory->next >= directory->names.size()) {
        *name = nullptr;
        return MDERR_OK;
    }
    *name = directory->names[directory->next++].data();
    return MDERR_OK;
}

MD_EXPORT int AFCDirectoryClose(AFCConnectionRef connection, AFCDirectoryRef directory) {
    if (!directory) return MDERR_INVALID_ARGUMENT;
    // The listing is freed even without a connection, so a close never leaks.
    delete directory;
    return connection ? MDERR_OK : MDERR_INVALID_ARGUMENT;
}

MD_EXPORT int AFCDirectoryCreate(AFCConnectionRef connection, const char* path) {
    return PathRequest(connection, Op::MakeDir, path);
}

MD_EXPORT int AFCRemovePath(AFCConnectionRef connection, const char* path) {
    return PathRequest(connection, Op::RemovePath, path);
}

MD_EXPORT int AFCRenamePath(AFCConnectionRef connection, const char* from, const char* to) {
    if (!connection || !from || !to) return MDERR_INVALID_ARGUMENT;
    return CallAfcNoThrow([&]() -> int {
        std::string data;
        if (!AppendPath(data, from) || !AppendPath(data, to)) return MDERR_INVALID_ARGUMENT;
        std::scoped_lock lock(connection->mutex);
        return Exchange(*connection, Op::RenamePath, data, {}, Op::Status, nullptr);
    });
}

}  // extern "C"
