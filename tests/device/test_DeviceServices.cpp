// The service classes against a table of entry points filled by the test: the real CoreFoundation
// stand-in for property lists, and recording stand-ins for the device and AFC calls, so that the
// orders of library calls the device expects are seen, and the plist messaging runs over a real
// socket pair against a peer the test plays.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AFCApplicationDirectory.h"
#include "AFCService.h"
#include "AppleApi.h"
#include "AppleKernelService.h"
#include "CSocketClient.h"
#include "CoreFoundation.h"
#include "RealCoreFoundation.h"

namespace {

// --- The recording device ---

struct FakeDevice {
    std::vector<std::string> calls;
    std::map<std::string, int> results;  // call name -> result (0 when not listed)
    int serviceSocket = 0;               // handed out by AMDeviceStartService

    int Result(const char* name) {
        calls.emplace_back(name);
        const auto it = results.find(name);
        return it == results.end() ? 0 : it->second;
    }
};
FakeDevice* g_device = nullptr;
apple::AMDeviceRef const kDevice = reinterpret_cast<apple::AMDeviceRef>(0x1000);

int FakeConnect(apple::AMDeviceRef) { return g_device->Result("Connect"); }
int FakeDisconnect(apple::AMDeviceRef) { return g_device->Result("Disconnect"); }
// IsPaired answers 1 unless told otherwise.
int FakeIsPaired(apple::AMDeviceRef) {
    const int told = g_device->Result("IsPaired");
    return g_device->results.count("IsPaired") ? told : 1;
}
int FakeValidatePairing(apple::AMDeviceRef) { return g_device->Result("ValidatePairing"); }
int FakeStartSession(apple::AMDeviceRef) { return g_device->Result("StartSession"); }
int FakeStopSession(apple::AMDeviceRef) { return g_device->Result("StopSession"); }
int FakeStartService(apple::AMDeviceRef, apple::CFStringRef, int* socket, void*) {
    const int result = g_device->Result("StartService");
    if (result == 0) *socket = g_device->serviceSocket;
    return result;
}

// --- The recording AFC connection: a file system of folders and files by path ---

struct FakeAfc {
    std::vector<std::string> calls;
    std::map<std::string, std::string> files;      // path -> content
    std::vector<std::string> folders;              // paths that exist as folders
    std::map<std::string, std::string> sizeTexts;  // path -> "st_size" text, when not the content's size
    std::vector<std::string> listing;              // what every folder listing returns
    size_t next = 0;
    std::vector<std::string> pairs;
    size_t nextPair = 0;
};
FakeAfc* g_afc = nullptr;
apple::AFCConnectionRef const kAfc = reinterpret_cast<apple::AFCConnectionRef>(0x2000);

bool IsFolder(const std::string& path) {
    return std::find(g_afc->folders.begin(), g_afc->folders.end(), path) != g_afc->folders.end();
}

int FakeAfcOpen(int, unsigned int, apple::AFCConnectionRef* connection) {
    g_afc->calls.emplace_back("ConnectionOpen");
    *connection = kAfc;
    return 0;
}
int FakeAfcClose(apple::AFCConnectionRef) { return 0; }
int FakeFileInfoOpen(apple::AFCConnectionRef, const char* path, apple::AFCKeyValueRef* info) {
    g_afc->calls.push_back(std::string("FileInfo ") + path);
    const auto it = g_afc->files.find(path);
    if (it == g_afc->files.end()) return -108;
    const auto text = g_afc->sizeTexts.find(path);
    g_afc->pairs = {"st_ifmt", "S_IFREG", "st_size",
                    text != g_afc->sizeTexts.end() ? text->second : std::to_string(it->second.size())};
    g_afc->nextPair = 0;
    *info = reinterpret_cast<apple::AFCKeyValueRef>(0x3000);
    return 0;
}
int FakeKeyValueRead(apple::AFCKeyValueRef, const char** key, const char** value) {
    if (g_afc->nextPair + 1 >= g_afc->pairs.size() + 1 || g_afc->nextPair >= g_afc->pairs.size()) {
        *key = *value = nullptr;
        return 0;
    }
    *key = g_afc->pairs[g_afc->nextPair].c_str();
    *value = g_afc->pairs[g_afc->nextPair + 1].c_str();
    g_afc->nextPair += 2;
    return 0;
}
int FakeKeyValueClose(apple::AFCKeyValueRef) { return 0; }
int FakeFileRefOpen(apple::AFCConnectionRef, const char* path, uint64_t mode, apple::AFCFileRef* ref) {
    g_afc->calls.push_back("FileOpen " + std::string(path) + " " + std::to_string(mode));
    if (mode == 3) g_afc->files[path].clear();
    *ref = 7;
    return 0;
}
int FakeFileRefWrite(apple::AFCConnectionRef, apple::AFCFileRef, const void*, uint32_t length) {
    g_afc->calls.push_back("FileWrite " + std::to_string(length));
    return 0;
}
int FakeFileRefClose(apple::AFCConnectionRef, apple::AFCFileRef) {
    g_afc->calls.emplace_back("FileClose");
    return 0;
}
int FakeDirectoryOpen(apple::AFCConnectionRef, const char* path, apple::AFCDirectoryRef* dir) {
    g_afc->calls.push_back(std::string("DirOpen ") + path);
    if (!IsFolder(path)) return -108;
    g_afc->next = 0;
    *dir = reinterpret_cast<apple::AFCDirectoryRef>(0x4000);
    return 0;
}
int FakeDirectoryRead(apple::AFCConnectionRef, apple::AFCDirectoryRef, char** name) {
    *name = g_afc->next < g_afc->listing.size() ? g_afc->listing[g_afc->next++].data() : nullptr;
    return 0;
}
int FakeDirectoryClose(apple::AFCConnectionRef, apple::AFCDirectoryRef) { return 0; }
int FakeDirectoryCreate(apple::AFCConnectionRef, const char* path) {
    g_afc->calls.push_back(std::string("MakeDir ") + path);
    g_afc->folders.emplace_back(path);
    return 0;
}
int FakeRemovePath(apple::AFCConnectionRef, const char* path) {
    g_afc->calls.push_back(std::string("Remove ") + path);
    return 0;
}

class ServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        UseRealCoreFoundation();
        AppleApi.AMDeviceConnect = &FakeConnect;
        AppleApi.AMDeviceDisconnect = &FakeDisconnect;
        AppleApi.AMDeviceIsPaired = &FakeIsPaired;
        AppleApi.AMDeviceValidatePairing = &FakeValidatePairing;
        AppleApi.AMDeviceStartSession = &FakeStartSession;
        AppleApi.AMDeviceStopSession = &FakeStopSession;
        AppleApi.AMDeviceStartService = &FakeStartService;
        AppleApi.AFCConnectionOpen = &FakeAfcOpen;
        AppleApi.AFCConnectionClose = &FakeAfcClose;
        AppleApi.AFCFileInfoOpen = &FakeFileInfoOpen;
        AppleApi.AFCKeyValueRead = &FakeKeyValueRead;
        AppleApi.AFCKeyValueClose = &FakeKeyValueClose;
        AppleApi.AFCFileRefOpen = &FakeFileRefOpen;
        AppleApi.AFCFileRefWrite = &FakeFileRefWrite;
        AppleApi.AFCFileRefClose = &FakeFileRefClose;
        AppleApi.AFCDirectoryOpen = &FakeDirectoryOpen;
        AppleApi.AFCDirectoryRead = &FakeDirectoryRead;
        AppleApi.AFCDirectoryClose = &FakeDirectoryClose;
        AppleApi.AFCDirectoryCreate = &FakeDirectoryCreate;
        AppleApi.AFCRemovePath = &FakeRemovePath;
    }
    void SetUp() override {
        g_device = &m_device;
        g_afc = &m_afc;
    }
    void TearDown() override {
        g_device = nullptr;
        g_afc = nullptr;
    }

    FakeDevice m_device;
    FakeAfc m_afc;
};

using Calls = std::vector<std::string>;

TEST_F(ServiceTest, StartServiceFollowsTheDevicesOrder) {
    struct Case {
        const char* desc;
        std::map<std::string, int> results;
        int expected;
        Calls calls;
    };
    const Calls full = {"Connect",      "IsPaired",    "ValidatePairing", "StartSession",
                        "StartService", "StopSession", "Disconnect"};
    const Case cases[] = {
        {"started: the socket comes back", {}, 1, full},
        {"the service refused", {{"StartService", -6}}, -6, full},
        {"connect fails: nothing to undo", {{"Connect", -2}}, 0, {"Connect"}},
        {"not paired", {{"IsPaired", 0}}, 0, {"Connect", "IsPaired", "Disconnect"}},
        {"pairing invalid", {{"ValidatePairing", -4}}, 0, {"Connect", "IsPaired", "ValidatePairing", "Disconnect"}},
        {"no session",
         {{"StartSession", -5}},
         0,
         {"Connect", "IsPaired", "ValidatePairing", "StartSession", "Disconnect"}},
    };
    for (const auto& c : cases) {
        m_device = FakeDevice{};
        m_device.results = c.results;
        // A real descriptor, so the service may close it as it would a socket.
        const int socket = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        m_device.serviceSocket = socket;
        AppleKernelService service(kDevice);
        const int result = service.StartService("com.apple.afc");
        EXPECT_EQ(result, c.expected > 0 ? socket : c.expected) << c.desc;
        EXPECT_EQ(m_device.calls, c.calls) << c.desc;
        // The socket is the object's only when the service started.
        EXPECT_EQ(service.Socket(), c.expected > 0 ? socket : 0) << c.desc;
        if (service.Socket() != socket) ::close(socket);
    }

    m_device = FakeDevice{};
    AppleKernelService unbound;
    EXPECT_EQ(unbound.StartService("com.apple.afc"), 0);
    EXPECT_TRUE(m_device.calls.empty()) << "no device: no library call";
}

TEST_F(ServiceTest, SessionsEndOnlyAsFarAsTheyWent) {
    m_device.results = {{"StopSession", -5}};
    AppleKernelService service(kDevice);
    EXPECT_TRUE(service.BeginSession());
    EXPECT_FALSE(service.EndSession());
    EXPECT_EQ(m_device.calls, (Calls{"Connect", "IsPaired", "ValidatePairing", "StartSession", "StopSession"}));
}

// --- Files over the recording AFC connection ---

class AfcTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        m_device.serviceSocket = 0;
        // A connected service without a real socket: the connection is the fake's.
        ASSERT_TRUE(Connect(m_service));
        m_afc.calls.clear();
    }
    static bool Connect(AFCService& service) {
        g_device->serviceSocket = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        return service.EnsureConnected();
    }

    AFCService m_service{kDevice};
};

TEST_F(AfcTest, WriteLooksAtTheFolderChainOnlyForANewOrEmptyFile) {
    struct Case {
        const char* desc;
        std::map<std::string, std::string> files;
        std::vector<std::string> folders;
        const char* path;
        Calls calls;
    };
    const Case cases[] = {
        {"existing file with content: straight to the write",
         {{"/Documents/PCConnection/Respone", "old"}},
         {"Documents/PCConnection/", "/Documents", "/Documents/PCConnection"},
         "/Documents/PCConnection/Respone",
         {"FileInfo /Documents/PCConnection/Respone", "FileOpen /Documents/PCConnection/Respone 3", "FileWrite 3",
          "FileClose"}},
        {"existing empty file: the folder is opened first",
         {{"/Documents/PCConnection/Respone", ""}},
         {"Documents/PCConnection/"},
         "/Documents/PCConnection/Respone",
         {"FileInfo /Documents/PCConnection/Respone", "DirOpen Documents/PCConnection/",
          "FileOpen /Documents/PCConnection/Respone 3", "FileWrite 3", "FileClose"}},
        {"a missing folder is made, the one above is only opened",
         {},
         {"/Documents"},
         "/Documents/PCConnection/Respone",
         {"FileInfo /Documents/PCConnection/Respone", "DirOpen Documents/PCConnection/", "DirOpen /Documents",
          "DirOpen /Documents/PCConnection", "MakeDir /Documents/PCConnection",
          "FileOpen /Documents/PCConnection/Respone 3", "FileWrite 3", "FileClose"}},
    };
    for (const auto& c : cases) {
        m_afc.calls.clear();
        m_afc.files = c.files;
        m_afc.folders = c.folders;
        EXPECT_TRUE(m_service.WriteFile(c.path, "new", 3)) << c.desc;
        EXPECT_EQ(m_afc.calls, c.calls) << c.desc;
    }
}

TEST_F(AfcTest, SizesComeFromTheLeadingDigits) {
    struct Case {
        const char* desc;
        const char* text;
        int size;
    };
    const Case cases[] = {
        {"plain", "1234", 1234}, {"trailing text", "77bytes", 77}, {"no digits", "big", 0}, {"empty", "", 0}};
    for (const auto& c : cases) {
        m_afc.files = {{"/f", "x"}};
        m_afc.sizeTexts = {{"/f", c.text}};
        EXPECT_EQ(m_service.GetFileSize("/f"), c.size) << c.desc;
    }
    m_afc.files.clear();
    EXPECT_EQ(m_service.GetFileSize("/missing"), 0);
    std::string bytes;
    m_afc.files = {{"/empty", ""}};
    EXPECT_FALSE(m_service.ReadFile("/empty", bytes)) << "an empty file cannot be read whole";
}

TEST_F(AfcTest, ClearingAFolderRemovesEveryEntryButTheDots) {
    m_afc.folders = {"/iTunes_Control/Ringtones/Sync/"};
    m_afc.listing = {".", "..", "ringtones-1.plist", "media.plist"};
    m_service.ClearDirectory("/iTunes_Control/Ringtones/Sync/");
    EXPECT_EQ(m_afc.calls, (Calls{"DirOpen /iTunes_Control/Ringtones/Sync/",
                                  "Remove /iTunes_Control/Ringtones/Sync/ringtones-1.plist",
                                  "Remove /iTunes_Control/Ringtones/Sync/media.plist"}));
    m_afc.calls.clear();
    m_service.ClearDirectory("/missing/");
    EXPECT_EQ(m_afc.calls, Calls{"DirOpen /missing/"});
}

// --- Property-list messages over a socket pair ---

class PlistPeer : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_ends), 0);
    }
    void TearDown() override {
        if (m_ends[1] >= 0) ::close(m_ends[1]);
        ServiceTest::TearDown();
    }
    // A client owning the first end.
    struct Client : CSocketClient {
        explicit Client(int fd) { m_socket = fd; }
    };
    void PeerSends(const std::string& bytes) {
        ASSERT_EQ(::send(m_ends[1], bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    static std::string Framed(const std::string& body) {
        const auto n = static_cast<uint32_t>(body.size());
        return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                           static_cast<char>(n)} +
               body;
    }
    static std::string Xml(const std::string& key, const std::string& value) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict><key>" + key + "</key><string>" +
               value + "</string></dict></plist>";
    }

    int m_ends[2] = {-1, -1};
};

TEST_F(PlistPeer, MessagesRoundTripAndBrokenOnesGiveNull) {
    Client client(m_ends[0]);
    // A message the client sends arrives framed, as XML the peer can read.
    CFMutableDictionaryRef dict =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(dict, CFSTR("Command"), CFSTR("VendContainer"));
    ASSERT_TRUE(client.SendPlist(dict));
    CFRelease(dict);
    unsigned char header[4];
    ASSERT_EQ(::recv(m_ends[1], header, 4, MSG_WAITALL), 4);
    const uint32_t length =
        (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) | (uint32_t{header[2]} << 8) | header[3];
    std::string body(length, '\0');
    ASSERT_EQ(::recv(m_ends[1], body.data(), length, MSG_WAITALL), static_cast<ssize_t>(length));
    EXPECT_NE(body.find("<string>VendContainer</string>"), std::string::npos) << body;

    PeerSends(Framed(Xml("Status", "Complete")));
    CFPropertyListRef reply = client.ReceivePlist();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(CFGetTypeID(reply), CFDictionaryGetTypeID());
    CFRelease(reply);

    struct Case {
        const char* desc;
        std::string bytes;
    };
    const Case broken[] = {
        {"an empty body reaches the parser, which finds no list", Framed("")},
        {"a body that is not a property list", Framed("not a plist")},
        {"a length far beyond any reply", std::string("\x7f\xff\xff\xff", 4)},
        {"a length just past the bound", std::string("\x01\x00\x00\x01", 4)},
    };
    for (const auto& c : broken) {
        PeerSends(c.bytes);
        EXPECT_EQ(client.ReceivePlist(), nullptr) << c.desc;
    }
}

TEST_F(PlistPeer, APeerThatClosesOrFallsSilentEndsTheReceive) {
    {
        Client client(m_ends[0]);
        PeerSends(std::string("\x00\x00\x00\x10", 4));  // a length, then nothing
        // Silence: the receive gives up at its bound (shortened for the tests).
        EXPECT_EQ(client.ReceivePlist(), nullptr);
        ::shutdown(m_ends[1], SHUT_WR);
        EXPECT_EQ(client.ReceivePlist(), nullptr) << "closed after the length";
        char byte;
        EXPECT_FALSE(client.ReceiveAll(&byte, 1));
    }
    m_ends[0] = -1;  // closed by the client
    Client none(0);
    char byte;
    EXPECT_FALSE(none.ReceiveAll(&byte, 1));
    EXPECT_FALSE(none.SendAll("x", 1));
}

// --- house_arrest ---

TEST_F(PlistPeer, ContainerIsVendedOnlyForACompleteStatus) {
    struct Case {
        const char* desc;
        std::string reply;
        bool vended;
    };
    const Case cases[] = {
        {"Complete", Xml("Status", "Complete"), true},
        {"letter case differs", Xml("Status", "COMPLETE"), true},
        {"unknown app", Xml("Error", "InstallationLookupFailed"), false},
        {"another status", Xml("Status", "Completed"), false},
    };
    for (const auto& c : cases) {
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        m_device = FakeDevice{};
        m_device.serviceSocket = ends[0];
        m_afc = FakeAfc{};
        std::string request;
        std::thread peer([&, server = ends[1]] {
            unsigned char header[4];
            if (::recv(server, header, 4, MSG_WAITALL) != 4) return;
            const uint32_t n =
                (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) | (uint32_t{header[2]} << 8) | header[3];
            request.resize(n);
            if (::recv(server, request.data(), n, MSG_WAITALL) != static_cast<ssize_t>(n)) return;
            const std::string framed = Framed(c.reply);
            ::send(server, framed.data(), framed.size(), MSG_NOSIGNAL);
        });
        AFCApplicationDirectory container(kDevice);
        EXPECT_EQ(container.VendContainer("com.mrz4.ringtone.pid40ch1"), c.vended) << c.desc;
        peer.join();
        ::close(ends[1]);
        EXPECT_NE(request.find("<key>Command</key>"), std::string::npos) << c.desc;
        EXPECT_NE(request.find("<string>VendContainer</string>"), std::string::npos) << c.desc;
        EXPECT_NE(request.find("<string>com.mrz4.ringtone.pid40ch1</string>"), std::string::npos) << c.desc;
        EXPECT_EQ(container.Connected(), c.vended) << c.desc;
        EXPECT_EQ(m_afc.calls.size(), c.vended ? 1u : 0u) << c.desc;
        container.CloseConnection();
        container.Close();  // closes the service socket the container kept in every case
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Before any receive: the bound is read once.
    ::setenv("RUVO_RECEIVE_TIMEOUT_MS", "300", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
