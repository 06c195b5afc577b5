// Tests of the AirTraffic host library: the sync link over socket pairs against a fake phone
// written here (wire bytes decoded with libplist), the handle table and its end, and the C
// interface with virtual phones.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "AirTrafficHost.h"
#include "AtcConnection.h"
#include "AtcConnectionTable.h"
#include "CFHolder.h"
#include "MobileDevice.h"
#include "PlistHolder.h"
#include "SocketTestSupport.h"
#include "VirtualPhone.h"

namespace {

using socket_test::ReadExact;
using socket_test::SendAll;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ruvo::PlistHolder;
using ruvo::atc::AtcConnection;
using ruvo::atc::AtcConnectionTable;
using ruvo::cf::CFHolder;

// Every wait of these tests is bounded by this; two shared cores and sanitizers make it generous.
constexpr auto kWait = 20s;
constexpr uint32_t kMaxBytes = AtcConnection::kMaxMessageBytes;

// Waits until done() holds, at most kWait; whether it came to hold.
bool WaitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(200us);
    }
    return true;
}

// --- CoreFoundation values for the host side ---

CFHolder Str(const std::string& text) {
    return CFHolder(CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8));
}

CFHolder Int(int64_t value) { return CFHolder(CFNumberCreate(nullptr, kCFNumberSInt64Type, &value)); }

CFHolder Dict(std::initializer_list<std::pair<const char*, CFTypeRef>> entries) {
    CFHolder dict(
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    auto* mutableDict = static_cast<CFMutableDictionaryRef>(const_cast<void*>(dict.get()));
    for (const auto& [key, value] : entries) {
        CFHolder name = Str(key);
        CFDictionarySetValue(mutableDict, name.get(), value);
    }
    return dict;
}

CFHolder Array(std::initializer_list<CFTypeRef> values) {
    CFHolder array(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    auto* mutableArray = static_cast<CFMutableArrayRef>(const_cast<void*>(array.get()));
    for (CFTypeRef value : values) CFArrayAppendValue(mutableArray, value);
    return array;
}

CFDictionaryRef AsDict(const CFHolder& holder) { return static_cast<CFDictionaryRef>(holder.get()); }
CFArrayRef AsArray(const CFHolder& holder) { return static_cast<CFArrayRef>(holder.get()); }
CFStringRef AsString(const CFHolder& holder) { return static_cast<CFStringRef>(holder.get()); }

std::optional<std::string> Utf8(CFTypeRef value) {
    if (!value || CFGetTypeID(value) != CFStringGetTypeID()) return std::nullopt;
    const auto string = static_cast<CFStringRef>(value);
    std::vector<char> buffer(static_cast<size_t>(CFStringGetLength(string)) * 3 + 1);
    if (!CFStringGetCString(string, buffer.data(), static_cast<CFIndex>(buffer.size()), kCFStringEncodingUTF8))
        return std::nullopt;
    return std::string(buffer.data());
}

// The "Command" of a message the host read, "" when there is none.
std::string CommandOf(CFTypeRef message) {
    if (!message || CFGetTypeID(message) != CFDictionaryGetTypeID()) return "";
    return Utf8(CFDictionaryGetValue(static_cast<CFDictionaryRef>(message), CFSTR("Command"))).value_or("");
}

// --- The fake phone: property lists through libplist, framed by hand ---

enum class Encoding { Xml, Binary };

std::string Serialise(plist_t node, Encoding encoding) {
    char* bytes = nullptr;
    uint32_t length = 0;
    if (encoding == Encoding::Xml)
        plist_to_xml(node, &bytes, &length);
    else
        plist_to_bin(node, &bytes, &length);
    std::string out(bytes, length);
    if (encoding == Encoding::Xml)
        plist_to_xml_free(bytes);
    else
        plist_to_bin_free(bytes);
    return out;
}

std::string LengthPrefix(uint32_t n) {
    return {static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF), static_cast<char>((n >> 16) & 0xFF),
            static_cast<char>((n >> 24) & 0xFF)};
}

std::string Frame(const std::string& body) { return LengthPrefix(static_cast<uint32_t>(body.size())) + body; }

// A phone message as the README describes it; takes params.
std::string PhoneMessage(const char* command, uint64_t id, uint64_t session, plist_t params,
                         Encoding encoding = Encoding::Binary) {
    PlistHolder message(plist_new_dict());
    plist_dict_set_item(message.get(), "Command", plist_new_string(command));
    plist_dict_set_item(message.get(), "Type", plist_new_uint(0));
    plist_dict_set_item(message.get(), "Id", plist_new_uint(id));
    plist_dict_set_item(message.get(), "Session", plist_new_uint(session));
    plist_dict_set_item(message.get(), "Params", params ? params : plist_new_dict());
    return Frame(Serialise(message.get(), encoding));
}

std::string ReadyForSync(uint64_t id, uint64_t session, Encoding encoding = Encoding::Binary) {
    plist_t anchors = plist_new_dict();
    plist_dict_set_item(anchors, "Ringtone", plist_new_string("1"));
    plist_t params = plist_new_dict();
    plist_dict_set_item(params, "DataclassAnchors", anchors);
    return PhoneMessage("ReadyForSync", id, session, params, encoding);
}

// An "AssetManifest" of count ringtones (large counts make a message of megabytes).
std::string AssetManifest(uint64_t id, size_t count, Encoding encoding = Encoding::Binary) {
    plist_t entries = plist_new_array();
    for (size_t i = 0; i < count; ++i) {
        plist_t entry = plist_new_dict();
        std::string assetId = std::to_string(1000000000000000000ULL + i);
        plist_dict_set_item(entry, "AssetID", plist_new_string(assetId.c_str()));
        plist_dict_set_item(entry, "Dataclass", plist_new_string("Ringtone"));
        plist_array_append_item(entries, entry);
    }
    plist_t manifest = plist_new_dict();
    plist_dict_set_item(manifest, "Ringtone", entries);
    plist_t params = plist_new_dict();
    plist_dict_set_item(params, "AssetManifest", manifest);
    return PhoneMessage("AssetManifest", id, 0, params, encoding);
}

// The node as text with dictionary keys sorted, so that whole messages compare as strings.
std::string Dump(plist_t node) {
    std::ostringstream out;
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        std::vector<std::pair<std::string, std::string>> entries;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &key, &value);
            if (!key) break;
            entries.emplace_back(key, Dump(value));
            free(key);
        }
        free(it);
        std::sort(entries.begin(), entries.end());
        out << '{';
        for (size_t i = 0; i < entries.size(); ++i)
            out << (i ? "," : "") << entries[i].first << ':' << entries[i].second;
        out << '}';
        break;
    }
    case PLIST_ARRAY:
        out << '[';
        for (uint32_t i = 0; i < plist_array_get_size(node); ++i)
            out << (i ? "," : "") << Dump(plist_array_get_item(node, i));
        out << ']';
        break;
    case PLIST_STRING: out << '"' << ruvo::PlistString(node).value_or("<bad string>") << '"'; break;
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        out << static_cast<int64_t>(value);
        break;
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        out << value;
        break;
    }
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        out << (value ? "true" : "false");
        break;
    }
    default: out << "<other>"; break;
    }
    return out.str();
}

// Bytes waiting to be read on a socket.
int Pending(int fd) {
    int count = 0;
    return ::ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

// Whether the peer ends the connection (end of file) within the bound, reading past what it sent.
bool SeesEndOfFile(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char buffer[65536];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno == ECONNRESET)) return true;
        if (got < 0) return false;
    }
}

// One message as the phone receives it.
struct WireMessage {
    bool binary = false;  // the body is a binary property list
    PlistHolder root;
};

std::optional<WireMessage> ReadWireMessage(int fd) {
    const auto header = ReadExact(fd, 4, kWait);
    if (!header) return std::nullopt;
    const auto* h = reinterpret_cast<const unsigned char*>(header->data());
    const uint32_t length = uint32_t{h[0]} | (uint32_t{h[1]} << 8) | (uint32_t{h[2]} << 16) | (uint32_t{h[3]} << 24);
    if (length == 0 || length > kMaxBytes) return std::nullopt;
    const auto body = ReadExact(fd, length, kWait);
    if (!body) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(body->data(), length, &root);
    if (!root) return std::nullopt;
    return WireMessage{body->rfind("bplist00", 0) == 0, PlistHolder(root)};
}

std::string Field(const WireMessage& message, const char* key) {
    plist_t node = plist_dict_get_item(message.root.get(), key);
    return node ? Dump(node) : "<missing>";
}

// --- A link over a socket pair: the host's AtcConnection and the phone's end ---

class AtcLinkTest : public ::testing::Test {
protected:
    static constexpr const char* kLibraryId = "LIB-0123456789";

    void SetUp() override {
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        m_hostFd = ends[0];
        m_phone = ends[1];
        m_connection = std::make_unique<AtcConnection>(ends[0], kLibraryId);
    }

    void TearDown() override {
        m_connection.reset();
        if (m_phone >= 0) ::close(m_phone);
    }

    // The next message the host reads. Should none come within the bound, the test fails and the
    // host's socket is shut down so that the read returns.
    CFHolder Read() {
        auto pending = std::async(std::launch::async, [this] { return m_connection->ReadMessage(); });
        if (pending.wait_for(kWait) != std::future_status::ready) {
            ADD_FAILURE() << "the read did not return";
            ::shutdown(m_hostFd, SHUT_RDWR);
        }
        return CFHolder(pending.get());
    }

    // Reads ConnectionInvalid once, then NULL, and finds sends refused.
    void ExpectLinkEnded(const std::string& context) {
        CFHolder last = Read();
        EXPECT_EQ(CommandOf(last.get()), "ConnectionInvalid") << context;
        EXPECT_EQ(Read(), nullptr) << context;
        EXPECT_EQ(Read(), nullptr) << context;
        EXPECT_EQ(m_connection->SendPowerAssertion(kCFBooleanTrue), ATERR_CONNECTION_LOST) << context;
    }

    int m_hostFd = -1;  // owned by m_connection; for looking at its queue only
    int m_phone = -1;
    std::unique_ptr<AtcConnection> m_connection;
};

// --- Sending ---

TEST_F(AtcLinkTest, EverySendWritesExactlyItsWireMessage) {
    CFHolder ringtone = Str("Ringtone");
    CFHolder dataclasses = Array({ringtone.get()});
    CFHolder zero = Str("0");
    CFHolder anchors = Dict({{"Ringtone", zero.get()}});
    CFHolder version = Str("1.0");
    CFHolder hostName = Str("ruvo-host");
    CFHolder hostInfo = Dict({{"Version", version.get()}, {"SyncHostName", hostName.get()}});
    CFHolder ownLibrary = Str("OWN-LIBRARY");
    CFHolder hostInfoWithLibrary = Dict({{"LibraryID", ownLibrary.get()}, {"Version", version.get()}});
    CFHolder one = Int(1);
    CFHolder syncTypes = Dict({{"Ringtone", one.get()}});
    CFHolder assetId = Str("1234567890123456789");
    CFHolder path = Str("/iTunes_Control/Ringtones/ABCD.m4r");

    struct Case {
        const char* command;
        std::function<int(AtcConnection&)> send;
        const char* params;
    };
    const Case cases[] = {
        {"RequestingSync",
         [&](AtcConnection& c) { return c.SendSyncRequest(AsArray(dataclasses), AsDict(anchors), AsDict(hostInfo)); },
         "{DataclassAnchors:{Ringtone:\"0\"},Dataclasses:[\"Ringtone\"],HostInfo:{LibraryID:\"LIB-0123456789\","
         "SyncHostName:\"ruvo-host\",Version:\"1.0\"}}"},
        {"RequestingSync",
         [&](AtcConnection& c) {
             return c.SendSyncRequest(AsArray(dataclasses), AsDict(anchors), AsDict(hostInfoWithLibrary));
         },
         "{DataclassAnchors:{Ringtone:\"0\"},Dataclasses:[\"Ringtone\"],HostInfo:{LibraryID:\"OWN-LIBRARY\","
         "Version:\"1.0\"}}"},
        {"FinishedSyncingMetadata",
         [&](AtcConnection& c) { return c.SendMetadataSyncFinished(AsDict(syncTypes), AsDict(anchors)); },
         "{DataclassAnchors:{Ringtone:\"0\"},SyncTypes:{Ringtone:1}}"},
        {"FileProgress",
         [&](AtcConnection& c) { return c.SendFileProgress(AsString(assetId), AsString(ringtone), 0.5, 0.25); },
         "{AssetID:\"1234567890123456789\",AssetProgress:0.5,Dataclass:\"Ringtone\",OverallProgress:0.25}"},
        {"FileComplete",
         [&](AtcConnection& c) { return c.SendAssetCompleted(AsString(assetId), AsString(ringtone), AsString(path)); },
         "{AssetID:\"1234567890123456789\",AssetPath:\"/iTunes_Control/Ringtones/ABCD.m4r\",Dataclass:\"Ringtone\"}"},
        {"HostInfo", [&](AtcConnection& c) { return c.SendHostInfo(AsDict(hostInfo)); },
         "{HostInfo:{LibraryID:\"LIB-0123456789\",SyncHostName:\"ruvo-host\",Version:\"1.0\"}}"},
        {"PowerAssertion", [&](AtcConnection& c) { return c.SendPowerAssertion(kCFBooleanTrue); }, "{Enabled:true}"},
        {"PowerAssertion", [&](AtcConnection& c) { return c.SendPowerAssertion(kCFBooleanFalse); }, "{Enabled:false}"},
    };
    int64_t id = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + c.params);
        ASSERT_EQ(c.send(*m_connection), ATERR_OK);
        const auto message = ReadWireMessage(m_phone);
        ASSERT_TRUE(message.has_value());
        EXPECT_TRUE(message->binary);
        EXPECT_EQ(Dump(message->root.get()), std::string("{Command:\"") + c.command + "\",Id:" + std::to_string(++id) +
                                                 ",Params:" + c.params + ",Session:0,Type:0}");
        // Exactly one message per send: nothing else follows it.
        EXPECT_EQ(Pending(m_phone), 0);
    }
    // The caller's host info is left as it was; the library id went into a copy.
    EXPECT_EQ(CFDictionaryGetValue(AsDict(hostInfo), CFSTR("LibraryID")), nullptr);
    EXPECT_EQ(CFDictionaryGetCount(AsDict(hostInfo)), 2);
}

TEST_F(AtcLinkTest, ReadyForSyncNamesTheSessionOfEveryLaterMessage) {
    ASSERT_EQ(m_connection->SendPowerAssertion(kCFBooleanTrue), ATERR_OK);
    auto before = ReadWireMessage(m_phone);
    ASSERT_TRUE(before.has_value());
    EXPECT_EQ(Field(*before, "Session"), "0");

    // A session number in another message does not count; the one of "ReadyForSync" does.
    ASSERT_TRUE(SendAll(m_phone, PhoneMessage("SyncAllowed", 1, 55, nullptr) + ReadyForSync(2, 4242)));
    CFHolder allowed = Read();
    EXPECT_EQ(CommandOf(allowed.get()), "SyncAllowed");
    EXPECT_EQ(m_connection->Session(), 0);
    CFHolder ready = Read();
    EXPECT_EQ(CommandOf(ready.get()), "ReadyForSync");
    EXPECT_EQ(m_connection->Session(), 4242);

    CFHolder assetId = Str("1234567890123456789");
    CFHolder ringtone = Str("Ringtone");
    ASSERT_EQ(m_connection->SendFileProgress(AsString(assetId), AsString(ringtone), 1.0, 1.0), ATERR_OK);
    ASSERT_EQ(m_connection->SendPowerAssertion(kCFBooleanFalse), ATERR_OK);
    for (const char* expectedId : {"2", "3"}) {
        auto after = ReadWireMessage(m_phone);
        ASSERT_TRUE(after.has_value());
        EXPECT_EQ(Field(*after, "Session"), "4242");
        EXPECT_EQ(Field(*after, "Id"), expectedId);
    }
}

TEST_F(AtcLinkTest, RefusedArgumentsWriteNothingAndUseNoId) {
    CFHolder text = Str("Ringtone");
    CFHolder dict = Dict({});
    CFHolder array = Array({text.get()});
    CFHolder number = Int(7);
    struct Case {
        const char* desc;
        std::function<int(AtcConnection&)> send;
    };
    const Case cases[] = {
        {"sync request without dataclasses",
         [&](AtcConnection& c) { return c.SendSyncRequest(nullptr, AsDict(dict), AsDict(dict)); }},
        {"sync request with a string for the anchors",
         [&](AtcConnection& c) {
             return c.SendSyncRequest(AsArray(array), static_cast<CFDictionaryRef>(text.get()), AsDict(dict));
         }},
        {"sync request without host info",
         [&](AtcConnection& c) { return c.SendSyncRequest(AsArray(array), AsDict(dict), nullptr); }},
        {"metadata finished without sync types",
         [&](AtcConnection& c) { return c.SendMetadataSyncFinished(nullptr, AsDict(dict)); }},
        {"progress without an asset id",
         [&](AtcConnection& c) { return c.SendFileProgress(nullptr, AsString(text), 0, 0); }},
        {"progress with a number for the dataclass",
         [&](AtcConnection& c) {
             return c.SendFileProgress(AsString(text), static_cast<CFStringRef>(number.get()), 0, 0);
         }},
        {"completion without a path",
         [&](AtcConnection& c) { return c.SendAssetCompleted(AsString(text), AsString(text), nullptr); }},
        {"host info missing", [&](AtcConnection& c) { return c.SendHostInfo(nullptr); }},
        {"power assertion missing", [&](AtcConnection& c) { return c.SendPowerAssertion(nullptr); }},
        {"power assertion with a number",
         [&](AtcConnection& c) { return c.SendPowerAssertion(static_cast<CFBooleanRef>(number.get())); }},
    };
    for (const auto& c : cases) EXPECT_EQ(c.send(*m_connection), ATERR_INVALID_ARGUMENT) << c.desc;

    // A message the phone would refuse for its length is not written either, and the link stays.
    const std::string huge(kMaxBytes, 'x');
    CFHolder hugePath = Str(huge);
    EXPECT_EQ(m_connection->SendAssetCompleted(AsString(text), AsString(text), AsString(hugePath)),
              ATERR_MESSAGE_TOO_LARGE);
    EXPECT_EQ(Pending(m_phone), 0);

    ASSERT_EQ(m_connection->SendPowerAssertion(kCFBooleanTrue), ATERR_OK);
    const auto first = ReadWireMessage(m_phone);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(Field(*first, "Id"), "1");
    EXPECT_EQ(Field(*first, "Command"), "\"PowerAssertion\"");
}

TEST_F(AtcLinkTest, SendToAClosedPeerFailsWithoutSignalAndEndsTheLink) {
    // The phone said one last thing before it went; that is still read.
    ASSERT_TRUE(SendAll(m_phone, PhoneMessage("SyncFailed", 1, 0, nullptr)));
    ::close(m_phone);
    m_phone = -1;
    // Without MSG_NOSIGNAL this would end the test process with SIGPIPE.
    EXPECT_EQ(m_connection->SendPowerAssertion(kCFBooleanTrue), ATERR_SOCKET);
    EXPECT_EQ(m_connection->SendPowerAssertion(kCFBooleanTrue), ATERR_CONNECTION_LOST);
    CFHolder last = Read();
    EXPECT_EQ(CommandOf(last.get()), "SyncFailed");
    ExpectLinkEnded("after a failed send");
}

// --- Reading ---

// The phone's messages reach the host whole whatever pieces the bytes come in: the phone writes
// each piece only once the host has taken everything before it off the socket, so every cut
// below really is a cut between two receives.
TEST_F(AtcLinkTest, MessagesAreReadWholeAcrossAnyCutOfTheStream) {
    for (const Encoding encoding : {Encoding::Binary, Encoding::Xml}) {
        const std::string first = PhoneMessage("SyncAllowed", 1, 0, nullptr, encoding);
        const std::string second = ReadyForSync(2, 9, encoding);
        const std::string third = AssetManifest(3, 2, encoding);
        const std::string stream = first + second + third;
        std::vector<size_t> everyByte;
        for (size_t i = 1; i < stream.size(); ++i) everyByte.push_back(i);
        struct Case {
            const char* desc;
            std::vector<size_t> cuts;  // offsets at which a new write starts
        };
        const Case cases[] = {
            {"all three in one write", {}},
            {"every byte on its own", everyByte},
            {"length split, then the body in halves", {1, 3, 4, 4 + (first.size() - 4) / 2}},
            {"a write ends inside the next length", {first.size() + 2, first.size() + second.size() + 1}},
            {"a write ends right after a length", {first.size() + 4, first.size() + second.size() + 4}},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.desc) + (encoding == Encoding::Xml ? " (XML)" : " (binary)"));
            std::vector<std::string> received;
            std::mutex mutex;
            std::atomic<bool> readerDone{false};
            std::thread reader([&] {
                for (int i = 0; i < 3; ++i) {
                    CFHolder message(m_connection->ReadMessage());
                    std::scoped_lock lock(mutex);
                    received.push_back(CommandOf(message.get()));
                }
                readerDone = true;
            });
            size_t start = 0;
            std::vector<size_t> ends = c.cuts;
            ends.push_back(stream.size());
            bool delivered = true;
            for (const size_t end : ends) {
                delivered = SendAll(m_phone, stream.substr(start, end - start)) &&
                            (end == stream.size() || WaitUntil([&] { return Pending(m_hostFd) == 0; }));
                if (!delivered) break;
                start = end;
            }
            // Should a piece not be taken, or the reader not finish, the host's socket is shut
            // down so that the reader returns.
            const bool finished = delivered && WaitUntil([&] { return readerDone.load(); });
            if (!finished) ::shutdown(m_hostFd, SHUT_RDWR);
            reader.join();
            ASSERT_TRUE(finished);
            EXPECT_EQ(received, (std::vector<std::string>{"SyncAllowed", "ReadyForSync", "AssetManifest"}));
            EXPECT_EQ(m_connection->Session(), 9);
        }
    }
}

TEST_F(AtcLinkTest, LargestMessagesAreReadInBothEncodings) {
    // Megabytes of manifest, many receives' worth, in either encoding.
    for (const Encoding encoding : {Encoding::Binary, Encoding::Xml}) {
        const std::string manifest = AssetManifest(1, 40000, encoding);
        ASSERT_GT(manifest.size(), 16 * AtcConnection::kReceiveChunk);
        std::thread writer(
            [&] { EXPECT_TRUE(SendAll(m_phone, manifest + PhoneMessage("SyncFinished", 2, 0, nullptr))); });
        CFHolder message = Read();
        writer.join();
        ASSERT_EQ(CommandOf(message.get()), "AssetManifest");
        const void* params = CFDictionaryGetValue(AsDict(message), CFSTR("Params"));
        ASSERT_NE(params, nullptr);
        const void* byClass = CFDictionaryGetValue(static_cast<CFDictionaryRef>(params), CFSTR("AssetManifest"));
        ASSERT_NE(byClass, nullptr);
        const void* entries = CFDictionaryGetValue(static_cast<CFDictionaryRef>(byClass), CFSTR("Ringtone"));
        ASSERT_NE(entries, nullptr);
        EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(entries)), 40000);
        CFHolder next = Read();
        EXPECT_EQ(CommandOf(next.get()), "SyncFinished");
    }

    // A body of exactly the largest length is read; one byte more ends the link (see below).
    PlistHolder message(plist_new_dict());
    plist_dict_set_item(message.get(), "Command", plist_new_string("Padding"));
    const std::string probe = Serialise(message.get(), Encoding::Binary);
    std::string padding(kMaxBytes - probe.size() - 64, 'p');
    for (int attempt = 0; attempt < 2; ++attempt) {
        plist_dict_set_item(message.get(), "Pad", plist_new_data(padding.data(), padding.size()));
        const std::string body = Serialise(message.get(), Encoding::Binary);
        padding.resize(padding.size() + kMaxBytes - body.size());
    }
    plist_dict_set_item(message.get(), "Pad", plist_new_data(padding.data(), padding.size()));
    const std::string body = Serialise(message.get(), Encoding::Binary);
    ASSERT_EQ(body.size(), kMaxBytes);
    std::thread writer([&] { EXPECT_TRUE(SendAll(m_phone, Frame(body))); });
    CFHolder largest = Read();
    writer.join();
    EXPECT_EQ(CommandOf(largest.get()), "Padding");
}

// Whatever breaks the stream, the host reads what came whole before it, then exactly one
// "ConnectionInvalid", then nothing; its sends are refused and the phone sees the link end.
TEST_F(AtcLinkTest, BrokenStreamsEndTheLinkWithOneConnectionInvalid) {
    PlistHolder array(plist_new_array());
    plist_array_append_item(array.get(), plist_new_string("Command"));
    PlistHolder string(plist_new_string("SyncAllowed"));
    struct Case {
        const char* desc;
        std::string bytes;       // sent after one whole message
        bool phoneStopsWriting;  // the phone ends its side after the bytes
    };
    const Case cases[] = {
        {"zero length", LengthPrefix(0) + "more", false},
        {"length one over 16 MiB", LengthPrefix(kMaxBytes + 1) + "bplist00", false},
        {"largest length the field can hold", LengthPrefix(0xFFFFFFFFu), false},
        {"body that is no property list", Frame("this is not a property list"), false},
        {"binary body cut short", Frame(Serialise(string.get(), Encoding::Binary).substr(0, 12)), false},
        {"array instead of a dictionary", Frame(Serialise(array.get(), Encoding::Binary)), false},
        {"XML string instead of a dictionary", Frame(Serialise(string.get(), Encoding::Xml)), false},
        {"peer closes inside the length", LengthPrefix(100).substr(0, 2), true},
        {"peer closes inside the body", LengthPrefix(100) + "bplist00", true},
        {"peer closes between messages", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.desc);
        TearDown();
        SetUp();
        ASSERT_TRUE(SendAll(m_phone, PhoneMessage("SyncAllowed", 1, 0, nullptr) + c.bytes));
        if (c.phoneStopsWriting) ::shutdown(m_phone, SHUT_WR);
        CFHolder whole = Read();
        EXPECT_EQ(CommandOf(whole.get()), "SyncAllowed");
        ExpectLinkEnded(c.desc);
        EXPECT_TRUE(SeesEndOfFile(m_phone));
    }
}

// --- The end of a connection ---

// Destroying through the handle table while a reader is blocked and a writer sends: both end
// promptly and safely, whether they were inside a call or between two.
TEST(AtcConnectionEnd, DestroyWakesTheReaderAndStopsTheWriter) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        const int phone = ends[1];
        AtcConnectionTable table;
        const auto handle = table.Add(std::make_unique<AtcConnection>(ends[0], "LIB"));
        ASSERT_TRUE(SendAll(phone, PhoneMessage("SyncAllowed", 1, 0, nullptr)));

        // The phone takes whatever the host sends until the host closes its end.
        std::atomic<bool> phoneSawEnd{false};
        std::thread phoneThread([&] { phoneSawEnd = SeesEndOfFile(phone); });

        std::atomic<int> messages{0}, invalids{0}, afterInvalid{0};
        std::atomic<bool> readerDone{false};
        std::thread reader([&] {
            for (;;) {
                CFHolder message(table.With(handle, nullptr, [](AtcConnection& c) { return c.ReadMessage(); }));
                if (!message) break;
                if (invalids > 0) ++afterInvalid;
                if (CommandOf(message.get()) == "ConnectionInvalid")
                    ++invalids;
                else
                    ++messages;
            }
            readerDone = true;
        });
        std::atomic<int> sent{0}, lastResult{ATERR_OK};
        std::atomic<bool> writerDone{false};
        std::thread writer([&] {
            for (;;) {
                const int result = table.With(handle, ATERR_INVALID_ARGUMENT,
                                              [](AtcConnection& c) { return c.SendPowerAssertion(kCFBooleanTrue); });
                if (result != ATERR_OK) {
                    lastResult = result;
                    break;
                }
                ++sent;
            }
            writerDone = true;
        });

        // Both are at work before the end comes (the destroy follows either way, so the threads end).
        EXPECT_TRUE(WaitUntil([&] { return messages == 1 && sent >= 20; }));
        std::atomic<bool> destroyed{false};
        std::thread destroyer([&] {
            EXPECT_TRUE(table.Remove(handle));
            destroyed = true;
        });
        EXPECT_TRUE(WaitUntil([&] { return destroyed && readerDone && writerDone; }));
        destroyer.join();
        reader.join();
        writer.join();
        phoneThread.join();
        EXPECT_LE(invalids, 1);
        EXPECT_EQ(afterInvalid, 0);
        EXPECT_LT(lastResult, 0);
        EXPECT_TRUE(phoneSawEnd);
        // The handle is gone for good: later calls are answered at once, a second destroy does nothing.
        EXPECT_EQ(table.With(handle, -100, [](AtcConnection&) { return 0; }), -100);
        EXPECT_FALSE(table.Remove(handle));
        ::close(phone);
    }
}

// The class on its own: a reader counted in for its whole loop keeps the connection alive until
// it has seen the end, and the destructor wakes it from its blocked receive.
TEST(AtcConnectionEnd, DestructorWaitsForACountedReader) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    auto connection = std::make_unique<AtcConnection>(ends[0], "");
    AtcConnection* link = connection.get();
    std::vector<std::string> seen;
    std::atomic<bool> readerBlocked{false}, readerDone{false};
    link->Enter();
    std::thread reader([&] {
        for (;;) {
            readerBlocked = true;
            CFHolder message(link->ReadMessage());
            if (!message) break;
            seen.push_back(CommandOf(message.get()));
        }
        link->Leave();
        readerDone = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return readerBlocked.load(); }));
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        connection.reset();
        destroyed = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return destroyed && readerDone; }));
    destroyer.join();
    reader.join();
    EXPECT_EQ(seen, std::vector<std::string>{"ConnectionInvalid"});
    EXPECT_TRUE(SeesEndOfFile(ends[1]));
    ::close(ends[1]);
}

// A send blocked because the phone does not read is woken by the destroy, which then completes.
TEST(AtcConnectionEnd, DestroyEndsASendInProgress) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    const int small = 4096;
    ASSERT_EQ(::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    const int phone = ends[1];
    AtcConnectionTable table;
    const auto handle = table.Add(std::make_unique<AtcConnection>(ends[0], "LIB"));

    // Several MiB: far more than the socket holds while the phone does not read.
    CFHolder path = Str(std::string(4 * 1024 * 1024, 'a'));
    CFHolder text = Str("Ringtone");
    std::atomic<int> result{1};
    std::thread sender([&] {
        result = table.With(handle, ATERR_INVALID_ARGUMENT, [&](AtcConnection& c) {
            return c.SendAssetCompleted(AsString(text), AsString(text), AsString(path));
        });
    });
    // The send has begun once its first bytes wait on the phone's side.
    EXPECT_TRUE(WaitUntil([&] { return Pending(phone) > 0; }));
    EXPECT_EQ(result, 1);
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        EXPECT_TRUE(table.Remove(handle));
        destroyed = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return destroyed && result != 1; }));
    destroyer.join();
    sender.join();
    EXPECT_EQ(result, ATERR_SOCKET);
    EXPECT_TRUE(SeesEndOfFile(phone));
    ::close(phone);
}

// --- The C interface ---

TEST(AirTrafficInterface, MessageAccessorsReadCommandAndParams) {
    CFHolder name = Str("ReadyForSync");
    CFHolder anchors = Dict({});
    CFHolder params = Dict({{"DataclassAnchors", anchors.get()}});
    CFHolder message = Dict({{"Command", name.get()}, {"Params", params.get()}});
    EXPECT_EQ(Utf8(ATCFMessageGetName(AsDict(message))), "ReadyForSync");
    EXPECT_EQ(ATCFMessageGetParam(AsDict(message), CFSTR("DataclassAnchors")), anchors.get());
    EXPECT_EQ(ATCFMessageGetParam(AsDict(message), CFSTR("Missing")), nullptr);

    CFHolder number = Int(3);
    CFHolder numericCommand = Dict({{"Command", number.get()}, {"Params", name.get()}});
    CFHolder empty = Dict({});
    struct Case {
        const char* desc;
        CFDictionaryRef message;
    };
    const Case missing[] = {
        {"no message", nullptr},
        {"empty message", AsDict(empty)},
        {"a number for the command and a string for the params", AsDict(numericCommand)},
        {"not a dictionary", static_cast<CFDictionaryRef>(name.get())},
    };
    for (const auto& c : missing) {
        EXPECT_EQ(ATCFMessageGetName(c.message), nullptr) << c.desc;
        EXPECT_EQ(ATCFMessageGetParam(c.message, CFSTR("DataclassAnchors")), nullptr) << c.desc;
    }
    EXPECT_EQ(ATCFMessageGetParam(AsDict(message), nullptr), nullptr);
}

TEST(AirTrafficInterface, NullConnectionIsRefusedByEveryCall) {
    CFHolder text = Str("Ringtone");
    CFHolder dict = Dict({});
    CFHolder array = Array({text.get()});
    EXPECT_EQ(ATHostConnectionReadMessage(nullptr), nullptr);
    EXPECT_EQ(ATHostConnectionSendSyncRequest(nullptr, AsArray(array), AsDict(dict), AsDict(dict)),
              ATERR_INVALID_ARGUMENT);
    EXPECT_EQ(ATHostConnectionSendMetadataSyncFinished(nullptr, AsDict(dict), AsDict(dict)), ATERR_INVALID_ARGUMENT);
    EXPECT_EQ(ATHostConnectionSendPowerAssertion(nullptr, kCFBooleanTrue), ATERR_INVALID_ARGUMENT);
    EXPECT_EQ(ATHostConnectionSendFileProgress(nullptr, AsString(text), AsString(text), 0, 0, 0),
              ATERR_INVALID_ARGUMENT);
    EXPECT_EQ(ATHostConnectionSendAssetCompleted(nullptr, AsString(text), AsString(text), AsString(text)),
              ATERR_INVALID_ARGUMENT);
    EXPECT_EQ(ATHostConnectionSendHostInfo(nullptr, AsDict(dict)), ATERR_INVALID_ARGUMENT);
    ATHostConnectionDestroy(nullptr);
}

// --- The C interface with virtual phones ---

struct Phone {
    std::string dir;
    std::string id;
};

// The attach notices of the library, waited for with a bound.
class AttachLog {
public:
    AttachLog() { EXPECT_EQ(AMDeviceNotificationSubscribe(&AttachLog::Handler, 0, 0, this, &m_subscription), 0); }
    ~AttachLog() {
        if (m_subscription) AMDeviceNotificationUnsubscribe(m_subscription);
    }
    AttachLog(const AttachLog&) = delete;
    AttachLog& operator=(const AttachLog&) = delete;

    AMDeviceRef WaitForAttach(const std::string& id) {
        std::unique_lock lock(m_mutex);
        AMDeviceRef found = nullptr;
        m_changed.wait_for(lock, kWait, [&] {
            for (const auto& [deviceId, device] : m_attached)
                if (deviceId == id) found = device;
            return found != nullptr;
        });
        return found;
    }

private:
    static void Handler(am_device_notification_callback_info* info, void* arg) {
        if (info->msg != ADNCI_MSG_CONNECTED) return;
        auto* self = static_cast<AttachLog*>(arg);
        CFHolder id(AMDeviceCopyDeviceIdentifier(info->dev));
        std::scoped_lock lock(self->m_mutex);
        self->m_attached.emplace_back(Utf8(id.get()).value_or(""), info->dev);
        self->m_changed.notify_all();
    }

    AMDeviceNotificationRef m_subscription = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<std::string, AMDeviceRef>> m_attached;
};

class AirTrafficPhoneTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static const std::string root = [] {
            char pattern[] = "/tmp/ruvo-atc-test-XXXXXX";
            return std::string(::mkdtemp(pattern) ? pattern : "");
        }();
        ASSERT_FALSE(root.empty());
        s_root = root;
        // Set before the library's driver thread exists, and never changed: that thread reads it.
        ::setenv("RUVO_PHONE_HUB", (s_root + "/hub").c_str(), 1);
    }

    static void TearDownTestSuite() {
        std::error_code error;
        fs::remove_all(s_root, error);
    }

    void TearDown() override {
        for (const auto& dir : m_dirs) ruvo::phone::SetPlugged(dir, false, nullptr);
    }

    // A plugged-in phone, once the library has announced it.
    std::pair<Phone, AMDeviceRef> AttachPhone(bool trusted) {
        ruvo::phone::PhoneConfig config;
        config.plugged = true;
        config.trusted = trusted;
        const std::string dir = s_root + "/phone" + std::to_string(s_counter++);
        std::string error;
        EXPECT_TRUE(ruvo::phone::CreatePhone(dir, config, &error)) << error;
        m_dirs.push_back(dir);
        const auto loaded = ruvo::phone::LoadPhone(dir);
        Phone phone{dir, loaded ? loaded->uniqueDeviceId : ""};
        return {phone, m_log.WaitForAttach(phone.id)};
    }

    // What starting the sync service answers, the way every service is started.
    static int ProbeSyncService(AMDeviceRef device) {
        if (const int error = AMDeviceConnect(device)) return error;
        int result = AMDeviceStartSession(device);
        if (result == 0) {
            int socket = -1;
            result = AMDeviceStartService(device, CFSTR("com.apple.atc"), &socket, nullptr);
            if (socket >= 0) ::close(socket);
            AMDeviceStopSession(device);
        }
        AMDeviceDisconnect(device);
        return result;
    }

    static inline std::string s_root;
    static inline int s_counter = 0;
    std::vector<std::string> m_dirs;
    AttachLog m_log;
};

TEST_F(AirTrafficPhoneTest, NoConnectionWithoutAnAttachedDevice) {
    CFHolder library = Str("LIB");
    CFHolder unknown = Str("0000000000000000000000000000000000000000");
    CFHolder number = Int(1);
    EXPECT_EQ(ATHostConnectionCreateWithLibrary(AsString(library), AsString(unknown), 0), nullptr);
    EXPECT_EQ(ATHostConnectionCreateWithLibrary(AsString(library), nullptr, 0), nullptr);
    EXPECT_EQ(ATHostConnectionCreateWithLibrary(nullptr, AsString(unknown), 0), nullptr);
    EXPECT_EQ(ATHostConnectionCreateWithLibrary(AsString(library), static_cast<CFStringRef>(number.get()), 0), nullptr);

    // A phone that was attached and left is not found either.
    auto [phone, device] = AttachPhone(true);
    ASSERT_NE(device, nullptr);
    std::string error;
    ASSERT_TRUE(ruvo::phone::SetPlugged(phone.dir, false, &error)) << error;
    CFHolder id = Str(phone.id);
    ASSERT_TRUE(WaitUntil([&] { return AMDeviceLookupByIdentifier(AsString(id)) == nullptr; }));
    EXPECT_EQ(ATHostConnectionCreateWithLibrary(AsString(library), AsString(id), 0), nullptr);
}

TEST_F(AirTrafficPhoneTest, UntrustedPhoneGivesNoConnection) {
    auto [phone, device] = AttachPhone(false);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(ProbeSyncService(device), MDERR_NOT_PAIRED);
    CFHolder library = Str("LIB");
    CFHolder id = Str(phone.id);
    EXPECT_EQ(ATHostConnectionCreateWithLibrary(AsString(library), AsString(id), 0), nullptr);
}

// A phone without the sync agent gives no connection; one with it opens a session whose first
// message is "SyncAllowed" and whose "ReadyForSync" names a session.
TEST_F(AirTrafficPhoneTest, TrustedPhoneOpensASyncSessionWhenItOffersTheService) {
    auto [phone, device] = AttachPhone(true);
    ASSERT_NE(device, nullptr);
    CFHolder library = Str("LIB-0123456789");
    CFHolder id = Str(phone.id);
    ASSERT_EQ(AMDeviceLookupByIdentifier(AsString(id)), device);
    const int probe = ProbeSyncService(device);
    if (probe == MDERR_SERVICE_NOT_FOUND) {
        EXPECT_EQ(ATHostConnectionCreateWithLibrary(AsString(library), AsString(id), 0), nullptr);
        GTEST_SKIP() << "the virtual phone does not offer com.apple.atc yet";
    }
    ASSERT_EQ(probe, 0);

    ATHostConnectionRef connection = ATHostConnectionCreateWithLibrary(AsString(library), AsString(id), 0);
    ASSERT_NE(connection, nullptr);
    CFHolder first(ATHostConnectionReadMessage(connection));
    EXPECT_EQ(Utf8(ATCFMessageGetName(static_cast<ATCFMessageRef>(first.get()))), "SyncAllowed");

    CFHolder ringtone = Str("Ringtone");
    CFHolder dataclasses = Array({ringtone.get()});
    CFHolder zero = Str("0");
    CFHolder anchors = Dict({{"Ringtone", zero.get()}});
    CFHolder version = Str("1.0");
    CFHolder hostInfo = Dict({{"Version", version.get()}});
    ASSERT_EQ(ATHostConnectionSendSyncRequest(connection, AsArray(dataclasses), AsDict(anchors), AsDict(hostInfo)),
              ATERR_OK);
    CFHolder ready(ATHostConnectionReadMessage(connection));
    EXPECT_EQ(Utf8(ATCFMessageGetName(static_cast<ATCFMessageRef>(ready.get()))), "ReadyForSync");
    EXPECT_NE(ATCFMessageGetParam(static_cast<ATCFMessageRef>(ready.get()), CFSTR("DataclassAnchors")), nullptr);
    ATHostConnectionDestroy(connection);
}

}  // namespace
