// AtcConnection: one AirTraffic sync link over a connected stream socket: framing, reading, sending, and its safe end.
#include "AtcConnection.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

#include "AirTrafficHost.h"
#include "CFHolder.h"

namespace ruvo::atc {
namespace {

using cf::CFHolder;

// The header in front of every property list: its length, 4 bytes little-endian.
constexpr size_t kLengthBytes = 4;

bool IsA(CFTypeRef value, CFTypeID type) { return value != nullptr && CFGetTypeID(value) == type; }

CFMutableDictionaryRef NewDictionary() {
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
}

CFMutableDictionaryRef Mutable(const CFHolder& holder) {
    return static_cast<CFMutableDictionaryRef>(const_cast<void*>(holder.get()));
}

// The one message a reader gets when the link has ended.
CFDictionaryRef NewConnectionInvalid() {
    CFHolder message(NewDictionary());
    CFHolder params(NewDictionary());
    if (!message || !params) return nullptr;
    CFDictionarySetValue(Mutable(message), CFSTR("Command"), CFSTR("ConnectionInvalid"));
    CFDictionarySetValue(Mutable(message), CFSTR("Params"), params.get());
    return static_cast<CFDictionaryRef>(message.release());
}

}  // namespace

AtcConnection::AtcConnection(int socket, std::string libraryId) : m_socket(socket), m_libraryId(std::move(libraryId)) {}

AtcConnection::~AtcConnection() {
    // The order matters: callers that start from now on see m_closing and return at once, the
    // shutdown wakes those blocked in a receive or a send, and only once none is inside may the
    // members go. The socket itself closes last, when m_socket goes.
    m_closing.store(true);
    ::shutdown(m_socket.Get(), SHUT_RDWR);
    std::unique_lock lock(m_callersMutex);
    m_callersGone.wait(lock, [this] { return m_callers == 0; });
}

void AtcConnection::Enter() {
    std::scoped_lock lock(m_callersMutex);
    ++m_callers;
}

void AtcConnection::Leave() {
    // Notified under the lock: the destructor cannot get past its wait, and free the condition
    // variable, before this thread is done with it.
    std::scoped_lock lock(m_callersMutex);
    if (--m_callers == 0) m_callersGone.notify_all();
}

template <typename Body>
auto AtcConnection::AsCaller(Body&& body) {
    Enter();
    struct Leaving {
        AtcConnection* self;
        ~Leaving() { self->Leave(); }
    } leaving{this};
    return body();
}

CFDictionaryRef AtcConnection::ReadMessage() {
    return AsCaller([this]() -> CFDictionaryRef {
        std::scoped_lock lock(m_readMutex);
        if (m_reported) return nullptr;
        CFDictionaryRef message = nullptr;
        try {
            message = ReadLocked();
        } catch (...) {
            // Out of memory halfway through a message: the stream can no longer be followed.
            message = nullptr;
        }
        if (message) {
            NoteSession(message);
            return message;
        }
        EndLink();
        m_reported = true;
        return NewConnectionInvalid();
    });
}

CFDictionaryRef AtcConnection::ReadLocked() {
    if (!FillLocked(kLengthBytes)) return nullptr;
    const uint8_t* header = m_received.data() + m_consumed;
    const uint32_t length =
        uint32_t{header[0]} | (uint32_t{header[1]} << 8) | (uint32_t{header[2]} << 16) | (uint32_t{header[3]} << 24);
    // Checked before anything is set aside for the body.
    if (length == 0 || length > kMaxMessageBytes) return nullptr;
    if (!FillLocked(kLengthBytes + length)) return nullptr;

    CFHolder data(CFDataCreate(nullptr, m_received.data() + m_consumed + kLengthBytes, length));
    m_consumed += kLengthBytes + length;
    if (m_consumed == m_received.size()) {
        m_received.clear();
        m_consumed = 0;
        // A large message's room is given back rather than held for the life of the link.
        if (m_received.capacity() > 2 * kReceiveChunk) m_received.shrink_to_fit();
    }
    if (!data) return nullptr;
    CFHolder list(CFPropertyListCreateWithData(nullptr, static_cast<CFDataRef>(data.get()), kCFPropertyListImmutable,
                                               nullptr, nullptr));
    if (!IsA(list.get(), CFDictionaryGetTypeID())) return nullptr;
    return static_cast<CFDictionaryRef>(list.release());
}

bool AtcConnection::FillLocked(size_t needed) {
    while (m_received.size() - m_consumed < needed) {
        if (m_closing.load()) return false;
        if (m_consumed > 0) {
            m_received.erase(m_received.begin(), m_received.begin() + static_cast<ptrdiff_t>(m_consumed));
            m_consumed = 0;
        }
        // Room for the whole of what is needed, so that receiving never grows the buffer past it
        // (a 16 MiB message takes 16 MiB, not twice that).
        m_received.reserve(std::max(needed, kReceiveChunk));
        const size_t room = m_received.capacity() - m_received.size();
        const size_t ask = std::min(room, kReceiveChunk);
        // Received into a buffer of its own rather than onto the stack: callers' threads may be small.
        if (m_chunk.empty()) m_chunk.resize(kReceiveChunk);
        ssize_t got = 0;
        do {
            got = ::recv(m_socket.Get(), m_chunk.data(), ask, 0);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return false;
        m_received.insert(m_received.end(), m_chunk.begin(), m_chunk.begin() + got);
    }
    return true;
}

void AtcConnection::EndLink() {
    m_linkDown.store(true);
    // Tells the peer, and wakes this connection's own blocked calls. Messages already received
    // stay readable.
    ::shutdown(m_socket.Get(), SHUT_RDWR);
}

void AtcConnection::NoteSession(CFDictionaryRef message) {
    const void* command = CFDictionaryGetValue(message, CFSTR("Command"));
    if (!IsA(command, CFStringGetTypeID()) || !CFEqual(command, CFSTR("ReadyForSync"))) return;
    const void* session = CFDictionaryGetValue(message, CFSTR("Session"));
    if (!IsA(session, CFNumberGetTypeID())) return;
    int64_t number = 0;
    if (CFNumberGetValue(static_cast<CFNumberRef>(session), kCFNumberSInt64Type, &number) && number > 0)
        m_session.store(number);
}

int AtcConnection::SendSyncRequest(CFArrayRef dataclasses, CFDictionaryRef anchors, CFDictionaryRef hostInfo) {
    if (!IsA(dataclasses, CFArrayGetTypeID()) || !IsA(anchors, CFDictionaryGetTypeID()) ||
        !IsA(hostInfo, CFDictionaryGetTypeID()))
        return ATERR_INVALID_ARGUMENT;
    CFHolder params(NewDictionary());
    CFHolder info(HostInfoWithLibrary(hostInfo));
    if (!params || !info) return ATERR_NO_MEMORY;
    CFDictionarySetValue(Mutable(params), CFSTR("HostInfo"), info.get());
    CFDictionarySetValue(Mutable(params), CFSTR("Dataclasses"), dataclasses);
    CFDictionarySetValue(Mutable(params), CFSTR("DataclassAnchors"), anchors);
    return Send(CFSTR("RequestingSync"), static_cast<CFDictionaryRef>(params.get()));
}

int AtcConnection::SendMetadataSyncFinished(CFDictionaryRef syncTypes, CFDictionaryRef anchors) {
    if (!IsA(syncTypes, CFDictionaryGetTypeID()) || !IsA(anchors, CFDictionaryGetTypeID()))
        return ATERR_INVALID_ARGUMENT;
    CFHolder params(NewDictionary());
    if (!params) return ATERR_NO_MEMORY;
    CFDictionarySetValue(Mutable(params), CFSTR("SyncTypes"), syncTypes);
    CFDictionarySetValue(Mutable(params), CFSTR("DataclassAnchors"), anchors);
    return Send(CFSTR("FinishedSyncingMetadata"), static_cast<CFDictionaryRef>(params.get()));
}

int AtcConnection::SendFileProgress(CFStringRef assetId, CFStringRef dataclass, double assetProgress,
                                    double overallProgress) {
    if (!IsA(assetId, CFStringGetTypeID()) || !IsA(dataclass, CFStringGetTypeID())) return ATERR_INVALID_ARGUMENT;
    CFHolder params(NewDictionary());
    CFHolder asset(CFNumberCreate(nullptr, kCFNumberFloat64Type, &assetProgress));
    CFHolder overall(CFNumberCreate(nullptr, kCFNumberFloat64Type, &overallProgress));
    if (!params || !asset || !overall) return ATERR_NO_MEMORY;
    CFDictionarySetValue(Mutable(params), CFSTR("Dataclass"), dataclass);
    CFDictionarySetValue(Mutable(params), CFSTR("AssetID"), assetId);
    CFDictionarySetValue(Mutable(params), CFSTR("AssetProgress"), asset.get());
    CFDictionarySetValue(Mutable(params), CFSTR("OverallProgress"), overall.get());
    return Send(CFSTR("FileProgress"), static_cast<CFDictionaryRef>(params.get()));
}

int AtcConnection::SendAssetCompleted(CFStringRef assetId, CFStringRef dataclass, CFStringRef devicePath) {
    if (!IsA(assetId, CFStringGetTypeID()) || !IsA(dataclass, CFStringGetTypeID()) ||
        !IsA(devicePath, CFStringGetTypeID()))
        return ATERR_INVALID_ARGUMENT;
    CFHolder params(NewDictionary());
    if (!params) return ATERR_NO_MEMORY;
    CFDictionarySetValue(Mutable(params), CFSTR("Dataclass"), dataclass);
    CFDictionarySetValue(Mutable(params), CFSTR("AssetID"), assetId);
    CFDictionarySetValue(Mutable(params), CFSTR("AssetPath"), devicePath);
    return Send(CFSTR("FileComplete"), static_cast<CFDictionaryRef>(params.get()));
}

int AtcConnection::SendHostInfo(CFDictionaryRef hostInfo) {
    if (!IsA(hostInfo, CFDictionaryGetTypeID())) return ATERR_INVALID_ARGUMENT;
    CFHolder params(NewDictionary());
    CFHolder info(HostInfoWithLibrary(hostInfo));
    if (!params || !info) return ATERR_NO_MEMORY;
    CFDictionarySetValue(Mutable(params), CFSTR("HostInfo"), info.get());
    return Send(CFSTR("HostInfo"), static_cast<CFDictionaryRef>(params.get()));
}

int AtcConnection::SendPowerAssertion(CFBooleanRef enabled) {
    if (!IsA(enabled, CFBooleanGetTypeID())) return ATERR_INVALID_ARGUMENT;
    CFHolder params(NewDictionary());
    if (!params) return ATERR_NO_MEMORY;
    CFDictionarySetValue(Mutable(params), CFSTR("Enabled"), enabled);
    return Send(CFSTR("PowerAssertion"), static_cast<CFDictionaryRef>(params.get()));
}

CFDictionaryRef AtcConnection::HostInfoWithLibrary(CFDictionaryRef hostInfo) const {
    if (m_libraryId.empty() || CFDictionaryGetValue(hostInfo, CFSTR("LibraryID")) != nullptr)
        return static_cast<CFDictionaryRef>(CFRetain(hostInfo));
    // A copy: the caller's dictionary is left as it was.
    const auto count = static_cast<size_t>(CFDictionaryGetCount(hostInfo));
    std::vector<const void*> keys(count);
    std::vector<const void*> values(count);
    CFDictionaryGetKeysAndValues(hostInfo, keys.data(), values.data());
    CFHolder copy(NewDictionary());
    CFHolder library(CFStringCreateWithCString(nullptr, m_libraryId.c_str(), kCFStringEncodingUTF8));
    if (!copy || !library) return nullptr;
    for (size_t i = 0; i < count; ++i) CFDictionarySetValue(Mutable(copy), keys[i], values[i]);
    CFDictionarySetValue(Mutable(copy), CFSTR("LibraryID"), library.get());
    return static_cast<CFDictionaryRef>(copy.release());
}

int AtcConnection::Send(CFStringRef command, CFDictionaryRef params) {
    return AsCaller([&]() -> int {
        if (m_closing.load() || m_linkDown.load()) return ATERR_CONNECTION_LOST;
        std::scoped_lock lock(m_sendMutex);
        // Asked again: the link may have ended while this call waited for an earlier send.
        if (m_closing.load() || m_linkDown.load()) return ATERR_CONNECTION_LOST;

        const int64_t type = 0;
        const int64_t id = m_nextId;
        const int64_t session = m_session.load();
        CFHolder message(NewDictionary());
        CFHolder typeNumber(CFNumberCreate(nullptr, kCFNumberSInt64Type, &type));
        CFHolder idNumber(CFNumberCreate(nullptr, kCFNumberSInt64Type, &id));
        CFHolder sessionNumber(CFNumberCreate(nullptr, kCFNumberSInt64Type, &session));
        if (!message || !typeNumber || !idNumber || !sessionNumber) return ATERR_NO_MEMORY;
        CFDictionarySetValue(Mutable(message), CFSTR("Command"), command);
        CFDictionarySetValue(Mutable(message), CFSTR("Type"), typeNumber.get());
        CFDictionarySetValue(Mutable(message), CFSTR("Id"), idNumber.get());
        CFDictionarySetValue(Mutable(message), CFSTR("Session"), sessionNumber.get());
        CFDictionarySetValue(Mutable(message), CFSTR("Params"), params);

        // Null when a value of the caller's cannot be written as a property list.
        CFHolder body(CFPropertyListCreateData(nullptr, message.get(), kCFPropertyListBinaryFormat_v1_0, 0, nullptr));
        if (!body) return ATERR_INVALID_ARGUMENT;
        const auto* bytes = CFDataGetBytePtr(static_cast<CFDataRef>(body.get()));
        const auto length = static_cast<size_t>(CFDataGetLength(static_cast<CFDataRef>(body.get())));
        // The phone would end the link on a longer one; nothing is written and the link stays.
        if (length == 0 || length > kMaxMessageBytes) return ATERR_MESSAGE_TOO_LARGE;

        std::vector<uint8_t> frame;
        frame.reserve(kLengthBytes + length);
        for (size_t i = 0; i < kLengthBytes; ++i) frame.push_back(static_cast<uint8_t>((length >> (8 * i)) & 0xFF));
        frame.insert(frame.end(), bytes, bytes + length);
        ++m_nextId;
        return WriteAll(frame);
    });
}

int AtcConnection::WriteAll(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(m_socket.Get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) {
            // Some of the message may be out already: the stream cannot be continued.
            EndLink();
            return ATERR_SOCKET;
        }
        done += static_cast<size_t>(sent);
    }
    return ATERR_OK;
}

}  // namespace ruvo::atc
