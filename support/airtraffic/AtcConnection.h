// AtcConnection: one AirTraffic sync link over a connected stream socket: framing, reading, sending, and its safe end.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "CoreFoundation.h"
#include "UniqueFd.h"

namespace ruvo::atc {

// Speaks the wire of support/airtraffic/README.md over a socket it owns: each message a 4-byte
// little-endian length and a property list; binary sent, XML or binary read.
//
// The link ends when the peer closes, sends something that is not a framed dictionary, the
// socket fails, or the connection is being destroyed. ReadMessage then returns what had come
// whole before, one "ConnectionInvalid" message, and NULL from then on; the send that finds the
// socket broken answers ATERR_SOCKET, later sends ATERR_CONNECTION_LOST.
//
// Threads: one thread may read while others send; sends are serialised, reads too. Every call
// counts itself in while it runs, and the destructor first wakes the blocked calls (shutdown of
// the socket), then waits until none is inside, and closes the socket last. A call may begin
// after the destructor has begun only on a thread counted in by Enter (as AtcConnectionTable
// does), and then returns at once; any other such call is the caller's mistake.
class AtcConnection {
public:
    // Valid lengths of one message's property list: 1 .. 16 MiB.
    static constexpr uint32_t kMaxMessageBytes = 16 * 1024 * 1024;
    // What one receive asks for; several small messages may come in one.
    static constexpr size_t kReceiveChunk = 64 * 1024;

    // Takes the socket. libraryId, when not empty, is the "LibraryID" put into a host info
    // that has none.
    AtcConnection(int socket, std::string libraryId);
    ~AtcConnection();

    AtcConnection(const AtcConnection&) = delete;
    AtcConnection& operator=(const AtcConnection&) = delete;

    // The next whole message (a new dictionary the caller releases); one "ConnectionInvalid"
    // message when the link ends, NULL after that. Blocks until then.
    CFDictionaryRef ReadMessage();

    // Each sends one message and returns ATERR_OK once all of it was written, else a negative
    // ATERR_* code. Arguments are checked for presence and type.
    int SendSyncRequest(CFArrayRef dataclasses, CFDictionaryRef anchors, CFDictionaryRef hostInfo);
    int SendMetadataSyncFinished(CFDictionaryRef syncTypes, CFDictionaryRef anchors);
    int SendFileProgress(CFStringRef assetId, CFStringRef dataclass, double assetProgress, double overallProgress);
    int SendAssetCompleted(CFStringRef assetId, CFStringRef dataclass, CFStringRef devicePath);
    int SendHostInfo(CFDictionaryRef hostInfo);
    int SendPowerAssertion(CFBooleanRef enabled);

    // The phone's session number: 0 until its "ReadyForSync" named one.
    int64_t Session() const { return m_session.load(); }

    // Counts a caller in for a stretch of several calls, so that the destructor waits for it;
    // every Enter needs its Leave. Used by the C interface's handle table.
    void Enter();
    void Leave();

private:
    template <typename Body>
    auto AsCaller(Body&& body);

    CFDictionaryRef ReadLocked();
    bool FillLocked(size_t needed);
    void EndLink();
    void NoteSession(CFDictionaryRef message);
    int Send(CFStringRef command, CFDictionaryRef params);
    int WriteAll(const std::vector<uint8_t>& bytes);
    CFDictionaryRef HostInfoWithLibrary(CFDictionaryRef hostInfo) const;

    UniqueFd m_socket;
    const std::string m_libraryId;

    // The destroy protocol: callers inside, and whether the end has begun.
    std::mutex m_callersMutex;
    std::condition_variable m_callersGone;
    size_t m_callers = 0;                // guarded by m_callersMutex
    std::atomic<bool> m_closing{false};  // set once, before the socket is shut down

    // Set once the link has ended, by whichever side saw it first.
    std::atomic<bool> m_linkDown{false};
    std::atomic<int64_t> m_session{0};

    std::mutex m_readMutex;
    std::vector<uint8_t> m_received;  // guarded by m_readMutex; bytes not yet handed out
    size_t m_consumed = 0;            // guarded by m_readMutex; of m_received, already handed out
    std::vector<uint8_t> m_chunk;     // guarded by m_readMutex; one receive's bytes
    bool m_reported = false;          // guarded by m_readMutex; "ConnectionInvalid" was returned

    std::mutex m_sendMutex;
    int64_t m_nextId = 1;  // guarded by m_sendMutex
};

}  // namespace ruvo::atc
