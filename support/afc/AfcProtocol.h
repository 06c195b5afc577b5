// AFC wire format: the 40-byte packet header, opcodes, status codes, and bounded packet I/O on a socket.
#ifndef RUVO_AFC_PROTOCOL_H
#define RUVO_AFC_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ruvo::afc {

inline constexpr char kMagic[8] = {'C', 'F', 'A', '6', 'L', 'P', 'A', 'A'};
inline constexpr size_t kHeaderSize = 40;

// Inline parameters are at most two paths (4096 bytes each on Linux and iOS) and 24 bytes of
// fixed fields, so 64 KiB is generous for any honest request or reply.
inline constexpr uint64_t kMaxDataLength = 64 * 1024;
// The largest payload either side sends on purpose is one FILE_READ reply (kMaxServerReadSize)
// or a directory listing; 32 MiB leaves room for a huge folder and still bounds what a single
// forged header can make us allocate.
inline constexpr uint64_t kMaxPayloadLength = 32 * 1024 * 1024;
// The server answers a FILE_READ with at most this many bytes.
inline constexpr uint64_t kMaxServerReadSize = 8 * 1024 * 1024;
// The client moves file contents in pieces of this size, as device clients usually do.
inline constexpr uint64_t kClientChunkSize = 1024 * 1024;

enum class Op : uint64_t {
    Status = 0x01,
    Data = 0x02,
    ReadDir = 0x03,
    RemovePath = 0x08,
    MakeDir = 0x09,
    GetFileInfo = 0x0A,
    GetDevInfo = 0x0B,
    FileOpen = 0x0D,
    FileOpenRes = 0x0E,
    FileRead = 0x0F,
    FileWrite = 0x10,
    FileSeek = 0x11,
    FileTell = 0x12,
    FileTellRes = 0x13,
    FileClose = 0x14,
    FileSetSize = 0x15,
    RenamePath = 0x18,
    RemovePathAndContents = 0x22,
};

// The device's status numbers; 30 and up are only ever produced by clients.
enum class Status : uint64_t {
    Success = 0,
    UnknownError = 1,
    OpHeaderInvalid = 2,
    NoResources = 3,
    ReadError = 4,
    WriteError = 5,
    UnknownPacketType = 6,
    InvalidArg = 7,
    ObjectNotFound = 8,
    ObjectIsDir = 9,
    PermDenied = 10,
    ServiceNotConnected = 11,
    OpTimeout = 12,
    TooMuchData = 13,
    EndOfData = 14,
    OpNotSupported = 15,
    ObjectExists = 16,
    ObjectBusy = 17,
    NoSpaceLeft = 18,
    OpWouldBlock = 19,
    IoError = 20,
    OpInterrupted = 21,
    OpInProgress = 22,
    InternalError = 23,
};

struct Header {
    uint64_t entireLength = 0;
    uint64_t thisLength = 0;
    uint64_t packetNum = 0;
    uint64_t operation = 0;
};

// One packet: "data" is the inline part counted in this_length, "payload" what follows it.
struct Packet {
    uint64_t packetNum = 0;
    uint64_t operation = 0;
    std::string data;
    std::string payload;
};

enum class IoResult {
    Ok,
    Closed,       // the peer closed the connection (before or inside a packet)
    Timeout,      // no progress within the time limit
    SocketError,  // the socket failed
    Malformed,    // the header is invalid or announces more than the bounds allow
};

void EncodeHeader(const Header& header, unsigned char out[kHeaderSize]);
// Checks the magic, entire_length >= this_length >= 40 and both bounds.
IoResult DecodeHeader(const unsigned char in[kHeaderSize], Header& out);

// Reads one whole packet. firstByteTimeoutMs bounds the wait for the packet to start and
// timeoutMs the rest of it; -1 waits without limit. Lengths are checked before allocating.
IoResult ReadPacket(int fd, Packet& out, int firstByteTimeoutMs, int timeoutMs);
// ReadPacket, but a payload of at most capacity bytes is read straight into dest (payloadLength
// tells how many; out.payload stays empty); a larger one goes to out.payload as usual. For file
// contents, which then need no copy.
IoResult ReadPacketInto(int fd, Packet& out, char* dest, size_t capacity, size_t& payloadLength,
                        int firstByteTimeoutMs, int timeoutMs);
// Sends a packet completely (partial sends are continued) without raising SIGPIPE.
IoResult WritePacket(int fd, uint64_t packetNum, Op operation, std::string_view data, std::string_view payload,
                     int timeoutMs);

void AppendU64(std::string& out, uint64_t value);
// The little-endian value at offset, or nothing when the bytes are not there.
std::optional<uint64_t> ReadU64(std::string_view bytes, size_t offset);

}  // namespace ruvo::afc

#endif
