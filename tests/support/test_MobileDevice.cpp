// Tests of the mobile-device library's device half (notifications, sessions, values, apps, services, house_arrest) against virtual phones.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CFHolder.h"
#include "MobileDevice.h"
#include "SocketTestSupport.h"
#include "VirtualPhone.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ruvo::phone::PhoneConfig;

namespace {

using socket_test::ReadExact;
using socket_test::SendAll;

// The driver looks at the hub every 200 ms; a notice or a closed socket is waited for this long.
constexpr auto kWait = 5s;

using ruvo::cf::CFHolder;

std::optional<std::string> Utf8(CFTypeRef value) {
    if (!value || CFGetTypeID(value) != CFStringGetTypeID()) return std::nullopt;
    auto string = static_cast<CFStringRef>(value);
    std::vector<char> buffer(static_cast<size_t>(CFStringGetLength(string)) * 3 + 1);
    if (!CFStringGetCString(string, buffer.data(), static_cast<CFIndex>(buffer.size()), kCFStringEncodingUTF8))
        return std::nullopt;
    return std::string(buffer.data());
}

CFHolder NewString(const std::string& text) {
    return CFHolder(CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8));
}

std::optional<std::string> DeviceId(AMDeviceRef device) {
    CFHolder id(AMDeviceCopyDeviceIdentifier(device));
    return Utf8(id.get());
}

// The notifications of one subscription, waited for with a bound.
class NoticeLog {
public:
    NoticeLog() {
        EXPECT_EQ(AMDeviceNotificationSubscribe(&NoticeLog::Handler, 0, 0, this, &m_subscription), MDERR_OK);
    }
    ~NoticeLog() {
        if (m_subscription) AMDeviceNotificationUnsubscribe(m_subscription);
    }
    NoticeLog(const NoticeLog&) = delete;
    NoticeLog& operator=(const NoticeLog&) = delete;

    // The device of the next notice with this message for the device id, or null when none
    // came in time. A device's notices are consumed in order, so attach - detach - attach can
    // be followed; the notices of other devices stay for their own turn.
    AMDeviceRef Next(const std::string& id, unsigned int message) {
        std::unique_lock lock(m_mutex);
        AMDeviceRef found = nullptr;
        m_changed.wait_for(lock, kWait, [&] {
            for (auto& notice : m_notices) {
                if (notice.consumed || notice.id != id) continue;
                notice.consumed = true;
                if (notice.message != message) continue;
                found = notice.device;
                return true;
            }
            return false;
        });
        return found;
    }

    size_t Count(const std::string& id) {
        std::scoped_lock lock(m_mutex);
        size_t count = 0;
        for (const auto& notice : m_notices) count += notice.id == id;
        return count;
    }

private:
    struct Notice {
        AMDeviceRef device;
        unsigned int message;
        std::string id;
        bool consumed = false;
    };

    static void Handler(am_device_notification_callback_info* info, void* arg) {
        auto* self = static_cast<NoticeLog*>(arg);
        // Asking the library from inside the handler is part of what is tested.
        Notice notice{info->dev, info->msg, DeviceId(info->dev).value_or(""), false};
        EXPECT_EQ(info->subscription, self->m_subscription);
        std::scoped_lock lock(self->m_mutex);
        self->m_notices.push_back(std::move(notice));
        self->m_changed.notify_all();
    }

    AMDeviceNotificationRef m_subscription = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Notice> m_notices;
};

// Connect and session for the life of the object, closed in the order the callers use.
class Session {
public:
    explicit Session(AMDeviceRef device) : m_device(device) {
        m_connect = AMDeviceConnect(device);
        m_session = m_connect == MDERR_OK ? AMDeviceStartSession(device) : m_connect;
    }
    ~Session() { End(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    int result() const { return m_session; }
    void End() {
        if (m_session == MDERR_OK) {
            EXPECT_EQ(AMDeviceStopSession(m_device), MDERR_OK);
        }
        if (m_connect == MDERR_OK) {
            EXPECT_EQ(AMDeviceDisconnect(m_device), MDERR_OK);
        }
        m_session = m_connect = MDERR_NOT_CONNECTED;
    }

private:
    AMDeviceRef m_device;
    int m_connect;
    int m_session;
};

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    int* out() { return &m_fd; }

private:
    int m_fd;
};

// Opens a session, starts the service and ends the session again, as the callers do.
int StartService(AMDeviceRef device, const char* name, Fd& socket) {
    Session session(device);
    if (session.result() != MDERR_OK) return session.result();
    CFHolder serviceName = NewString(name);
    return AMDeviceStartService(device, static_cast<CFStringRef>(serviceName.get()), socket.out(), nullptr);
}

// Everything the peer sends until it closes; nothing when it stays open past the bound.
std::optional<std::string> ReadUntilClosed(int fd) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
        char buffer[4096];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno == ECONNRESET)) return data;
        if (got < 0) return std::nullopt;
        data.append(buffer, static_cast<size_t>(got));
    }
}

std::string Frame(const std::string& body) {
    const auto n = static_cast<uint32_t>(body.size());
    std::string frame{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                      static_cast<char>(n)};
    return frame + body;
}

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

enum class Encoding { Xml, Binary };

// A framed house_arrest request; a null command or identifier leaves that key out.
std::string HouseArrestRequest(const char* command, const char* identifier, Encoding encoding = Encoding::Xml) {
    plist_t dict = plist_new_dict();
    if (command) plist_dict_set_item(dict, "Command", plist_new_string(command));
    if (identifier) plist_dict_set_item(dict, "Identifier", plist_new_string(identifier));
    char* bytes = nullptr;
    uint32_t length = 0;
    if (encoding == Encoding::Xml)
        plist_to_xml(dict, &bytes, &length);
    else
        plist_to_bin(dict, &bytes, &length);
    std::string body(bytes, length);
    if (encoding == Encoding::Xml)
        plist_to_xml_free(bytes);
    else
        plist_to_bin_free(bytes);
    plist_free(dict);
    return Frame(body);
}

// The string members of one framed reply; nothing when none arrives or it does not parse.
std::optional<std::map<std::string, std::string>> ReadReply(int fd) {
    const auto header = ReadExact(fd, 4, kWait);
    if (!header) return std::nullopt;
    const auto* h = reinterpret_cast<const unsigned char*>(header->data());
    const uint32_t length = (uint32_t{h[0]} << 24) | (uint32_t{h[1]} << 16) | (uint32_t{h[2]} << 8) | h[3];
    if (length > 65536) return std::nullopt;
    const auto body = ReadExact(fd, length, kWait);
    if (!body) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(body->data(), length, &root);
    if (!root || plist_get_node_type(root) != PLIST_DICT) {
        if (root) plist_free(root);
        return std::nullopt;
    }
    std::map<std::string, std::string> members;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(root, &it);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root, it, &key, &value);
        if (!key) break;
        if (plist_get_node_type(value) == PLIST_STRING) {
            char* text = nullptr;
            plist_get_string_val(value, &text);
            members[key] = text;
            free(text);
        }
        free(key);
    }
    free(it);
    plist_free(root);
    return members;
}

int AfcWriteFile(AFCConnectionRef afc, const char* path, const std::string& data) {
    AFCFileRef ref = 0;
    if (const int error = AFCFileRefOpen(afc, path, AFC_MODE_WRITE, &ref)) return error;
    const int written = AFCFileRefWrite(afc, ref, data.data(), static_cast<uint32_t>(data.size()));
    const int closed = AFCFileRefClose(afc, ref);
    return written ? written : closed;
}

std::optional<std::string> AfcReadFile(AFCConnectionRef afc, const char* path) {
    AFCFileRef ref = 0;
    if (AFCFileRefOpen(afc, path, AFC_MODE_READ, &ref) != MDERR_OK) return std::nullopt;
    std::string data;
    for (;;) {
        char buffer[4096];
        uint32_t length = sizeof buffer;
        if (AFCFileRefRead(afc, ref, buffer, &length) != MDERR_OK) {
            AFCFileRefClose(afc, ref);
            return std::nullopt;
        }
        if (length == 0) break;
        data.append(buffer, length);
    }
    AFCFileRefClose(afc, ref);
    return data;
}

std::set<std::string> AfcList(AFCConnectionRef afc, const char* path) {
    std::set<std::string> names;
    AFCDirectoryRef dir = nullptr;
    if (AFCDirectoryOpen(afc, path, &dir) != MDERR_OK) return names;
    char* name = nullptr;
    while (AFCDirectoryRead(afc, dir, &name) == MDERR_OK && name) names.insert(name);
    AFCDirectoryClose(afc, dir);
    return names;
}

std::string FileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class AfcConnection {
public:
    explicit AfcConnection(int socket) { m_result = AFCConnectionOpen(socket, 5, &m_afc); }
    ~AfcConnection() {
        if (m_afc) AFCConnectionClose(m_afc);
    }
    AfcConnection(const AfcConnection&) = delete;
    AfcConnection& operator=(const AfcConnection&) = delete;
    int result() const { return m_result; }
    AFCConnectionRef get() const { return m_afc; }

private:
    AFCConnectionRef m_afc = nullptr;
    int m_result;
};

struct Phone {
    std::string dir;
    std::string id;
};

// The phones and the hub of this test process, removed when it ends.
class TempRoot {
public:
    TempRoot() {
        char pattern[] = "/tmp/ruvo-md-test-XXXXXX";
        if (::mkdtemp(pattern)) m_path = pattern;
    }
    ~TempRoot() {
        std::error_code error;
        if (!m_path.empty()) fs::remove_all(m_path, error);
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

class MobileDeviceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static TempRoot root;
        ASSERT_FALSE(root.path().empty());
        if (!s_root.empty()) return;
        s_root = root.path();
        // Set once, before the driver's thread exists, and never changed: that thread reads it.
        ::setenv("RUVO_PHONE_HUB", (s_root + "/hub").c_str(), 1);
    }

    void TearDown() override {
        // A phone left plugged in would still be announced to the subscribers of later tests.
        for (const auto& dir : m_dirs) ruvo::phone::SetPlugged(dir, false, nullptr);
    }

    Phone MakePhone(PhoneConfig config) {
        const std::string dir = s_root + "/phone" + std::to_string(s_counter++);
        std::string error;
        EXPECT_TRUE(ruvo::phone::CreatePhone(dir, std::move(config), &error)) << error;
        m_dirs.push_back(dir);
        const auto loaded = ruvo::phone::LoadPhone(dir);
        EXPECT_TRUE(loaded.has_value());
        return {dir, loaded ? loaded->uniqueDeviceId : std::string()};
    }

    static PhoneConfig Plugged(PhoneConfig config = {}) {
        config.plugged = true;
        return config;
    }

    // A plugged-in phone and its device, once the library has announced it.
    AMDeviceRef Attach(const Phone& phone) {
        AMDeviceRef device = m_log.Next(phone.id, ADNCI_MSG_CONNECTED);
        EXPECT_NE(device, nullptr) << "no attach notice for " << phone.dir;
        return device;
    }

    static void SetPlugged(const Phone& phone, bool plugged) {
        std::string error;
        ASSERT_TRUE(ruvo::phone::SetPlugged(phone.dir, plugged, &error)) << error;
    }

    static void SetTrusted(const Phone& phone, bool trusted) {
        std::string error;
        ASSERT_TRUE(ruvo::phone::SetTrusted(phone.dir, trusted, &error)) << error;
    }

    static inline std::string s_root;
    static inline int s_counter = 0;
    std::vector<std::string> m_dirs;
    NoticeLog m_log;
};

// --- Notifications and identity ---

TEST_F(MobileDeviceTest, PlugAndUnplugAreAnnouncedWithOneReferencePerDevice) {
    const Phone phone = MakePhone({});
    SetPlugged(phone, true);
    AMDeviceRef device = Attach(phone);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(AMDeviceConnect(device), MDERR_OK);
    EXPECT_EQ(AMDeviceDisconnect(device), MDERR_OK);

    SetPlugged(phone, false);
    EXPECT_EQ(m_log.Next(phone.id, ADNCI_MSG_DISCONNECTED), device);
    // The reference stays safe to use; the device is just gone.
    EXPECT_EQ(AMDeviceConnect(device), MDERR_NO_DEVICE);
    EXPECT_EQ(DeviceId(device), phone.id);

    SetPlugged(phone, true);
    EXPECT_EQ(m_log.Next(phone.id, ADNCI_MSG_CONNECTED), device);
    EXPECT_EQ(AMDeviceConnect(device), MDERR_OK);
    EXPECT_EQ(AMDeviceDisconnect(device), MDERR_OK);
}

// The lookup by identifier finds the reference the notices hand out, and only while the device
// is attached.
TEST_F(MobileDeviceTest, LookupByIdentifierFindsAttachedDevicesOnly) {
    const Phone phone = MakePhone(Plugged());
    AMDeviceRef device = Attach(phone);
    ASSERT_NE(device, nullptr);
    CFHolder id = NewString(phone.id);
    const auto identifier = static_cast<CFStringRef>(id.get());
    EXPECT_EQ(AMDeviceLookupByIdentifier(identifier), device);

    SetPlugged(phone, false);
    ASSERT_EQ(m_log.Next(phone.id, ADNCI_MSG_DISCONNECTED), device);
    EXPECT_EQ(AMDeviceLookupByIdentifier(identifier), nullptr);

    SetPlugged(phone, true);
    ASSERT_EQ(m_log.Next(phone.id, ADNCI_MSG_CONNECTED), device);
    EXPECT_EQ(AMDeviceLookupByIdentifier(identifier), device);

    CFHolder unknown = NewString("0000000000000000000000000000000000000000");
    CFHolder number(CFNumberCreate(nullptr, kCFNumberSInt32Type, &s_counter));
    EXPECT_EQ(AMDeviceLookupByIdentifier(static_cast<CFStringRef>(unknown.get())), nullptr);
    EXPECT_EQ(AMDeviceLookupByIdentifier(static_cast<CFStringRef>(number.get())), nullptr);
    EXPECT_EQ(AMDeviceLookupByIdentifier(nullptr), nullptr);
}

TEST_F(MobileDeviceTest, EveryWayOfLeavingIsADetach) {
    struct Case {
        const char* desc;
        void (*leave)(const Phone&);
    };
    const Case cases[] = {
        {"unplugged", [](const Phone& p) { ruvo::phone::SetPlugged(p.dir, false, nullptr); }},
        {"removed from the hub", [](const Phone& p) { fs::remove(fs::path(ruvo::phone::HubDirectory()) / p.id); }},
        {"state no longer readable",
         [](const Phone& p) { std::ofstream(fs::path(p.dir) / "device.plist") << "garbage"; }},
    };
    for (const auto& c : cases) {
        const Phone phone = MakePhone(Plugged());
        AMDeviceRef device = Attach(phone);
        ASSERT_NE(device, nullptr) << c.desc;
        c.leave(phone);
        EXPECT_EQ(m_log.Next(phone.id, ADNCI_MSG_DISCONNECTED), device) << c.desc;
        EXPECT_EQ(AMDeviceConnect(device), MDERR_NO_DEVICE) << c.desc;
    }
}

TEST_F(MobileDeviceTest, LateSubscriberHearsOfDevicesAlreadyPresent) {
    const Phone phone = MakePhone(Plugged());
    AMDeviceRef device = Attach(phone);
    ASSERT_NE(device, nullptr);

    NoticeLog late;
    EXPECT_EQ(late.Next(phone.id, ADNCI_MSG_CONNECTED), device);
    SetPlugged(phone, false);
    EXPECT_EQ(late.Next(phone.id, ADNCI_MSG_DISCONNECTED), device);
    // Announced once each, not once per queued event and again as a present device.
    EXPECT_EQ(late.Count(phone.id), 2u);
}

TEST_F(MobileDeviceTest, HandlerCanUnsubscribeItself) {
    struct SelfRemoving {
        AMDeviceNotificationRef subscription = nullptr;
        std::atomic<int> calls{0};
        std::atomic<int> unsubscribeResult{1};
        static void Handler(am_device_notification_callback_info* info, void* arg) {
            auto* self = static_cast<SelfRemoving*>(arg);
            if (self->calls.fetch_add(1) == 0)
                self->unsubscribeResult = AMDeviceNotificationUnsubscribe(info->subscription);
        }
    };
    SelfRemoving self;
    // Subscribed ahead of the phone's first notice, so that notice (or one of a device left by
    // another test) reaches it.
    ASSERT_EQ(AMDeviceNotificationSubscribe(&SelfRemoving::Handler, 0, 0, &self, &self.subscription), MDERR_OK);
    const Phone phone = MakePhone(Plugged());
    ASSERT_NE(Attach(phone), nullptr);
    SetPlugged(phone, false);
    ASSERT_NE(m_log.Next(phone.id, ADNCI_MSG_DISCONNECTED), nullptr);
    SetPlugged(phone, true);
    ASSERT_NE(m_log.Next(phone.id, ADNCI_MSG_CONNECTED), nullptr);

    // Events are delivered one after the other: by the time m_log saw the second attach, the
    // handler had been offered the detach before it.
    EXPECT_EQ(self.calls.load(), 1);
    EXPECT_EQ(self.unsubscribeResult.load(), MDERR_OK);
    EXPECT_EQ(AMDeviceNotificationUnsubscribe(self.subscription), MDERR_INVALID_ARGUMENT);
}

TEST_F(MobileDeviceTest, UnsubscribeWaitsForTheRunningHandlerHoweverLong) {
    // The handler is held inside its call for longer than any fixed bound a library might pick
    // (it was once ten seconds); unsubscribing from another thread must not return before the
    // handler has, since the caller frees the handler's argument next.
    struct Held {
        std::mutex mutex;
        std::condition_variable changed;
        bool entered = false;
        bool release = false;
        bool returned = false;
        AMDeviceNotificationRef subscription = nullptr;
        static void Handler(am_device_notification_callback_info*, void* arg) {
            auto* self = static_cast<Held*>(arg);
            std::unique_lock lock(self->mutex);
            if (self->entered) return;
            self->entered = true;
            self->changed.notify_all();
            self->changed.wait(lock, [self] { return self->release; });
            self->returned = true;
        }
    };
    const Phone phone = MakePhone(Plugged());
    ASSERT_NE(Attach(phone), nullptr);
    auto held = std::make_unique<Held>();
    // A late subscriber hears of the attached phone at once.
    ASSERT_EQ(AMDeviceNotificationSubscribe(&Held::Handler, 0, 0, held.get(), &held->subscription), MDERR_OK);
    {
        std::unique_lock lock(held->mutex);
        ASSERT_TRUE(held->changed.wait_for(lock, kWait, [&] { return held->entered; }));
    }
    std::atomic<bool> unsubscribed{false};
    std::thread unsubscriber([&] {
        EXPECT_EQ(AMDeviceNotificationUnsubscribe(held->subscription), MDERR_OK);
        // Whatever the handler did must be over by now.
        std::scoped_lock lock(held->mutex);
        EXPECT_TRUE(held->returned);
        unsubscribed = true;
    });
    std::this_thread::sleep_for(11s);
    EXPECT_FALSE(unsubscribed.load());
    {
        std::scoped_lock lock(held->mutex);
        held->release = true;
    }
    held->changed.notify_all();
    unsubscriber.join();
    EXPECT_TRUE(unsubscribed.load());
}

TEST_F(MobileDeviceTest, HandlerCanOpenASessionOnTheAnnouncedDevice) {
    // The device manager reads the device's values from inside its handler.
    struct Reader {
        std::mutex mutex;
        std::condition_variable done;
        std::string wantedId;
        std::optional<std::string> name;
        static void Handler(am_device_notification_callback_info* info, void* arg) {
            auto* self = static_cast<Reader*>(arg);
            if (info->msg != ADNCI_MSG_CONNECTED || DeviceId(info->dev) != self->wantedId) return;
            std::optional<std::string> name;
            Session session(info->dev);
            if (session.result() == MDERR_OK) {
                CFHolder value(AMDeviceCopyValue(info->dev, nullptr, CFSTR("DeviceName")));
                name = Utf8(value.get());
            }
            session.End();
            std::scoped_lock lock(self->mutex);
            self->name = name.value_or("<none>");
            self->done.notify_all();
        }
    };
    PhoneConfig config;
    config.deviceName = "Handler Phone";
    const Phone phone = MakePhone(config);
    Reader reader;
    reader.wantedId = phone.id;
    AMDeviceNotificationRef subscription = nullptr;
    ASSERT_EQ(AMDeviceNotificationSubscribe(&Reader::Handler, 0, 0, &reader, &subscription), MDERR_OK);
    SetPlugged(phone, true);
    {
        std::unique_lock lock(reader.mutex);
        reader.done.wait_for(lock, kWait, [&] { return reader.name.has_value(); });
        EXPECT_EQ(reader.name, "Handler Phone");
    }
    EXPECT_EQ(AMDeviceNotificationUnsubscribe(subscription), MDERR_OK);
}

// --- Trust, connections and sessions ---

TEST_F(MobileDeviceTest, TrustIsAskedOfThePhoneAtEveryCheck) {
    PhoneConfig config = Plugged();
    config.trusted = false;
    const Phone phone = MakePhone(config);
    AMDeviceRef device = Attach(phone);
    ASSERT_NE(device, nullptr);

    ASSERT_EQ(AMDeviceConnect(device), MDERR_OK);
    EXPECT_EQ(AMDeviceIsPaired(device), 0);
    EXPECT_EQ(AMDeviceValidatePairing(device), MDERR_NOT_PAIRED);
    EXPECT_EQ(AMDeviceStartSession(device), MDERR_NOT_PAIRED);
    int socket = -1;
    EXPECT_EQ(AMDeviceStartService(device, CFSTR("com.apple.afc"), &socket, nullptr), MDERR_NO_SESSION);
    EXPECT_EQ(socket, -1);
    EXPECT_EQ(AMDeviceCopyValue(device, nullptr, CFSTR("DeviceName")), nullptr);
    CFDictionaryRef apps = nullptr;
    EXPECT_EQ(AMDeviceLookupApplications(device, nullptr, &apps), MDERR_NO_SESSION);
    EXPECT_EQ(apps, nullptr);
    EXPECT_EQ(AMDeviceDisconnect(device), MDERR_OK);

    // Trusting the computer on the phone is enough; no re-plug.
    SetTrusted(phone, true);
    ASSERT_EQ(AMDeviceConnect(device), MDERR_OK);
    EXPECT_NE(AMDeviceIsPaired(device), 0);
    EXPECT_EQ(AMDeviceValidatePairing(device), MDERR_OK);
    ASSERT_EQ(AMDeviceStartSession(device), MDERR_OK);
    Fd service;
    CFHolder afc = NewString("com.apple.afc");
    EXPECT_EQ(AMDeviceStartService(device, static_cast<CFStringRef>(afc.get()), service.out(), nullptr), MDERR_OK);
    EXPECT_GE(service.get(), 0);
    EXPECT_EQ(AMDeviceStopSession(device), MDERR_OK);
    EXPECT_EQ(AMDeviceDisconnect(device), MDERR_OK);

    SetTrusted(phone, false);
    EXPECT_EQ(AMDeviceIsPaired(device), 0);
    Fd refused;
    EXPECT_EQ(StartService(device, "com.apple.afc", refused), MDERR_NOT_PAIRED);
}

TEST_F(MobileDeviceTest, CallsOutOfOrderAreRefused) {
    const Phone phone = MakePhone(Plugged());
    AMDeviceRef device = Attach(phone);
    ASSERT_NE(device, nullptr);

    EXPECT_EQ(AMDeviceDisconnect(device), MDERR_NOT_CONNECTED);
    EXPECT_EQ(AMDeviceValidatePairing(device), MDERR_NOT_CONNECTED);
    EXPECT_EQ(AMDeviceStartSession(device), MDERR_NOT_CONNECTED);
    EXPECT_EQ(AMDeviceStopSession(device), MDERR_NO_SESSION);

    ASSERT_EQ(AMDeviceConnect(device), MDERR_OK);
    int socket = -1;
    EXPECT_EQ(AMDeviceStartService(device, CFSTR("com.apple.afc"), &socket, nullptr), MDERR_NO_SESSION);
    EXPECT_EQ(AMDeviceCopyValue(device, nullptr, CFSTR("DeviceName")), nullptr);
    ASSERT_EQ(AMDeviceStartSession(device), MDERR_OK);
    CFHolder name(AMDeviceCopyValue(device, nullptr, CFSTR("DeviceName")));
    EXPECT_TRUE(Utf8(name.get()).has_value());
    // Disconnecting ends a session that was left open.
    EXPECT_EQ(AMDeviceDisconnect(device), MDERR_OK);
    EXPECT_EQ(AMDeviceCopyValue(device, nullptr, CFSTR("DeviceName")), nullptr);
    EXPECT_EQ(AMDeviceStopSession(device), MDERR_NO_SESSION);

    // An unplug ends connection and session too.
    ASSERT_EQ(AMDeviceConnect(device), MDERR_OK);
    ASSERT_EQ(AMDeviceStartSession(device), MDERR_OK);
    SetPlugged(phone, false);
    ASSERT_EQ(m_log.Next(phone.id, ADNCI_MSG_DISCONNECTED), device);
    SetPlugged(phone, true);
    ASSERT_EQ(m_log.Next(phone.id, ADNCI_MSG_CONNECTED), device);
    EXPECT_EQ(AMDeviceStopSession(device), MDERR_NO_SESSION);
    EXPECT_EQ(AMDeviceDisconnect(device), MDERR_NOT_CONNECTED);
}

TEST(MobileDeviceArguments, NullAndStrayReferencesAreRefused) {
    int socket = -1;
    CFDictionaryRef apps = nullptr;
    AMDeviceNotificationRef subscription = nullptr;
    struct Case {
        const char* desc;
        int result;
        int expected;
    };
    const Case cases[] = {
        {"Connect", AMDeviceConnect(nullptr), MDERR_INVALID_ARGUMENT},
        {"Disconnect", AMDeviceDisconnect(nullptr), MDERR_INVALID_ARGUMENT},
        {"IsPaired", AMDeviceIsPaired(nullptr), 0},
        {"ValidatePairing", AMDeviceValidatePairing(nullptr), MDERR_INVALID_ARGUMENT},
        {"StartSession", AMDeviceStartSession(nullptr), MDERR_INVALID_ARGUMENT},
        {"StopSession", AMDeviceStopSession(nullptr), MDERR_INVALID_ARGUMENT},
        {"StartService", AMDeviceStartService(nullptr, CFSTR("com.apple.afc"), &socket, nullptr),
         MDERR_INVALID_ARGUMENT},
        {"LookupApplications", AMDeviceLookupApplications(nullptr, nullptr, &apps), MDERR_INVALID_ARGUMENT},
        {"Subscribe without handler", AMDeviceNotificationSubscribe(nullptr, 0, 0, nullptr, &subscription),
         MDERR_INVALID_ARGUMENT},
        {"Unsubscribe unknown", AMDeviceNotificationUnsubscribe(reinterpret_cast<AMDeviceNotificationRef>(&socket)),
         MDERR_INVALID_ARGUMENT},
    };
    for (const auto& c : cases) EXPECT_EQ(c.result, c.expected) << c.desc;
    EXPECT_EQ(socket, -1);
    EXPECT_EQ(apps, nullptr);
    EXPECT_EQ(AMDeviceCopyValue(nullptr, nullptr, CFSTR("DeviceName")), nullptr);
    EXPECT_EQ(AMDeviceCopyDeviceIdentifier(nullptr), nullptr);
}

TEST_F(MobileDeviceTest, ConcurrentSessionsOnOneDeviceNeverFailEachOther) {
    const Phone phone = MakePhone(Plugged());
    AMDeviceRef device = Attach(phone);
    ASSERT_NE(device, nullptr);

    // Both threads run the callers' sequence at the same moment on the same reference.
    std::atomic<int> failures{0};
    auto work = [&] {
        for (int i = 0; i < 200; ++i) {
            if (AMDeviceConnect(device) != MDERR_OK) ++failures;
            if (AMDeviceIsPaired(device) == 0) ++failures;
            if (AMDeviceValidatePairing(device) != MDERR_OK) ++failures;
            if (AMDeviceStartSession(device) != MDERR_OK) ++failures;
            CFHolder name(AMDeviceCopyValue(device, nullptr, CFSTR("DeviceName")));
            if (!name) ++failures;
            if (i % 25 == 0) {
                Fd socket;
                if (AMDeviceStartService(device, CFSTR("com.apple.afc"), socket.out(), nullptr) != MDERR_OK) ++failures;
            }
            if (AMDeviceStopSession(device) != MDERR_OK) ++failures;
            if (AMDeviceDisconnect(device) != MDERR_OK) ++failures;
        }
    };
    std::thread other(work);
    work();
    other.join();
    EXPECT_EQ(failures.load(), 0);
    // Balanced: nothing is left open.
    EXPECT_EQ(AMDeviceDisconnect(device), MDERR_NOT_CONNECTED);
}

// --- Values and applications ---

TEST_F(MobileDeviceTest, ValuesComeFromThePhone) {
    PhoneConfig config = Plugged();
    config.deviceName = "Büro-iPhone";
    config.productType = "iPhone14,2";
    config.productVersion = "17.1";
    config.basebandVersion = "3.01.02";
    const Phone phone = MakePhone(config);
    AMDeviceRef device = Attach(phone);
    ASSERT_NE(device, nullptr);

    EXPECT_EQ(DeviceId(device), phone.id);  // needs no session
    Session session(device);
    ASSERT_EQ(session.result(), MDERR_OK);
    struct Case {
        const char* key;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"DeviceName", "Büro-iPhone"},  {"ProductType", "iPhone14,2"}, {"ProductVersion", "17.1"},
        {"BasebandVersion", "3.01.02"}, {"UniqueDeviceID", phone.id},  {"DeviceClass", "iPhone"},
        {"NoSuchKey", std::nullopt},
    };
    for (const auto& c : cases) {
        CFHolder key = NewString(c.key);
        CFHolder value(AMDeviceCopyValue(device, nullptr, static_cast<CFStringRef>(key.get())));
        EXPECT_EQ(Utf8(value.get()), c.expected) << c.key;
    }
    // Only the global domain is kept.
    EXPECT_EQ(AMDeviceCopyValue(device, CFSTR("com.apple.disk_usage"), CFSTR("DeviceName")), nullptr);

    // A new name on the phone shows without re-plugging.
    auto changed = ruvo::phone::LoadPhone(phone.dir);
    ASSERT_TRUE(changed);
    changed->deviceName = "Renamed";
    ASSERT_TRUE(ruvo::phone::SavePhone(phone.dir, *changed));
    CFHolder renamed(AMDeviceCopyValue(device, nullptr, CFSTR("DeviceName")));
    EXPECT_EQ(Utf8(renamed.get()), "Renamed");
}

TEST_F(MobileDeviceTest, ApplicationsAreLookedUpByType) {
    PhoneConfig config = Plugged();
    config.systemApps = {"com.apple.mobilesafari", "com.apple.Preferences"};
    config.userApps = {"com.example.tones", "com.example.notes"};
    const Phone phone = MakePhone(config);
    AMDeviceRef device = Attach(phone);
    ASSERT_NE(device, nullptr);
    Session session(device);
    ASSERT_EQ(session.result(), MDERR_OK);

    const std::map<std::string, std::string> all = {{"com.apple.mobilesafari", "System"},
                                                    {"com.apple.Preferences", "System"},
                                                    {"com.example.tones", "User"},
                                                    {"com.example.notes", "User"}};
    auto only = [&](const std::string& type) {
        std::map<std::string, std::string> some;
        for (const auto& [id, t] : all)
            if (t == type) some.emplace(id, t);
        return some;
    };
    struct Case {
        const char* desc;
        bool withOptions;
        const char* type;  // null: options without a type
        std::map<std::string, std::string> expected;
    };
    const Case cases[] = {
        {"System", true, "System", only("System")},     {"User", true, "User", only("User")}, {"Any", true, "Any", all},
        {"options without a type", true, nullptr, all}, {"no options", false, nullptr, all},
    };
    for (const auto& c : cases) {
        CFHolder options(
            CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
        if (c.type) {
            CFHolder type = NewString(c.type);
            CFDictionarySetValue(static_cast<CFMutableDictionaryRef>(const_cast<void*>(options.get())),
                                 CFSTR("ApplicationType"), type.get());
        }
        CFDictionaryRef result = nullptr;
        ASSERT_EQ(AMDeviceLookupApplications(
                      device, c.withOptions ? static_cast<CFDictionaryRef>(options.get()) : nullptr, &result),
                  MDERR_OK)
            << c.desc;
        CFHolder owned(result);
        const CFIndex count = CFDictionaryGetCount(result);
        std::vector<const void*> keys(static_cast<size_t>(count)), values(static_cast<size_t>(count));
        CFDictionaryGetKeysAndValues(result, keys.data(), values.data());
        std::map<std::string, std::string> found;
        for (CFIndex i = 0; i < count; ++i) {
            auto entry = static_cast<CFDictionaryRef>(values[static_cast<size_t>(i)]);
            ASSERT_EQ(CFGetTypeID(entry), CFDictionaryGetTypeID()) << c.desc;
            EXPECT_EQ(Utf8(CFDictionaryGetValue(entry, CFSTR("CFBundleIdentifier"))),
                      Utf8(keys[static_cast<size_t>(i)]))
                << c.desc;
            found.emplace(Utf8(keys[static_cast<size_t>(i)]).value_or(""),
                          Utf8(CFDictionaryGetValue(entry, CFSTR("ApplicationType"))).value_or(""));
        }
        EXPECT_EQ(found, c.expected) << c.desc;
    }

    CFHolder badOptions(
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    CFDictionarySetValue(static_cast<CFMutableDictionaryRef>(const_cast<void*>(badOptions.get())),
                         CFSTR("ApplicationType"), CFSTR("Hidden"));
    CFDictionaryRef result = nullptr;
    EXPECT_EQ(AMDeviceLookupApplications(device, static_cast<CFDictionaryRef>(badOptions.get()), &result),
              MDERR_INVALID_ARGUMENT);
    EXPECT_EQ(result, nullptr);
}

// --- Services ---

TEST_F(MobileDeviceTest, ServicesAreFoundByNameAndRootedWhereTheyBelong) {
    PhoneConfig withAfc2 = Plugged();
    PhoneConfig withoutAfc2 = Plugged();
    withoutAfc2.offersAfc2 = false;
    const Phone offering = MakePhone(withAfc2);
    const Phone plain = MakePhone(withoutAfc2);
    AMDeviceRef offeringDevice = Attach(offering);
    AMDeviceRef plainDevice = Attach(plain);
    ASSERT_NE(offeringDevice, nullptr);
    ASSERT_NE(plainDevice, nullptr);

    struct Case {
        const char* desc;
        AMDeviceRef device;
        const char* service;
        int expected;
        const char* rootEntry;  // a name the root of the started service holds
    };
    const Case cases[] = {
        {"afc", plainDevice, "com.apple.afc", MDERR_OK, "iTunes_Control"},
        {"afc2 offered", offeringDevice, "com.apple.afc2", MDERR_OK, "device.plist"},
        {"afc2 not offered", plainDevice, "com.apple.afc2", MDERR_SERVICE_NOT_FOUND, nullptr},
        {"unknown service", offeringDevice, "com.apple.mobile.diagnostics_relay", MDERR_SERVICE_NOT_FOUND, nullptr},
        {"empty name", offeringDevice, "", MDERR_SERVICE_NOT_FOUND, nullptr},
    };
    for (const auto& c : cases) {
        Fd socket;
        ASSERT_EQ(StartService(c.device, c.service, socket), c.expected) << c.desc;
        if (!c.rootEntry) {
            EXPECT_EQ(socket.get(), -1) << c.desc;
            continue;
        }
        AfcConnection afc(socket.get());
        ASSERT_EQ(afc.result(), MDERR_OK) << c.desc;
        EXPECT_TRUE(AfcList(afc.get(), "/").contains(c.rootEntry)) << c.desc;
    }
}

TEST_F(MobileDeviceTest, ServiceSocketOutlivesSessionAndConnection) {
    const Phone phone = MakePhone(Plugged());
    AMDeviceRef device = Attach(phone);
    ASSERT_NE(device, nullptr);
    Fd socket;
    ASSERT_EQ(StartService(device, "com.apple.afc", socket), MDERR_OK);  // the session ends inside

    AfcConnection afc(socket.get());
    ASSERT_EQ(afc.result(), MDERR_OK);
    ASSERT_EQ(AfcWriteFile(afc.get(), "/after-session.txt", "still here"), MDERR_OK);
    EXPECT_EQ(AfcReadFile(afc.get(), "/after-session.txt"), "still here");
    EXPECT_EQ(FileText(fs::path(ruvo::phone::MediaRoot(phone.dir)) / "after-session.txt"), "still here");
}

TEST_F(MobileDeviceTest, UnplugEndsOpenServiceConnections) {
    const Phone phone = MakePhone(Plugged());
    AMDeviceRef device = Attach(phone);
    ASSERT_NE(device, nullptr);
    Fd afcSocket, houseArrestSocket;
    ASSERT_EQ(StartService(device, "com.apple.afc", afcSocket), MDERR_OK);
    ASSERT_EQ(StartService(device, "com.apple.mobile.house_arrest", houseArrestSocket), MDERR_OK);

    SetPlugged(phone, false);
    ASSERT_EQ(m_log.Next(phone.id, ADNCI_MSG_DISCONNECTED), device);
    // The house_arrest service was still waiting for its request.
    EXPECT_EQ(ReadUntilClosed(afcSocket.get()), "");
    EXPECT_EQ(ReadUntilClosed(houseArrestSocket.get()), "");
    Fd refused;
    EXPECT_EQ(StartService(device, "com.apple.afc", refused), MDERR_NO_DEVICE);
}

TEST_F(MobileDeviceTest, ConnectionsPerPhoneAreCapped) {
    const Phone phone = MakePhone(Plugged());
    AMDeviceRef device = Attach(phone);
    ASSERT_NE(device, nullptr);
    std::vector<std::unique_ptr<Fd>> open;
    for (int i = 0; i < 64; ++i) {
        open.push_back(std::make_unique<Fd>());
        ASSERT_EQ(StartService(device, "com.apple.afc", *open.back()), MDERR_OK) << "connection " << i;
    }
    Fd refused;
    EXPECT_EQ(StartService(device, "com.apple.mobile.house_arrest", refused), MDERR_BUSY);
    EXPECT_EQ(refused.get(), -1);

    // A connection that ends frees its place once its server has seen it go.
    open.pop_back();
    int result = MDERR_BUSY;
    Fd again;
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while ((result = StartService(device, "com.apple.afc", again)) == MDERR_BUSY &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(result, MDERR_OK);
    AfcConnection afc(again.get());
    ASSERT_EQ(afc.result(), MDERR_OK);
    EXPECT_TRUE(AfcList(afc.get(), "/").contains("iTunes_Control"));
}

// A phone-side folder may be a symbolic link (real phones have them); a client that renames
// things so that such a link stands where a service root was must not be served what the link
// points at. Each case prepares the swap through one connection and then asks for the root
// anew; whatever the new connection is, it must neither show nor change the outside folder.
TEST_F(MobileDeviceTest, RenamingALinkIntoARootsPlaceLeadsNowhere) {
    struct Case {
        const char* desc;
        bool afc2;
    };
    const Case cases[] = {{"afc2 swaps the media folder", true}, {"house_arrest swaps the Documents folder", false}};
    for (const auto& c : cases) {
        PhoneConfig config = Plugged();
        config.offersAfc2 = c.afc2;
        config.userApps = {"com.example.tones"};
        const Phone phone = MakePhone(config);
        AMDeviceRef device = Attach(phone);
        ASSERT_NE(device, nullptr) << c.desc;
        const fs::path outside = fs::path(s_root) / ("outside" + std::to_string(s_counter++));
        fs::create_directories(outside);
        { std::ofstream(outside / "secret") << "not the phone's"; }
        const fs::path container = ruvo::phone::ContainerRoot(phone.dir, "com.example.tones");
        // The link sits where the swapping client can reach it: the phone's folder for afc2,
        // the app's container for house_arrest.
        fs::create_directory_symlink(outside, (c.afc2 ? fs::path(phone.dir) : container) / "escape");

        Fd swapper;
        if (c.afc2) {
            ASSERT_EQ(StartService(device, "com.apple.afc2", swapper), MDERR_OK) << c.desc;
        } else {
            ASSERT_EQ(StartService(device, "com.apple.mobile.house_arrest", swapper), MDERR_OK) << c.desc;
            ASSERT_TRUE(SendAll(swapper.get(), HouseArrestRequest("VendContainer", "com.example.tones")));
            ASSERT_TRUE(ReadReply(swapper.get())) << c.desc;
        }
        {
            AfcConnection afc(swapper.get());
            ASSERT_EQ(afc.result(), MDERR_OK) << c.desc;
            const char* root = c.afc2 ? "/media" : "/Documents";
            ASSERT_EQ(AFCRenamePath(afc.get(), root, "/moved-away"), MDERR_OK) << c.desc;
            ASSERT_EQ(AFCRenamePath(afc.get(), "/escape", root), MDERR_OK) << c.desc;
        }

        Fd victim;
        int started = MDERR_OK;
        if (c.afc2) {
            started = StartService(device, "com.apple.afc", victim);
        } else {
            ASSERT_EQ(StartService(device, "com.apple.mobile.house_arrest", victim), MDERR_OK) << c.desc;
            ASSERT_TRUE(SendAll(victim.get(), HouseArrestRequest("VendDocuments", "com.example.tones")));
            const auto reply = ReadReply(victim.get());
            started = reply && reply->count("Status") ? MDERR_OK : MDERR_SERVICE_NOT_FOUND;
        }
        if (started == MDERR_OK) {
            AfcConnection afc(victim.get());
            ASSERT_EQ(afc.result(), MDERR_OK) << c.desc;
            EXPECT_FALSE(AfcList(afc.get(), "/").contains("secret")) << c.desc;
            EXPECT_FALSE(AfcReadFile(afc.get(), "/secret").has_value()) << c.desc;
            EXPECT_NE(AfcWriteFile(afc.get(), "/planted", "x"), MDERR_OK) << c.desc;
        }
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(outside)) names.insert(entry.path().filename().string());
        EXPECT_EQ(names, std::set<std::string>{"secret"}) << c.desc;
        EXPECT_EQ(FileText(outside / "secret"), "not the phone's") << c.desc;
    }
}

// --- house_arrest ---

class HouseArrestTest : public MobileDeviceTest {
protected:
    static constexpr const char* kApp = "com.example.tones";
    static constexpr const char* kOtherApp = "com.example.empty";
    static constexpr const char* kSystemApp = "com.apple.Preferences";

    void SetUp() override {
        PhoneConfig config = Plugged();
        config.userApps = {kApp, kOtherApp};
        config.systemApps = {kSystemApp};
        m_phone = MakePhone(config);
        m_device = Attach(m_phone);
        ASSERT_NE(m_device, nullptr);
    }

    // A fresh house_arrest connection with the request already sent.
    void Request(Fd& socket, const std::string& framed) {
        ASSERT_EQ(StartService(m_device, "com.apple.mobile.house_arrest", socket), MDERR_OK);
        ASSERT_TRUE(SendAll(socket.get(), framed));
    }

    Phone m_phone;
    AMDeviceRef m_device = nullptr;
};

TEST_F(HouseArrestTest, VendsTheContainerOverAfc) {
    struct Case {
        const char* desc;
        const char* command;
        Encoding encoding;
        const char* path;  // where Documents/<file> is, seen from the vended root
    };
    const Case cases[] = {
        {"VendContainer", "VendContainer", Encoding::Xml, "/Documents/request.txt"},
        {"VendDocuments", "VendDocuments", Encoding::Xml, "/request.txt"},
        {"binary request", "VendContainer", Encoding::Binary, "/Documents/request.txt"},
    };
    const fs::path documents = fs::path(ruvo::phone::ContainerRoot(m_phone.dir, kApp)) / "Documents";
    for (const auto& c : cases) {
        Fd socket;
        Request(socket, HouseArrestRequest(c.command, kApp, c.encoding));
        const auto reply = ReadReply(socket.get());
        ASSERT_TRUE(reply) << c.desc;
        EXPECT_EQ(*reply, (std::map<std::string, std::string>{{"Status", "Complete"}})) << c.desc;

        AfcConnection afc(socket.get());
        ASSERT_EQ(afc.result(), MDERR_OK) << c.desc;
        const std::string content = std::string("written through ") + c.desc;
        ASSERT_EQ(AfcWriteFile(afc.get(), c.path, content), MDERR_OK) << c.desc;
        EXPECT_EQ(FileText(documents / "request.txt"), content) << c.desc;
        EXPECT_EQ(AfcReadFile(afc.get(), c.path), content) << c.desc;
    }
}

TEST_F(HouseArrestTest, RefusalsAreRepliedThenTheConnectionCloses) {
    fs::remove_all(ruvo::phone::ContainerRoot(m_phone.dir, kOtherApp));
    struct Case {
        const char* desc;
        const char* command;
        const char* identifier;
        const char* error;
    };
    const Case cases[] = {
        {"app not installed", "VendContainer", "com.example.missing", "InstallationLookupFailed"},
        {"system app", "VendContainer", kSystemApp, "InstallationLookupFailed"},
        {"container missing", "VendDocuments", kOtherApp, "InstallationLookupFailed"},
        {"identifier leaving containers", "VendContainer", "..", "InstallationLookupFailed"},
        {"no identifier", "VendContainer", nullptr, "InstallationLookupFailed"},
        {"unknown command", "Browse", kApp, "UnknownCommand"},
        {"no command", nullptr, kApp, "UnknownCommand"},
    };
    for (const auto& c : cases) {
        Fd socket;
        Request(socket, HouseArrestRequest(c.command, c.identifier));
        const auto reply = ReadReply(socket.get());
        ASSERT_TRUE(reply) << c.desc;
        EXPECT_EQ(*reply, (std::map<std::string, std::string>{{"Error", c.error}})) << c.desc;
        EXPECT_EQ(ReadUntilClosed(socket.get()), "") << c.desc;
    }
}

TEST_F(HouseArrestTest, MalformedRequestClosesOnlyThatConnection) {
    // An AFC connection of the same phone, open across the bad requests.
    Fd bystander;
    ASSERT_EQ(StartService(m_device, "com.apple.afc", bystander), MDERR_OK);
    AfcConnection afc(bystander.get());
    ASSERT_EQ(afc.result(), MDERR_OK);

    // As deep as the size bound allows: the parser must cope with it.
    std::string nested;
    for (int i = 0; i < 4000; ++i) nested.insert(nested.size() / 2, "<array></array>");
    struct Case {
        const char* desc;
        std::string bytes;
        bool halfClose;  // the client stops sending after the bytes
    };
    const Case cases[] = {
        {"huge length", std::string("\xff\xff\xff\xff", 4), false},
        {"length just past the bound", std::string("\x00\x01\x00\x01", 4) + "<plist>", false},
        {"zero length", std::string(4, '\0'), false},
        {"garbage body", Frame("this is not a property list"), false},
        {"not a dictionary", Frame("<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"), false},
        {"deeply nested", Frame("<?xml version=\"1.0\"?><plist version=\"1.0\">" + nested + "</plist>"), false},
        {"NUL bytes inside an XML string",
         Frame(std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Command</key><string>Vend") +
               std::string(2, '\0') + "Container</string></dict></plist>"),
         false},
        {"body cut short", HouseArrestRequest("VendContainer", kApp).substr(0, 20), true},
        {"length cut short", std::string("\x00\x00", 2), true},
    };
    for (const auto& c : cases) {
        Fd socket;
        Request(socket, c.bytes);
        if (c.halfClose) ::shutdown(socket.get(), SHUT_WR);
        EXPECT_EQ(ReadUntilClosed(socket.get()), "") << c.desc;
    }

    // A binary request whose identifier holds U+0000 names no app (and must not take the phone down).
    {
        Fd socket;
        Request(socket, Frame(FromHex("62706c6973743030d20102030457436f6d6d616e645a4964656e7469666965725d56656e64436f6e"
                                      "7461696e65726f10130063006f006d002e006500780061006d0070006c0065002e0074006f006e00"
                                      "650073000000e9080d15202e000000000000010100000000000000050000000000000000000000"
                                      "0000000057")));
        const auto reply = ReadReply(socket.get());
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply, (std::map<std::string, std::string>{{"Error", "InstallationLookupFailed"}}));
    }
    EXPECT_EQ(AfcList(afc.get(), "/").count("iTunes_Control"), 1u);
    Fd good;
    Request(good, HouseArrestRequest("VendDocuments", kApp));
    const auto reply = ReadReply(good.get());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->count("Status"), 1u);
}

}  // namespace
