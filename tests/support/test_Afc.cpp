// Tests of AFC: the packet codec, the AFC* client calls against the phone-side server over real
// socket pairs, path confinement beneath the root, and both sides facing a misbehaving peer.
#include "AfcProtocol.h"
#include "AfcServer.h"
#include "MobileDevice.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using ruvo::afc::IoResult;
using ruvo::afc::Op;
using ruvo::afc::Packet;
using ruvo::afc::Resolution;

constexpr int kAfcNotFound = MDERR_AFC_BASE - 8;
constexpr int kAfcIsDir = MDERR_AFC_BASE - 9;
constexpr int kAfcPermDenied = MDERR_AFC_BASE - 10;
constexpr int kAfcExists = MDERR_AFC_BASE - 16;
constexpr int kAfcInvalidArg = MDERR_AFC_BASE - 7;
constexpr int kAfcUnknownError = MDERR_AFC_BASE - 1;
constexpr int kAfcNoResources = MDERR_AFC_BASE - 3;

// ---------------------------------------------------------------------------------------------
// Local helpers

std::string MakeTempDir() {
    std::string pattern = (fs::temp_directory_path() / "afc_test_XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    if (!made) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void WriteLocal(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::optional<std::string> ReadLocal(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every entry beneath dir, with a file's content, a link's target or "<dir>".
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        std::string rel = entry.path().lexically_relative(dir).string();
        if (entry.is_symlink())
            entries[rel] = "-> " + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            entries[rel] = "<dir>";
        else
            entries[rel] = ReadLocal(entry.path()).value_or("<unreadable>");
    }
    return entries;
}

std::string Pattern(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed;
    for (char& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

std::string U64(uint64_t value) {
    std::string out;
    ruvo::afc::AppendU64(out, value);
    return out;
}

// A whole packet as raw bytes, with any header values a test wants to forge.
std::string RawPacket(uint64_t entire, uint64_t thisLength, uint64_t num, uint64_t op, const std::string& body = {},
                      const char* magic = "CFA6LPAA") {
    ruvo::afc::Header h{entire, thisLength, num, op};
    unsigned char raw[ruvo::afc::kHeaderSize];
    ruvo::afc::EncodeHeader(h, raw);
    std::memcpy(raw, magic, 8);
    return std::string(reinterpret_cast<char*>(raw), sizeof raw) + body;
}

std::string Frame(uint64_t num, Op op, const std::string& data, const std::string& payload = {}) {
    uint64_t thisLength = ruvo::afc::kHeaderSize + data.size();
    return RawPacket(thisLength + payload.size(), thisLength, num, static_cast<uint64_t>(op), data + payload);
}

void SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// True when the peer closed fd within timeoutMs (anything it sends first is drained).
bool PeerClosesWithin(int fd, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return true;
    }
    return false;
}

uint64_t StatusOf(const Packet& reply) {
    EXPECT_EQ(reply.operation, static_cast<uint64_t>(Op::Status));
    return ruvo::afc::ReadU64(reply.data, 0).value_or(~0ull);
}

std::vector<std::string> SplitNul(const std::string& bytes) {
    std::vector<std::string> tokens;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\0', start);
        if (end == std::string::npos) end = bytes.size();
        tokens.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return tokens;
}

// ---------------------------------------------------------------------------------------------
// Client-side helpers built from the AFC* calls, as the file service above uses them.

int PutFile(AFCConnectionRef c, const char* path, const std::string& bytes) {
    AFCFileRef ref = 0;
    int rc = AFCFileRefOpen(c, path, AFC_MODE_WRITE, &ref);
    if (rc != MDERR_OK) return rc;
    rc = AFCFileRefWrite(c, ref, bytes.data(), static_cast<uint32_t>(bytes.size()));
    int closed = AFCFileRefClose(c, ref);
    return rc != MDERR_OK ? rc : closed;
}

struct ReadResult {
    int rc;
    std::string bytes;
};

ReadResult GetFile(AFCConnectionRef c, const char* path, uint32_t bufferSize = 64 * 1024) {
    AFCFileRef ref = 0;
    int rc = AFCFileRefOpen(c, path, AFC_MODE_READ, &ref);
    if (rc != MDERR_OK) return {rc, {}};
    std::string buffer(bufferSize, '\0');
    uint32_t length = bufferSize;
    rc = AFCFileRefRead(c, ref, buffer.data(), &length);
    AFCFileRefClose(c, ref);
    buffer.resize(rc == MDERR_OK ? length : 0);
    return {rc, buffer};
}

std::map<std::string, std::string> FileInfo(AFCConnectionRef c, const char* path, int* rc) {
    std::map<std::string, std::string> pairs;
    AFCKeyValueRef info = nullptr;
    *rc = AFCFileInfoOpen(c, path, &info);
    if (*rc != MDERR_OK) return pairs;
    const char* key = nullptr;
    const char* value = nullptr;
    while (AFCKeyValueRead(info, &key, &value) == MDERR_OK && key && value) pairs[key] = value;
    AFCKeyValueClose(info);
    return pairs;
}

std::vector<std::string> ListDir(AFCConnectionRef c, const char* path, int* rc) {
    std::vector<std::string> names;
    AFCDirectoryRef dir = nullptr;
    *rc = AFCDirectoryOpen(c, path, &dir);
    if (*rc != MDERR_OK) return names;
    char* name = nullptr;
    while (AFCDirectoryRead(c, dir, &name) == MDERR_OK && name) names.push_back(name);
    AFCDirectoryClose(c, dir);
    return names;
}

// ---------------------------------------------------------------------------------------------
// A phone-side server on one end of a socket pair, running on its own thread.

class ServedConnection {
public:
    ServedConnection(const std::string& root, Resolution resolution) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
        fd_ = fds[0];
        server_ = std::thread([serverFd = fds[1], root, resolution] {
            ruvo::afc::ServeAfc(serverFd, root, ruvo::afc::ServeOptions{resolution});
        });
    }
    ~ServedConnection() {
        if (connection_) AFCConnectionClose(connection_);
        if (fd_ >= 0) close(fd_);
        server_.join();
    }

    int Fd() const { return fd_; }

    AFCConnectionRef Connection(unsigned int timeout = 5) {
        if (!connection_) {
            EXPECT_EQ(AFCConnectionOpen(fd_, timeout, &connection_), MDERR_OK);
        }
        return connection_;
    }

    // One raw request and its reply, for operations the AFC* calls do not offer.
    Packet Call(Op op, const std::string& data, const std::string& payload = {}) {
        Packet reply;
        uint64_t num = ++rawPacketNum_;
        EXPECT_EQ(ruvo::afc::WritePacket(fd_, num, op, data, payload, 5000), IoResult::Ok);
        EXPECT_EQ(ruvo::afc::ReadPacket(fd_, reply, 5000, 5000), IoResult::Ok);
        EXPECT_EQ(reply.packetNum, num);
        return reply;
    }

private:
    int fd_ = -1;
    std::thread server_;
    AFCConnectionRef connection_ = nullptr;
    uint64_t rawPacketNum_ = 1000;
};

// A temporary phone: base/phone/root is served; the rest of base must never be touched through it.
class AfcPhone : public ::testing::TestWithParam<Resolution> {
protected:
    void SetUp() override {
        base_ = MakeTempDir();
        root_ = base_ / "phone" / "root";
        outside_ = base_ / "outside";
        fs::create_directories(root_);
        fs::create_directories(outside_ / "keep");
        WriteLocal(outside_ / "secret.txt", "TOP SECRET");
        WriteLocal(outside_ / "keep" / "k.txt", "kept");
        phone_ = std::make_unique<ServedConnection>(root_.string(), GetParam());
        c_ = phone_->Connection();
    }
    void TearDown() override {
        phone_.reset();
        fs::remove_all(base_);
    }

    // Everything in the temporary area except the served root: two levels up from the root,
    // so a lookup that escaped through ".." or a link would land in what this covers.
    std::map<std::string, std::string> OutsideRoot() const {
        std::map<std::string, std::string> entries = Snapshot(base_);
        std::erase_if(entries, [](const auto& e) { return e.first.rfind("phone/root", 0) == 0; });
        return entries;
    }

    fs::path base_;
    fs::path root_;
    fs::path outside_;
    std::unique_ptr<ServedConnection> phone_;
    AFCConnectionRef c_ = nullptr;
};

std::string ResolutionName(const ::testing::TestParamInfo<Resolution>& info) {
    return info.param == Resolution::Auto ? "Kernel" : "Walk";
}

INSTANTIATE_TEST_SUITE_P(Resolutions, AfcPhone, ::testing::Values(Resolution::Auto, Resolution::Walk), ResolutionName);

// ---------------------------------------------------------------------------------------------
// The packet codec

TEST(AfcCodec, HeaderIsLittleEndianAfterMagic) {
    ruvo::afc::Header h{0x0102030405060708ull, 0x30, 7, 0x0A};
    unsigned char raw[40];
    ruvo::afc::EncodeHeader(h, raw);
    const unsigned char expected[40] = {'C', 'F', 'A',  '6', 'L',  'P', 'A', 'A', 8, 7, 6, 5, 4, 3,
                                        2,   1,   0x30, 0,   0,    0,   0,   0,   0, 0, 7, 0, 0, 0,
                                        0,   0,   0,    0,   0x0A, 0,   0,   0,   0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(raw, expected, 40), 0);
}

TEST(AfcCodec, DecodeChecksMagicLengthsAndBounds) {
    using ruvo::afc::kMaxDataLength;
    using ruvo::afc::kMaxPayloadLength;
    const uint64_t most = 40 + kMaxDataLength;
    struct Case {
        const char* desc;
        const char* magic;
        uint64_t entire;
        uint64_t thisLength;
        IoResult expected;
    } cases[] = {
        {"header only", "CFA6LPAA", 40, 40, IoResult::Ok},
        {"largest allowed parts", "CFA6LPAA", most + kMaxPayloadLength, most, IoResult::Ok},
        {"wrong magic", "CFA6LPAB", 40, 40, IoResult::Malformed},
        {"this_length below the header", "CFA6LPAA", 40, 39, IoResult::Malformed},
        {"entire_length below this_length", "CFA6LPAA", 48, 56, IoResult::Malformed},
        {"inline part over its bound", "CFA6LPAA", most + 1, most + 1, IoResult::Malformed},
        {"payload over its bound", "CFA6LPAA", most + kMaxPayloadLength + 1, most, IoResult::Malformed},
        {"lengths near 2^64", "CFA6LPAA", ~0ull, ~0ull, IoResult::Malformed},
    };
    for (const Case& c : cases) {
        std::string raw = RawPacket(c.entire, c.thisLength, 3, 1, {}, c.magic);
        ruvo::afc::Header decoded;
        IoResult r = ruvo::afc::DecodeHeader(reinterpret_cast<const unsigned char*>(raw.data()), decoded);
        EXPECT_EQ(r, c.expected) << c.desc;
        if (r == IoResult::Ok) {
            EXPECT_EQ(decoded.entireLength, c.entire) << c.desc;
            EXPECT_EQ(decoded.thisLength, c.thisLength) << c.desc;
            EXPECT_EQ(decoded.packetNum, 3u) << c.desc;
        }
    }
}

class AfcSocketPair : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0); }
    void TearDown() override {
        for (int fd : fds_)
            if (fd >= 0) close(fd);
    }
    int fds_[2] = {-1, -1};
};

TEST_F(AfcSocketPair, LargePacketSurvivesPartialSendsAndReads) {
    const std::string data("path\0", 5);
    const std::string payload = Pattern(3 * 1024 * 1024, 1);
    IoResult written = IoResult::SocketError;
    std::thread writer([&] { written = ruvo::afc::WritePacket(fds_[0], 42, Op::FileWrite, data, payload, 5000); });
    Packet p;
    EXPECT_EQ(ruvo::afc::ReadPacket(fds_[1], p, 5000, 5000), IoResult::Ok);
    writer.join();
    EXPECT_EQ(written, IoResult::Ok);
    EXPECT_EQ(p.packetNum, 42u);
    EXPECT_EQ(p.operation, static_cast<uint64_t>(Op::FileWrite));
    EXPECT_EQ(p.data, data);
    EXPECT_TRUE(p.payload == payload);
}

// Heap in use by the whole process, all arenas and mapped blocks; 0 where the allocator is not
// glibc's (the sanitizers replace it and report nothing here).
size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

TEST_F(AfcSocketPair, AnnouncedPayloadCostsOnlyWhatHasArrived) {
    void* volatile probe = malloc(1 << 20);
    const bool measurable = HeapInUse() >= (1 << 20);
    free(probe);
    if (!measurable) GTEST_SKIP() << "the allocator does not report its use here";

    // A header that announces the largest payload, then a few bytes of it and silence.
    const std::string announced = RawPacket(ruvo::afc::kHeaderSize + ruvo::afc::kMaxPayloadLength,
                                            ruvo::afc::kHeaderSize, 1, static_cast<uint64_t>(Op::FileWrite));
    const size_t before = HeapInUse();
    IoResult result = IoResult::Ok;
    std::thread reader([&] {
        Packet p;
        result = ruvo::afc::ReadPacket(fds_[1], p, 5000, 5000);
    });
    SendAll(fds_[0], announced + std::string(1000, 'x'));
    // Once the reader has taken every byte sent, it is waiting for the rest of the payload.
    int queued = 1;
    for (int i = 0; i < 5000 && queued > 0; ++i) {
        ASSERT_EQ(ioctl(fds_[1], FIONREAD, &queued), 0);
        if (queued > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(queued, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const size_t during = HeapInUse();
    shutdown(fds_[0], SHUT_WR);
    reader.join();
    EXPECT_EQ(result, IoResult::Closed);
    EXPECT_LT(during, before + 4 * 1024 * 1024) << "a 32 MiB announcement was allocated before its bytes came";
}

TEST_F(AfcSocketPair, PacketDrippedBytewiseIsReassembled) {
    std::string bytes = Frame(9, Op::GetFileInfo, std::string("a/b\0", 4), "xyz");
    std::thread writer([&] {
        for (char ch : bytes) {
            SendAll(fds_[0], std::string(1, ch));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    Packet p;
    EXPECT_EQ(ruvo::afc::ReadPacket(fds_[1], p, 2000, 2000), IoResult::Ok);
    writer.join();
    EXPECT_EQ(p.data, std::string("a/b\0", 4));
    EXPECT_EQ(p.payload, "xyz");
}

TEST(AfcCodec, ReadFailuresAreTold) {
    const std::string frame = Frame(1, Op::Status, U64(0));
    struct Case {
        const char* desc;
        std::string sent;
        bool closeAfter;
        IoResult expected;
    } cases[] = {
        {"nothing sent", "", false, IoResult::Timeout},
        {"half a header, then silence", frame.substr(0, 20), false, IoResult::Timeout},
        {"header and part of its data, then silence", frame.substr(0, 43), false, IoResult::Timeout},
        {"closed before a packet", "", true, IoResult::Closed},
        {"closed inside the header", frame.substr(0, 20), true, IoResult::Closed},
        {"closed inside the data", frame.substr(0, 43), true, IoResult::Closed},
        {"malformed header", RawPacket(40, 39, 1, 1), false, IoResult::Malformed},
    };
    for (const Case& c : cases) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        SendAll(fds[0], c.sent);
        if (c.closeAfter) shutdown(fds[0], SHUT_WR);
        Packet p;
        EXPECT_EQ(ruvo::afc::ReadPacket(fds[1], p, 100, 100), c.expected) << c.desc;
        close(fds[0]);
        close(fds[1]);
    }
}

// ---------------------------------------------------------------------------------------------
// The AFC* calls against the server

TEST_P(AfcPhone, WrittenFileReadsBackWithItsInfo) {
    ASSERT_EQ(PutFile(c_, "/notes.txt", "hello phone"), MDERR_OK);
    EXPECT_EQ(ReadLocal(root_ / "notes.txt"), "hello phone");

    ReadResult got = GetFile(c_, "/notes.txt");
    EXPECT_EQ(got.rc, MDERR_OK);
    EXPECT_EQ(got.bytes, "hello phone");

    int rc = 0;
    auto info = FileInfo(c_, "notes.txt", &rc);
    ASSERT_EQ(rc, MDERR_OK);
    EXPECT_EQ(info["st_size"], "11");
    EXPECT_EQ(info["st_ifmt"], "S_IFREG");
    EXPECT_EQ(info["st_nlink"], "1");
    EXPECT_TRUE(info.count("st_blocks"));
    EXPECT_TRUE(info.count("st_birthtime"));
    struct stat st;
    ASSERT_EQ(stat((root_ / "notes.txt").c_str(), &st), 0);
    EXPECT_EQ(info["st_mtime"], std::to_string(uint64_t(st.st_mtim.tv_sec) * 1000000000ull + st.st_mtim.tv_nsec));

    // Writing again truncates: no tail of the longer old content stays behind.
    ASSERT_EQ(PutFile(c_, "/notes.txt", "bye"), MDERR_OK);
    EXPECT_EQ(GetFile(c_, "/notes.txt").bytes, "bye");
}

TEST_P(AfcPhone, KeyValueReadEndsWithNullKeyAndValue) {
    WriteLocal(root_ / "f", "x");
    AFCKeyValueRef info = nullptr;
    ASSERT_EQ(AFCFileInfoOpen(c_, "/f", &info), MDERR_OK);
    const char* key = "unset";
    const char* value = "unset";
    int pairs = 0;
    while (AFCKeyValueRead(info, &key, &value) == MDERR_OK && key) ++pairs;
    EXPECT_EQ(pairs, 6);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(AFCKeyValueClose(info), MDERR_OK);
}

TEST_P(AfcPhone, BigFileCrossesChunksBothWays) {
    const std::string content = Pattern(5 * 1000 * 1000 + 123, 7);
    ASSERT_EQ(PutFile(c_, "/big.bin", content), MDERR_OK);
    EXPECT_TRUE(ReadLocal(root_ / "big.bin") == content);

    int rc = 0;
    auto info = FileInfo(c_, "/big.bin", &rc);
    ASSERT_EQ(rc, MDERR_OK);
    const uint32_t size = static_cast<uint32_t>(std::stoul(info["st_size"]));
    ASSERT_EQ(size, content.size());

    // One read call of st_size bytes, as whole-file reads do it.
    ReadResult exact = GetFile(c_, "/big.bin", size);
    EXPECT_EQ(exact.rc, MDERR_OK);
    EXPECT_TRUE(exact.bytes == content);

    // A buffer larger than the file stops at its end.
    ReadResult larger = GetFile(c_, "/big.bin", size + 4096);
    EXPECT_EQ(larger.rc, MDERR_OK);
    EXPECT_EQ(larger.bytes.size(), content.size());
}

TEST_P(AfcPhone, EmptyFileReadsZeroBytes) {
    WriteLocal(root_ / "empty", "");
    AFCFileRef ref = 0;
    ASSERT_EQ(AFCFileRefOpen(c_, "/empty", AFC_MODE_READ, &ref), MDERR_OK);
    EXPECT_NE(ref, 0u);
    char buffer[16];
    uint32_t length = sizeof buffer;
    EXPECT_EQ(AFCFileRefRead(c_, ref, buffer, &length), MDERR_OK);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(AFCFileRefClose(c_, ref), MDERR_OK);
}

TEST_P(AfcPhone, DirectoryListingHasDotsAndEntries) {
    fs::create_directories(root_ / "Sync" / "sub");
    WriteLocal(root_ / "Sync" / "a.plist", "a");
    WriteLocal(root_ / "Sync" / "b.plist", "b");
    int rc = 0;
    EXPECT_EQ(ListDir(c_, "/Sync/", &rc), (std::vector<std::string>{".", "..", "a.plist", "b.plist", "sub"}));
    EXPECT_EQ(rc, MDERR_OK);
    EXPECT_EQ(ListDir(c_, "/Sync/sub", &rc), (std::vector<std::string>{".", ".."}));
    EXPECT_EQ(ListDir(c_, "/", &rc), (std::vector<std::string>{".", "..", "Sync"}));
    EXPECT_EQ(ListDir(c_, "", &rc), (std::vector<std::string>{".", "..", "Sync"}));
}

TEST_P(AfcPhone, EntriesRemovedWhileListingIsOpen) {
    fs::create_directories(root_ / "Sync");
    for (const char* name : {"1.plist", "2.plist", "3.plist"}) WriteLocal(root_ / "Sync" / name, name);
    AFCDirectoryRef dir = nullptr;
    ASSERT_EQ(AFCDirectoryOpen(c_, "/Sync/", &dir), MDERR_OK);
    char* name = nullptr;
    int removed = 0;
    while (AFCDirectoryRead(c_, dir, &name) == MDERR_OK && name) {
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        EXPECT_EQ(AFCRemovePath(c_, ("/Sync/" + std::string(name)).c_str()), MDERR_OK) << name;
        ++removed;
    }
    EXPECT_EQ(AFCDirectoryClose(c_, dir), MDERR_OK);
    EXPECT_EQ(removed, 3);
    EXPECT_TRUE(fs::is_empty(root_ / "Sync"));
}

TEST_P(AfcPhone, MakeRenameAndRemove) {
    ASSERT_EQ(AFCDirectoryCreate(c_, "/Documents"), MDERR_OK);
    ASSERT_EQ(AFCDirectoryCreate(c_, "/Documents/PCConnection"), MDERR_OK);
    EXPECT_TRUE(fs::is_directory(root_ / "Documents" / "PCConnection"));
    ASSERT_EQ(PutFile(c_, "/Documents/PCConnection/Request", "req"), MDERR_OK);

    EXPECT_EQ(AFCRenamePath(c_, "/Documents/PCConnection/Request", "/Documents/Respone"), MDERR_OK);
    EXPECT_FALSE(fs::exists(root_ / "Documents" / "PCConnection" / "Request"));
    EXPECT_EQ(ReadLocal(root_ / "Documents" / "Respone"), "req");

    EXPECT_EQ(AFCRenamePath(c_, "/Documents/PCConnection", "/Moved"), MDERR_OK);
    EXPECT_TRUE(fs::is_directory(root_ / "Moved"));

    EXPECT_EQ(AFCRemovePath(c_, "/Documents/Respone"), MDERR_OK);
    EXPECT_EQ(AFCRemovePath(c_, "/Moved"), MDERR_OK);
    EXPECT_EQ(Snapshot(root_), (std::map<std::string, std::string>{{"Documents", "<dir>"}}));
}

TEST_P(AfcPhone, FailuresGiveTheDeviceStatus) {
    WriteLocal(root_ / "file.txt", "hello");
    fs::create_directories(root_ / "dir");
    fs::create_directories(root_ / "full");
    WriteLocal(root_ / "full" / "x", "x");
    AFCFileRef readOnly = 0;
    AFCFileRef writeOnly = 0;
    ASSERT_EQ(AFCFileRefOpen(c_, "/file.txt", AFC_MODE_READ, &readOnly), MDERR_OK);
    ASSERT_EQ(AFCFileRefOpen(c_, "/w.txt", AFC_MODE_WRITE, &writeOnly), MDERR_OK);

    AFCConnectionRef c = c_;
    auto open = [c](const char* path, uint64_t mode) {
        AFCFileRef ref = 0;
        int rc = AFCFileRefOpen(c, path, mode, &ref);
        if (rc == MDERR_OK) AFCFileRefClose(c, ref);
        return rc;
    };
    auto info = [c](const char* path) {
        int rc = 0;
        FileInfo(c, path, &rc);
        return rc;
    };
    auto list = [c](const char* path) {
        int rc = 0;
        ListDir(c, path, &rc);
        return rc;
    };
    auto read = [c](AFCFileRef ref) {
        char buffer[8];
        uint32_t length = sizeof buffer;
        return AFCFileRefRead(c, ref, buffer, &length);
    };
    struct Case {
        const char* desc;
        std::function<int()> call;
        int expected;
    } cases[] = {
        {"info of a missing file", [&] { return info("/missing"); }, kAfcNotFound},
        {"info below a file", [&] { return info("/file.txt/x"); }, kAfcNotFound},
        {"open a missing file for reading", [&] { return open("/missing", AFC_MODE_READ); }, kAfcNotFound},
        {"create in a missing folder", [&] { return open("/nodir/f", AFC_MODE_WRITE); }, kAfcNotFound},
        {"open a folder for reading", [&] { return open("/dir", AFC_MODE_READ); }, kAfcIsDir},
        {"open a folder for writing", [&] { return open("/dir", AFC_MODE_WRITE); }, kAfcIsDir},
        {"open the root", [&] { return open("/", AFC_MODE_READ); }, kAfcIsDir},
        {"open with an unknown mode", [&] { return open("/file.txt", 9); }, kAfcInvalidArg},
        {"list a missing folder", [&] { return list("/missing"); }, kAfcNotFound},
        {"list a file", [&] { return list("/file.txt"); }, kAfcNotFound},
        {"make an existing folder", [&] { return AFCDirectoryCreate(c, "/dir"); }, kAfcExists},
        {"make over an existing file", [&] { return AFCDirectoryCreate(c, "/file.txt"); }, kAfcExists},
        {"make in a missing folder", [&] { return AFCDirectoryCreate(c, "/nodir/sub"); }, kAfcNotFound},
        {"remove a folder with entries", [&] { return AFCRemovePath(c, "/full"); }, kAfcUnknownError},
        {"remove a missing path", [&] { return AFCRemovePath(c, "/missing"); }, kAfcNotFound},
        {"remove the root", [&] { return AFCRemovePath(c, "/"); }, kAfcPermDenied},
        {"remove a path ending in ..", [&] { return AFCRemovePath(c, "/dir/.."); }, kAfcInvalidArg},
        {"rename a missing path", [&] { return AFCRenamePath(c, "/missing", "/other"); }, kAfcNotFound},
        {"rename into a missing folder", [&] { return AFCRenamePath(c, "/file.txt", "/nodir/f"); }, kAfcNotFound},
        {"rename the root", [&] { return AFCRenamePath(c, "/", "/r"); }, kAfcPermDenied},
        {"read an unknown reference", [&] { return read(12345); }, kAfcInvalidArg},
        {"write an unknown reference", [&] { return AFCFileRefWrite(c, 12345, "x", 1); }, kAfcInvalidArg},
        {"close an unknown reference", [&] { return AFCFileRefClose(c, 12345); }, kAfcInvalidArg},
        {"read a write-only reference", [&] { return read(writeOnly); }, kAfcPermDenied},
        {"write a read-only reference", [&] { return AFCFileRefWrite(c, readOnly, "x", 1); }, kAfcPermDenied},
    };
    for (const Case& k : cases) EXPECT_EQ(k.call(), k.expected) << k.desc;

    // Device statuses do not break the connection, and nothing was changed by the failures.
    EXPECT_EQ(GetFile(c_, "/file.txt").bytes, "hello");
    EXPECT_TRUE(fs::exists(root_ / "full" / "x"));
    EXPECT_FALSE(fs::exists(root_ / "other"));
    EXPECT_EQ(AFCFileRefClose(c_, readOnly), MDERR_OK);
    EXPECT_EQ(AFCFileRefClose(c_, writeOnly), MDERR_OK);
    EXPECT_EQ(AFCFileRefClose(c_, writeOnly), kAfcInvalidArg) << "a closed reference is gone";
}

TEST_P(AfcPhone, OpenReferencesAreBoundedPerConnection) {
    WriteLocal(root_ / "f", "x");
    std::vector<AFCFileRef> refs;
    for (int i = 0; i < 64; ++i) {
        AFCFileRef ref = 0;
        ASSERT_EQ(AFCFileRefOpen(c_, "/f", AFC_MODE_READ, &ref), MDERR_OK) << i;
        refs.push_back(ref);
    }
    AFCFileRef extra = 0;
    EXPECT_EQ(AFCFileRefOpen(c_, "/f", AFC_MODE_READ, &extra), kAfcNoResources);
    EXPECT_EQ(AFCFileRefClose(c_, refs.back()), MDERR_OK);
    EXPECT_EQ(AFCFileRefOpen(c_, "/f", AFC_MODE_READ, &extra), MDERR_OK);
    // References are the server's own numbers, each distinct.
    refs.back() = extra;
    std::sort(refs.begin(), refs.end());
    EXPECT_EQ(std::adjacent_find(refs.begin(), refs.end()), refs.end());
}

TEST_P(AfcPhone, SpecialFilesAreNotOpened) {
    ASSERT_EQ(mkfifo((root_ / "fifo").c_str(), 0644), 0);
    AFCFileRef ref = 0;
    // Opening a FIFO would block the server forever if it were attempted as a file.
    EXPECT_EQ(AFCFileRefOpen(c_, "/fifo", AFC_MODE_READ, &ref), kAfcPermDenied);
    EXPECT_EQ(AFCFileRefOpen(c_, "/fifo", AFC_MODE_WRITE, &ref), kAfcPermDenied);
    int rc = 0;
    EXPECT_EQ(FileInfo(c_, "/fifo", &rc)["st_ifmt"], "S_IFIFO");
}

// Operations that the AFC* calls do not offer, spoken as raw packets.
TEST_P(AfcPhone, SeekTellAndSetSize) {
    ServedConnection raw(root_.string(), GetParam());
    Packet opened = raw.Call(Op::FileOpen, U64(AFC_MODE_READ_WRITE_TRUNC) + std::string("/f\0", 3));
    ASSERT_EQ(opened.operation, static_cast<uint64_t>(Op::FileOpenRes));
    const std::string handle = opened.data;
    ASSERT_EQ(StatusOf(raw.Call(Op::FileWrite, handle, "0123456789")), 0u);

    auto tell = [&] {
        Packet p = raw.Call(Op::FileTell, handle);
        EXPECT_EQ(p.operation, static_cast<uint64_t>(Op::FileTellRes));
        return ruvo::afc::ReadU64(p.data, 0).value_or(~0ull);
    };
    auto readTwo = [&] { return raw.Call(Op::FileRead, handle + U64(2)).payload; };
    EXPECT_EQ(tell(), 10u);
    EXPECT_EQ(StatusOf(raw.Call(Op::FileSeek, handle + U64(0) + U64(3))), 0u);
    EXPECT_EQ(tell(), 3u);
    EXPECT_EQ(readTwo(), "34");
    EXPECT_EQ(StatusOf(raw.Call(Op::FileSeek, handle + U64(1) + U64(1))), 0u);
    EXPECT_EQ(readTwo(), "67");
    EXPECT_EQ(StatusOf(raw.Call(Op::FileSeek, handle + U64(2) + U64(uint64_t(-2)))), 0u);
    EXPECT_EQ(readTwo(), "89");
    EXPECT_EQ(StatusOf(raw.Call(Op::FileSeek, handle + U64(3) + U64(0))), 7u) << "unknown whence";
    EXPECT_EQ(StatusOf(raw.Call(Op::FileSeek, handle + U64(0) + U64(uint64_t(-5)))), 7u) << "before the start";

    EXPECT_EQ(StatusOf(raw.Call(Op::FileSetSize, handle + U64(4))), 0u);
    EXPECT_EQ(ReadLocal(root_ / "f"), "0123");
    EXPECT_EQ(StatusOf(raw.Call(Op::FileSetSize, U64(999) + U64(4))), 7u) << "unknown handle";
    EXPECT_EQ(StatusOf(raw.Call(Op::FileClose, handle)), 0u);
}

TEST_P(AfcPhone, ServerBoundsOneRead) {
    const std::string content = Pattern(ruvo::afc::kMaxServerReadSize + 1000, 3);
    WriteLocal(root_ / "big", content);
    ServedConnection raw(root_.string(), GetParam());
    Packet opened = raw.Call(Op::FileOpen, U64(AFC_MODE_READ) + std::string("big\0", 4));
    ASSERT_EQ(opened.operation, static_cast<uint64_t>(Op::FileOpenRes));
    Packet first = raw.Call(Op::FileRead, opened.data + U64(1ull << 40));
    EXPECT_EQ(first.operation, static_cast<uint64_t>(Op::Data));
    EXPECT_EQ(first.payload.size(), ruvo::afc::kMaxServerReadSize);
    Packet rest = raw.Call(Op::FileRead, opened.data + U64(1ull << 40));
    EXPECT_TRUE(first.payload + rest.payload == content);
    EXPECT_TRUE(raw.Call(Op::FileRead, opened.data + U64(10)).payload.empty()) << "end of file";
}

TEST_P(AfcPhone, RemoveWithContentsKeepsLinkTargets) {
    fs::create_directories(root_ / "tree" / "a" / "b");
    WriteLocal(root_ / "tree" / "a" / "b" / "f", "f");
    WriteLocal(root_ / "tree" / "top", "t");
    fs::create_directory_symlink(outside_, root_ / "tree" / "a" / "to_outside");
    fs::create_symlink(root_ / "keepme", root_ / "tree" / "to_keepme");
    WriteLocal(root_ / "keepme", "still here");
    const auto outsideBefore = OutsideRoot();

    ServedConnection raw(root_.string(), GetParam());
    // A link named directly goes itself; the folder it points to keeps its entries.
    EXPECT_EQ(StatusOf(raw.Call(Op::RemovePathAndContents, std::string("/tree/a/to_outside\0", 19))), 0u);
    EXPECT_EQ(OutsideRoot(), outsideBefore);
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "tree" / "a" / "to_outside")));
    fs::create_directory_symlink(outside_, root_ / "tree" / "a" / "to_outside");

    EXPECT_EQ(StatusOf(raw.Call(Op::RemovePathAndContents, std::string("/tree\0", 6))), 0u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "tree")));
    EXPECT_EQ(ReadLocal(root_ / "keepme"), "still here");
    EXPECT_EQ(OutsideRoot(), outsideBefore);
    EXPECT_EQ(StatusOf(raw.Call(Op::RemovePathAndContents, std::string("/tree\0", 6))), 8u);
    EXPECT_EQ(StatusOf(raw.Call(Op::RemovePathAndContents, std::string("/\0", 2))), 10u);
    EXPECT_TRUE(fs::exists(root_ / "keepme")) << "the root survives";
}

TEST_P(AfcPhone, DeviceInfoAndRequestErrors) {
    ServedConnection raw(root_.string(), GetParam());
    Packet devinfo = raw.Call(Op::GetDevInfo, "");
    ASSERT_EQ(devinfo.operation, static_cast<uint64_t>(Op::Data));
    std::vector<std::string> tokens = SplitNul(devinfo.payload);
    ASSERT_EQ(tokens.size() % 2, 0u);
    std::map<std::string, std::string> pairs;
    for (size_t i = 0; i + 1 < tokens.size(); i += 2) pairs[tokens[i]] = tokens[i + 1];
    EXPECT_FALSE(pairs["Model"].empty());
    EXPECT_GT(std::stoull(pairs["FSTotalBytes"]), 0u);
    EXPECT_LE(std::stoull(pairs["FSFreeBytes"]), std::stoull(pairs["FSTotalBytes"]));

    struct Case {
        const char* desc;
        uint64_t op;
        std::string data;
        uint64_t status;
    } cases[] = {
        {"unknown opcode", 0x50, "", 6},
        {"a reply opcode sent as a request", static_cast<uint64_t>(Op::Status), U64(0), 6},
        {"path without its terminator", static_cast<uint64_t>(Op::GetFileInfo), "abc", 7},
        {"rename with one path", static_cast<uint64_t>(Op::RenamePath), std::string("a\0", 2), 7},
        {"open without a path", static_cast<uint64_t>(Op::FileOpen), U64(1), 7},
        {"read without a length", static_cast<uint64_t>(Op::FileRead), U64(1), 7},
    };
    for (const Case& c : cases) {
        SendAll(raw.Fd(), Frame(77, static_cast<Op>(c.op), c.data));
        Packet reply;
        ASSERT_EQ(ruvo::afc::ReadPacket(raw.Fd(), reply, 5000, 5000), IoResult::Ok) << c.desc;
        EXPECT_EQ(reply.packetNum, 77u) << c.desc;
        EXPECT_EQ(StatusOf(reply), c.status) << c.desc;
    }
    // The session goes on after each refusal.
    EXPECT_EQ(raw.Call(Op::ReadDir, std::string("/\0", 2)).operation, static_cast<uint64_t>(Op::Data));
}

// ---------------------------------------------------------------------------------------------
// Paths never leave the root

class AfcConfinement : public AfcPhone {
protected:
    void SetUp() override {
        AfcPhone::SetUp();
        fs::create_directories(root_ / "etc");
        fs::create_directories(root_ / "sub" / "deeper");
        WriteLocal(root_ / "etc" / "passwd", "phone passwd");
        WriteLocal(root_ / "file.txt", "hello");
        fs::create_directory_symlink("/etc", root_ / "link_etc");
        fs::create_directory_symlink("/etc", root_ / "sub" / "deeper" / "abs_etc");
        fs::create_directory_symlink("../../", root_ / "link_up");
        fs::create_directory_symlink(outside_, root_ / "link_abs");
        fs::create_directory_symlink("../../outside", root_ / "link_rel_out");
        fs::create_symlink(outside_ / "created.txt", root_ / "dangle_abs");
        fs::create_symlink("../../outside/created.txt", root_ / "dangle_rel");
        outsideBefore_ = OutsideRoot();
    }
    void TearDown() override {
        EXPECT_EQ(OutsideRoot(), outsideBefore_) << "something outside the root changed";
        AfcPhone::TearDown();
    }
    std::map<std::string, std::string> outsideBefore_;
};

INSTANTIATE_TEST_SUITE_P(Resolutions, AfcConfinement, ::testing::Values(Resolution::Auto, Resolution::Walk),
                         ResolutionName);

TEST_P(AfcConfinement, ReadsResolveInsideTheRoot) {
    // ".." stops at the root and links are looked up as if the root were "/", so the phone's
    // own /etc/passwd is what these names reach, never the computer's.
    struct Case {
        const char* path;
        int rc;
        const char* content;
    } cases[] = {
        {"/../../etc/passwd", MDERR_OK, "phone passwd"},
        {"sub/../../../etc/passwd", MDERR_OK, "phone passwd"},
        {"link_etc/passwd", MDERR_OK, "phone passwd"},
        {"link_up/etc/passwd", MDERR_OK, "phone passwd"},
        {"sub/deeper/abs_etc/passwd", MDERR_OK, "phone passwd"},
        {"link_up/link_up/file.txt", MDERR_OK, "hello"},
        {"../../outside/secret.txt", kAfcNotFound, ""},
        {"sub/deeper/../../../../outside/secret.txt", kAfcNotFound, ""},
        {"link_up/outside/secret.txt", kAfcNotFound, ""},
        {"link_abs/secret.txt", kAfcNotFound, ""},
        {"link_rel_out/secret.txt", kAfcNotFound, ""},
        {"dangle_abs", kAfcNotFound, ""},
    };
    for (const auto& c : cases) {
        ReadResult got = GetFile(c_, c.path);
        EXPECT_EQ(got.rc, c.rc) << c.path;
        EXPECT_EQ(got.bytes, c.content) << c.path;
    }
    int rc = 0;
    EXPECT_EQ(ListDir(c_, "link_abs", &rc).size(), 0u);
    EXPECT_EQ(rc, kAfcNotFound);
    auto listing = ListDir(c_, "/link_up/..", &rc);
    EXPECT_EQ(rc, MDERR_OK);
    EXPECT_NE(std::find(listing.begin(), listing.end(), "file.txt"), listing.end()) << "the root's own listing";
}

TEST_P(AfcConfinement, LinksAreReportedNotFollowed) {
    int rc = 0;
    auto info = FileInfo(c_, "/link_abs", &rc);
    ASSERT_EQ(rc, MDERR_OK);
    EXPECT_EQ(info["st_ifmt"], "S_IFLNK");
    EXPECT_EQ(info["LinkTarget"], outside_.string());
    info = FileInfo(c_, "/link_up/..", &rc);
    EXPECT_EQ(rc, MDERR_OK);
    EXPECT_EQ(info["st_ifmt"], "S_IFDIR");
    EXPECT_EQ(info.count("LinkTarget"), 0u);
}

TEST_P(AfcConfinement, ChangesStayInsideTheRoot) {
    AFCConnectionRef c = c_;
    struct Case {
        const char* desc;
        std::function<int()> call;
        int expected;
    } cases[] = {
        {"write beside the root", [&] { return PutFile(c, "../../outside/new.txt", "x"); }, kAfcNotFound},
        {"write through an absolute link", [&] { return PutFile(c, "link_abs/new.txt", "x"); }, kAfcNotFound},
        {"write through a relative link", [&] { return PutFile(c, "link_rel_out/new.txt", "x"); }, kAfcNotFound},
        {"write through link_up", [&] { return PutFile(c, "link_up/outside/new.txt", "x"); }, kAfcNotFound},
        {"write a dangling absolute link", [&] { return PutFile(c, "dangle_abs", "x"); }, kAfcNotFound},
        {"write a dangling relative link", [&] { return PutFile(c, "dangle_rel", "x"); }, kAfcNotFound},
        {"write with .. past the root", [&] { return PutFile(c, "sub/../../clamped.txt", "in"); }, MDERR_OK},
        {"make a folder beside the root", [&] { return AFCDirectoryCreate(c, "../../outside/newdir"); }, kAfcNotFound},
        {"make a folder through a link", [&] { return AFCDirectoryCreate(c, "link_abs/newdir"); }, kAfcNotFound},
        {"make a folder through link_up", [&] { return AFCDirectoryCreate(c, "link_up/made"); }, MDERR_OK},
        {"rename out of the root", [&] { return AFCRenamePath(c, "file.txt", "../../outside/stolen.txt"); },
         kAfcNotFound},
        {"rename through a link", [&] { return AFCRenamePath(c, "file.txt", "link_abs/stolen.txt"); }, kAfcNotFound},
        {"rename in from outside", [&] { return AFCRenamePath(c, "../../outside/secret.txt", "got.txt"); },
         kAfcNotFound},
        {"rename from through a link", [&] { return AFCRenamePath(c, "link_abs/secret.txt", "got.txt"); },
         kAfcNotFound},
        {"remove beside the root", [&] { return AFCRemovePath(c, "../../outside/secret.txt"); }, kAfcNotFound},
        {"remove through a link", [&] { return AFCRemovePath(c, "link_abs/secret.txt"); }, kAfcNotFound},
        {"remove inside a linked folder", [&] { return AFCRemovePath(c, "link_abs/keep/k.txt"); }, kAfcNotFound},
        {"remove through link_up", [&] { return AFCRemovePath(c, "link_up/outside/keep/k.txt"); }, kAfcNotFound},
        {"rename a link itself", [&] { return AFCRenamePath(c, "link_rel_out", "renamed_link"); }, MDERR_OK},
        {"remove a link to a folder", [&] { return AFCRemovePath(c, "link_abs"); }, MDERR_OK},
        {"remove a link to the phone's /etc", [&] { return AFCRemovePath(c, "link_etc"); }, MDERR_OK},
    };
    for (const Case& k : cases) EXPECT_EQ(k.call(), k.expected) << k.desc;

    EXPECT_EQ(ReadLocal(root_ / "clamped.txt"), "in");
    EXPECT_TRUE(fs::is_directory(root_ / "made"));
    EXPECT_EQ(ReadLocal(root_ / "file.txt"), "hello");
    EXPECT_TRUE(fs::is_symlink(root_ / "renamed_link"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "link_abs")));
    EXPECT_EQ(ReadLocal(root_ / "etc" / "passwd"), "phone passwd") << "removing a link keeps its target";
    // TearDown checks that nothing beside the root changed.
}

// ---------------------------------------------------------------------------------------------
// The server facing malformed packets

TEST_P(AfcPhone, MalformedPacketClosesOnlyItsConnection) {
    WriteLocal(root_ / "f", "x");
    int rc = 0;
    ASSERT_EQ(FileInfo(c_, "/f", &rc)["st_size"], "1");

    const uint64_t kInfo = static_cast<uint64_t>(Op::GetFileInfo);
    struct Case {
        const char* desc;
        std::string bytes;
        bool closeAfter;
    } cases[] = {
        {"wrong magic", RawPacket(42, 42, 1, kInfo, std::string("f\0", 2), "XXXXXXXX"), false},
        {"this_length below 40", RawPacket(40, 39, 1, kInfo), false},
        {"entire_length below this_length", RawPacket(42, 50, 1, kInfo, std::string(10, 'a')), false},
        {"huge length", RawPacket(1ull << 62, 40, 1, kInfo), false},
        {"inline part over the bound", RawPacket(40 + (1 << 20), 40 + (1 << 20), 1, kInfo), false},
        {"truncated then closed", Frame(1, Op::GetFileInfo, std::string("/f\0", 3)).substr(0, 30), true},
    };
    for (const Case& c : cases) {
        ServedConnection victim(root_.string(), GetParam());
        SendAll(victim.Fd(), c.bytes);
        if (c.closeAfter) shutdown(victim.Fd(), SHUT_WR);
        EXPECT_TRUE(PeerClosesWithin(victim.Fd(), 3000)) << c.desc;
        // The other connection to the same phone keeps working.
        EXPECT_EQ(FileInfo(c_, "/f", &rc)["st_size"], "1") << c.desc;
        EXPECT_EQ(rc, MDERR_OK) << c.desc;
    }
}

// ---------------------------------------------------------------------------------------------
// The client facing a misbehaving phone

// Answers each request with what its script gives, then reads on without answering until the
// client goes away, recording every request.
class FakePhone {
public:
    struct Answer {
        std::string bytes;
        bool closeAfter = false;
    };
    using Step = std::function<Answer(const Packet&)>;

    explicit FakePhone(std::vector<Step> script) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
        clientFd_ = fds[0];
        thread_ = std::thread([this, serverFd = fds[1], script = std::move(script)] {
            size_t next = 0;
            for (;;) {
                Packet request;
                if (ruvo::afc::ReadPacket(serverFd, request, 10000, 10000) != IoResult::Ok) break;
                {
                    std::scoped_lock lock(mutex_);
                    requests_.push_back(request);
                }
                if (next >= script.size()) continue;
                Answer answer = script[next++](request);
                SendAll(serverFd, answer.bytes);
                if (answer.closeAfter) break;
            }
            close(serverFd);
        });
    }
    ~FakePhone() { Finish(); }

    int Fd() const { return clientFd_; }

    // Closes the client's end, waits for the phone thread, and returns what it received.
    std::vector<Packet> Finish() {
        if (clientFd_ >= 0) {
            close(clientFd_);
            clientFd_ = -1;
        }
        if (thread_.joinable()) thread_.join();
        std::scoped_lock lock(mutex_);
        return requests_;
    }

private:
    int clientFd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Packet> requests_;
};

FakePhone::Answer Reply(const Packet& request, Op op, const std::string& data, const std::string& payload = {}) {
    return {Frame(request.packetNum, op, data, payload)};
}

TEST(AfcClient, BadRepliesAreErrorsThatBreakTheConnection) {
    using Step = FakePhone::Step;
    auto infoCall = [](AFCConnectionRef c) {
        AFCKeyValueRef info = nullptr;
        int rc = AFCFileInfoOpen(c, "/f", &info);
        if (info) AFCKeyValueClose(info);
        return rc;
    };
    auto openCall = [](AFCConnectionRef c) {
        AFCFileRef ref = 0;
        return AFCFileRefOpen(c, "/f", AFC_MODE_READ, &ref);
    };
    auto readCall = [](AFCConnectionRef c) {
        char buffer[4];
        uint32_t length = sizeof buffer;
        return AFCFileRefRead(c, 5, buffer, &length);
    };
    const uint64_t kData = static_cast<uint64_t>(Op::Data);
    struct Case {
        const char* desc;
        std::function<int(AFCConnectionRef)> call;
        Step step;
        int expected;
    } cases[] = {
        {"wrong packet number", infoCall,
         [](const Packet& r) { return FakePhone::Answer{Frame(r.packetNum + 1, Op::Data, "")}; }, MDERR_PROTOCOL},
        {"wrong magic", infoCall,
         [=](const Packet& r) { return FakePhone::Answer{RawPacket(40, 40, r.packetNum, kData, {}, "CFA6LPAB")}; },
         MDERR_PROTOCOL},
        {"huge length", infoCall,
         [=](const Packet& r) { return FakePhone::Answer{RawPacket(1ull << 40, 40, r.packetNum, kData)}; },
         MDERR_PROTOCOL},
        {"entire_length below this_length", infoCall,
         [=](const Packet& r) { return FakePhone::Answer{RawPacket(40, 48, r.packetNum, kData, U64(0))}; },
         MDERR_PROTOCOL},
        {"closes mid-reply", infoCall,
         [=](const Packet& r) {
             return FakePhone::Answer{RawPacket(140, 40, r.packetNum, kData, "short"), true};
         },
         MDERR_SOCKET},
        {"closes instead of replying", infoCall,
         [](const Packet&) {
             return FakePhone::Answer{"", true};
         },
         MDERR_SOCKET},
        {"unexpected operation", infoCall, [](const Packet& r) { return Reply(r, Op::FileOpenRes, U64(3)); },
         MDERR_PROTOCOL},
        {"status without its code", infoCall, [](const Packet& r) { return Reply(r, Op::Status, "abc"); },
         MDERR_PROTOCOL},
        {"open result of 4 bytes", openCall, [](const Packet& r) { return Reply(r, Op::FileOpenRes, "abcd"); },
         MDERR_PROTOCOL},
        {"open result of handle 0", openCall, [](const Packet& r) { return Reply(r, Op::FileOpenRes, U64(0)); },
         MDERR_PROTOCOL},
        {"open answered with data", openCall, [](const Packet& r) { return Reply(r, Op::Data, "", "x"); },
         MDERR_PROTOCOL},
        {"read returns more than asked", readCall,
         [](const Packet& r) { return Reply(r, Op::Data, "", "too many bytes"); }, MDERR_PROTOCOL},
        {"read returns more than asked, inline and payload together", readCall,
         [](const Packet& r) { return Reply(r, Op::Data, "abc", "de"); }, MDERR_PROTOCOL},
        {"read returns more than asked, all inline", readCall,
         [](const Packet& r) { return Reply(r, Op::Data, "abcde"); }, MDERR_PROTOCOL},
    };
    for (const Case& c : cases) {
        // The phone would answer a second request correctly; a broken connection must not send one.
        FakePhone phone({c.step, [](const Packet& r) { return Reply(r, Op::Status, U64(0)); }});
        AFCConnectionRef conn = nullptr;
        ASSERT_EQ(AFCConnectionOpen(phone.Fd(), 5, &conn), MDERR_OK);
        EXPECT_EQ(c.call(conn), c.expected) << c.desc;
        EXPECT_NE(AFCDirectoryCreate(conn, "/later"), MDERR_OK) << c.desc;
        AFCConnectionClose(conn);
        EXPECT_EQ(phone.Finish().size(), 1u) << c.desc << ": the failed connection sent again";
    }
}

// File contents come in the inline part, the payload or both (in that order); the bytes are read
// into the caller's buffer in that order, and a success status or an empty reply ends the file.
TEST(AfcClient, ReadRepliesFillTheBufferInOrder) {
    struct Case {
        const char* desc;
        const char* inlinePart;
        const char* payload;
        std::string expected;
    } cases[] = {
        {"payload only", "", "abcd", "abcd"},
        {"inline only", "abcd", "", "abcd"},
        {"inline then payload", "ab", "cd", "abcd"},
        {"fewer bytes than asked, then the end", "", "ab", "ab"},
    };
    for (const Case& c : cases) {
        FakePhone phone({[&](const Packet& r) { return Reply(r, Op::Data, c.inlinePart, c.payload); },
                         [](const Packet& r) { return Reply(r, Op::Status, U64(0)); }});
        AFCConnectionRef conn = nullptr;
        ASSERT_EQ(AFCConnectionOpen(phone.Fd(), 5, &conn), MDERR_OK);
        char buffer[4] = {'.', '.', '.', '.'};
        uint32_t length = sizeof buffer;
        EXPECT_EQ(AFCFileRefRead(conn, 5, buffer, &length), MDERR_OK) << c.desc;
        EXPECT_EQ(std::string(buffer, length), c.expected) << c.desc;
        AFCConnectionClose(conn);
        phone.Finish();
    }
}

TEST(AfcClient, DeviceStatusKeepsTheConnectionAndPacketNumbersRise) {
    FakePhone phone({
        [](const Packet& r) { return Reply(r, Op::Status, U64(8)); },
        [](const Packet& r) { return Reply(r, Op::Status, U64(16)); },
        [](const Packet& r) {
            return Reply(r, Op::Data, "",
                         std::string("st_size\0"
                                     "12\0",
                                     11));
        },
        // A success status where data is expected is an empty answer.
        [](const Packet& r) { return Reply(r, Op::Status, U64(0)); },
    });
    AFCConnectionRef conn = nullptr;
    ASSERT_EQ(AFCConnectionOpen(phone.Fd(), 5, &conn), MDERR_OK);
    int rc = 0;
    FileInfo(conn, "/missing", &rc);
    EXPECT_EQ(rc, MDERR_AFC_BASE - 8);
    EXPECT_EQ(AFCDirectoryCreate(conn, "/exists"), MDERR_AFC_BASE - 16);
    EXPECT_EQ(FileInfo(conn, "/f", &rc)["st_size"], "12");
    EXPECT_EQ(rc, MDERR_OK);
    EXPECT_TRUE(FileInfo(conn, "/f", &rc).empty());
    EXPECT_EQ(rc, MDERR_OK);
    AFCConnectionClose(conn);

    std::vector<Packet> requests = phone.Finish();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].operation, static_cast<uint64_t>(Op::GetFileInfo));
    EXPECT_EQ(requests[0].data, std::string("/missing\0", 9));
    EXPECT_EQ(requests[1].operation, static_cast<uint64_t>(Op::MakeDir));
    for (size_t i = 1; i < requests.size(); ++i) EXPECT_EQ(requests[i].packetNum, requests[i - 1].packetNum + 1);
}

TEST(AfcClient, SilentPhoneTimesOut) {
    FakePhone phone({[](const Packet&) { return FakePhone::Answer{}; }});
    AFCConnectionRef conn = nullptr;
    ASSERT_EQ(AFCConnectionOpen(phone.Fd(), 1, &conn), MDERR_OK);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(AFCDirectoryCreate(conn, "/d"), MDERR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    // A late reply would be out of step, so the connection stays failed: the next call is refused
    // as a broken connection at once instead of being sent and timing out again.
    EXPECT_EQ(AFCDirectoryCreate(conn, "/d"), MDERR_SOCKET);
    AFCConnectionClose(conn);
}

TEST(AfcClient, CloseLeavesTheSocketToItsHolder) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    AFCConnectionRef conn = nullptr;
    ASSERT_EQ(AFCConnectionOpen(fds[0], 5, &conn), MDERR_OK);
    ASSERT_EQ(AFCConnectionClose(conn), MDERR_OK);
    EXPECT_NE(fcntl(fds[0], F_GETFD), -1) << "the socket must still be open";
    EXPECT_EQ(send(fds[0], "x", 1, MSG_NOSIGNAL), 1);
    close(fds[0]);
    close(fds[1]);
}

TEST(AfcClient, NullArgumentsAreRefused) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    AFCConnectionRef c = nullptr;
    ASSERT_EQ(AFCConnectionOpen(fds[0], 5, &c), MDERR_OK);
    AFCKeyValueRef info = nullptr;
    AFCDirectoryRef dir = nullptr;
    AFCFileRef ref = 0;
    const char* key = nullptr;
    const char* value = nullptr;
    char* name = nullptr;
    char buffer[4];
    uint32_t length = sizeof buffer;
    struct Case {
        const char* desc;
        std::function<int()> call;
    } cases[] = {
        {"open without out connection", [&] { return AFCConnectionOpen(fds[0], 5, nullptr); }},
        {"open with a negative socket", [&] { return AFCConnectionOpen(-1, 5, &c); }},
        {"close null", [&] { return AFCConnectionClose(nullptr); }},
        {"info without connection", [&] { return AFCFileInfoOpen(nullptr, "/", &info); }},
        {"info without path", [&] { return AFCFileInfoOpen(c, nullptr, &info); }},
        {"info without out", [&] { return AFCFileInfoOpen(c, "/", nullptr); }},
        {"key-value read null", [&] { return AFCKeyValueRead(nullptr, &key, &value); }},
        {"key-value close null", [&] { return AFCKeyValueClose(nullptr); }},
        {"file open without path", [&] { return AFCFileRefOpen(c, nullptr, 1, &ref); }},
        {"file open without out", [&] { return AFCFileRefOpen(c, "/f", 1, nullptr); }},
        {"read reference 0", [&] { return AFCFileRefRead(c, 0, buffer, &length); }},
        {"read without buffer", [&] { return AFCFileRefRead(c, 1, nullptr, &length); }},
        {"read without length", [&] { return AFCFileRefRead(c, 1, buffer, nullptr); }},
        {"write without data", [&] { return AFCFileRefWrite(c, 1, nullptr, 3); }},
        {"close reference 0", [&] { return AFCFileRefClose(c, 0); }},
        {"directory open without path", [&] { return AFCDirectoryOpen(c, nullptr, &dir); }},
        {"directory read null", [&] { return AFCDirectoryRead(c, nullptr, &name); }},
        {"directory close null", [&] { return AFCDirectoryClose(c, nullptr); }},
        {"create without path", [&] { return AFCDirectoryCreate(c, nullptr); }},
        {"remove without connection", [&] { return AFCRemovePath(nullptr, "/x"); }},
        {"rename without target", [&] { return AFCRenamePath(c, "/a", nullptr); }},
        {"path too long for a packet", [&] { return AFCDirectoryCreate(c, std::string(70000, 'a').c_str()); }},
    };
    for (const Case& k : cases) EXPECT_EQ(k.call(), MDERR_INVALID_ARGUMENT) << k.desc;
    // None of these reached the wire.
    pollfd p{fds[1], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);
    AFCConnectionClose(c);
    close(fds[0]);
    close(fds[1]);
}

// ---------------------------------------------------------------------------------------------
// Threads sharing one connection

TEST_P(AfcPhone, ThreadsSharingAConnectionGetTheirOwnReplies) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 12;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string path = "/t" + std::to_string(t);
            for (int round = 0; round < kRounds; ++round) {
                // Sizes above one chunk make each call several request/reply pairs.
                const std::string content = Pattern(1000 + (round % 3) * 700000, t * 1000 + round);
                if (PutFile(c_, path.c_str(), content) != MDERR_OK) ++mismatches;
                ReadResult got = GetFile(c_, path.c_str(), 2 * 1024 * 1024);
                if (got.rc != MDERR_OK || got.bytes != content) ++mismatches;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
