// UsbDriver: libusbmuxd's events on the driver's watch of the socket, and a backend per phone asking libimobiledevice on each call.
#include "UsbDriver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <libimobiledevice/installation_proxy.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "IdeviceHandles.h"
#include "PlistHolder.h"
#include "PlistInput.h"
#include "UniqueFd.h"

namespace ruvo::md {
namespace {

constexpr char kLabel[] = "ruvo";
constexpr char kDefaultSocket[] = "/var/run/usbmuxd";
// A pair record is a few KiB; anything larger is no record of ours to read.
constexpr uint32_t kMaxPairRecord = 256 * 1024;
// The probe of the service before libusbmuxd is pointed at it.
constexpr auto kProbeBound = std::chrono::seconds(5);
constexpr uint32_t kMaxProbeReply = 1024 * 1024;

bool SocketExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// Reads exactly length bytes within the time left before the deadline.
bool ReadWithin(int fd, char* buffer, size_t length, std::chrono::steady_clock::time_point deadline) {
    while (length > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t got = ::recv(fd, buffer, length, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buffer += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

// Whether the service at the socket answers a device list as usbmuxd does: a well-framed reply
// with the request's tag, holding a "DeviceList" array of dictionaries with an integer "DeviceID"
// and "Properties" holding a "SerialNumber". libusbmuxd takes what the service says without such
// checks (a service answering wrongly can end the process inside it), so it is handed only a
// service that answers properly.
bool AnswersAsUsbmuxd(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd.Valid() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return false;
    PlistHolder request(plist_new_dict());
    plist_dict_set_item(request.get(), "MessageType", plist_new_string("ListDevices"));
    plist_dict_set_item(request.get(), "ClientVersionString", plist_new_string(kLabel));
    plist_dict_set_item(request.get(), "ProgName", plist_new_string(kLabel));
    plist_dict_set_item(request.get(), "kLibUSBMuxVersion", plist_new_uint(3));
    char* xml = nullptr;
    uint32_t xmlLength = 0;
    plist_to_xml(request.get(), &xml, &xmlLength);
    if (!xml) return false;
    std::string message(16, '\0');
    const uint32_t header[4] = {16 + xmlLength, 1, 8, 1};
    for (int i = 0; i < 4; ++i)
        for (int b = 0; b < 4; ++b) message[static_cast<size_t>(4 * i + b)] = static_cast<char>(header[i] >> (8 * b));
    message.append(xml, xmlLength);
    plist_to_xml_free(xml);
    if (::send(fd.Get(), message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size()))
        return false;
    const auto deadline = std::chrono::steady_clock::now() + kProbeBound;
    unsigned char reply[16];
    if (!ReadWithin(fd.Get(), reinterpret_cast<char*>(reply), sizeof reply, deadline)) return false;
    const auto word = [&](int i) {
        return uint32_t{reply[4 * i]} | (uint32_t{reply[4 * i + 1]} << 8) | (uint32_t{reply[4 * i + 2]} << 16) |
               (uint32_t{reply[4 * i + 3]} << 24);
    };
    if (word(0) <= 16 || word(0) - 16 > kMaxProbeReply || word(1) != 1 || word(2) != 8 || word(3) != 1) return false;
    std::string body(word(0) - 16, '\0');
    if (!ReadWithin(fd.Get(), body.data(), body.size(), deadline)) return false;
    PlistHolder answer = phone::ParsePlistInput(body, phone::PlistFormats::XmlOrBinary);
    plist_t list = answer && plist_get_node_type(answer.get()) == PLIST_DICT
                       ? plist_dict_get_item(answer.get(), "DeviceList")
                       : nullptr;
    if (!list || plist_get_node_type(list) != PLIST_ARRAY) return false;
    for (uint32_t i = 0; i < plist_array_get_size(list); ++i) {
        plist_t device = plist_array_get_item(list, i);
        if (!device || plist_get_node_type(device) != PLIST_DICT) return false;
        plist_t id = plist_dict_get_item(device, "DeviceID");
        plist_t properties = plist_dict_get_item(device, "Properties");
        if (!id || plist_get_node_type(id) != PLIST_UINT || !properties ||
            plist_get_node_type(properties) != PLIST_DICT ||
            !PlistString(plist_dict_get_item(properties, "SerialNumber")))
            return false;
    }
    return true;
}

// The HostID of usbmuxd's pair record for the phone; nothing when there is none or it is no record.
std::optional<std::string> PairRecordHostId(const std::string& udid) {
    char* data = nullptr;
    uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.c_str(), &data, &size) != 0 || !data) return std::nullopt;
    std::string bytes;
    if (size <= kMaxPairRecord) bytes.assign(data, size);
    std::free(data);
    if (bytes.empty()) return std::nullopt;
    PlistHolder record = phone::ParsePlistInput(bytes, phone::PlistFormats::XmlOrBinary);
    if (!record || plist_get_node_type(record.get()) != PLIST_DICT) return std::nullopt;
    return PlistString(plist_dict_get_item(record.get(), "HostID"));
}

// One lockdown connection to the phone, with a session when asked for and the record allows.
struct Lockdown {
    IdeviceHolder device;
    LockdowndClientHolder client;
    bool session = false;
};

Lockdown OpenLockdown(const std::string& udid, bool withSession) {
    Lockdown lockdown;
    idevice_t device = nullptr;
    if (idevice_new_with_options(&device, udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS || !device)
        return lockdown;
    lockdown.device.reset(device);
    // The plain client: it never pairs (the handshake variant would, finding no record).
    lockdownd_client_t client = nullptr;
    if (lockdownd_client_new(device, &client, kLabel) != LOCKDOWN_E_SUCCESS || !client) return lockdown;
    lockdown.client.reset(client);
    if (!withSession) return lockdown;
    const auto hostId = PairRecordHostId(udid);
    if (!hostId) return lockdown;
    char* sessionId = nullptr;
    int ssl = 0;
    const lockdownd_error_t started = lockdownd_start_session(client, hostId->c_str(), &sessionId, &ssl);
    std::free(sessionId);
    lockdown.session = started == LOCKDOWN_E_SUCCESS;
    return lockdown;
}

struct ServiceDescriptorFree {
    void operator()(lockdownd_service_descriptor_t service) const { lockdownd_service_descriptor_free(service); }
};
using ServiceHolder = std::unique_ptr<std::remove_pointer_t<lockdownd_service_descriptor_t>, ServiceDescriptorFree>;

// Starts the service in the lockdown's session; null when it did not start or asks for SSL, which
// this driver does not speak (said once on standard error).
ServiceHolder StartPlainService(Lockdown& lockdown, std::string_view name, ServiceError& error) {
    error = ServiceError::NotFound;
    if (!lockdown.session) {
        error = lockdown.client ? ServiceError::NotPaired : ServiceError::Gone;
        return nullptr;
    }
    lockdownd_service_descriptor_t service = nullptr;
    const std::string serviceName(name);
    if (lockdownd_start_service(lockdown.client.get(), serviceName.c_str(), &service) != LOCKDOWN_E_SUCCESS ||
        !service)
        return nullptr;
    ServiceHolder held(service);
    if (service->ssl_enabled) {
        std::fprintf(stderr, "ruvo: the phone's service %s asks for SSL, which is not supported\n",
                     serviceName.c_str());
        return nullptr;
    }
    error = ServiceError::None;
    return held;
}

class UsbDevice final : public DeviceBackend {
public:
    explicit UsbDevice(std::string udid) : m_udid(std::move(udid)) {}

    const std::string& UniqueId() const override { return m_udid; }
    bool IsPresent() const override { return m_present.load(); }
    void Leave() { m_present = false; }

    bool IsPaired() override {
        if (!IsPresent()) return false;
        return OpenLockdown(m_udid, true).session;
    }

    std::optional<std::string> Value(std::string_view key) override {
        if (!IsPresent()) return std::nullopt;
        Lockdown lockdown = OpenLockdown(m_udid, true);
        if (!lockdown.client) return std::nullopt;
        plist_t node = nullptr;
        const std::string name(key);
        if (lockdownd_get_value(lockdown.client.get(), nullptr, name.c_str(), &node) != LOCKDOWN_E_SUCCESS)
            return std::nullopt;
        PlistHolder value(node);
        return PlistString(value.get());
    }

    std::optional<std::vector<AppRecord>> Applications() override {
        if (!IsPresent()) return std::nullopt;
        Lockdown lockdown = OpenLockdown(m_udid, true);
        ServiceError error = ServiceError::None;
        ServiceHolder service = StartPlainService(lockdown, "com.apple.mobile.installation_proxy", error);
        if (!service) return std::nullopt;
        instproxy_client_t client = nullptr;
        if (instproxy_client_new(lockdown.device.get(), service.get(), &client) != INSTPROXY_E_SUCCESS || !client)
            return std::nullopt;
        InstproxyClientHolder proxy(client);
        std::vector<AppRecord> apps;
        for (const auto& [typeName, type] : {std::pair{"User", AppType::User}, std::pair{"System", AppType::System}}) {
            plist_t options = instproxy_client_options_new();
            instproxy_client_options_add(options, "ApplicationType", typeName, nullptr);
            plist_t result = nullptr;
            const instproxy_error_t browsed = instproxy_browse(proxy.get(), options, &result);
            instproxy_client_options_free(options);
            PlistHolder list(result);
            if (browsed != INSTPROXY_E_SUCCESS || !list || plist_get_node_type(list.get()) != PLIST_ARRAY)
                return std::nullopt;
            for (uint32_t i = 0; i < plist_array_get_size(list.get()); ++i) {
                plist_t app = plist_array_get_item(list.get(), i);
                if (!app || plist_get_node_type(app) != PLIST_DICT) continue;
                if (auto id = PlistString(plist_dict_get_item(app, "CFBundleIdentifier")))
                    apps.push_back({std::move(*id), type});
            }
        }
        return apps;
    }

    ServiceStart StartService(std::string_view name) override {
        if (!IsPresent()) return {-1, ServiceError::Gone};
        Lockdown lockdown = OpenLockdown(m_udid, true);
        ServiceError error = ServiceError::None;
        ServiceHolder service = StartPlainService(lockdown, name, error);
        if (!service) return {-1, error};
        idevice_connection_t connection = nullptr;
        if (idevice_connect(lockdown.device.get(), service->port, &connection) != IDEVICE_E_SUCCESS || !connection)
            return {-1, ServiceError::Socket};
        int fd = -1;
        idevice_connection_get_fd(connection, &fd);
        // The caller owns a socket of its own; the connection object and its descriptor go. A
        // pulled cable makes usbmuxd end the stream, so the caller then reads its end.
        const int own = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
        idevice_disconnect(connection);
        if (own < 0) return {-1, ServiceError::Socket};
        // libusbmuxd leaves its sockets non-blocking; the callers read and write as on any other
        // service socket, blocking.
        const int flags = ::fcntl(own, F_GETFL);
        if (flags < 0 || ::fcntl(own, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            ::close(own);
            return {-1, ServiceError::Socket};
        }
        return {own, ServiceError::None};
    }

private:
    const std::string m_udid;
    std::atomic<bool> m_present{true};
};

}  // namespace

std::string UsbmuxdSocketPath() {
    const char* address = std::getenv("USBMUXD_SOCKET_ADDRESS");
    if (address && std::strncmp(address, "UNIX:", 5) == 0 && address[5] != '\0') return address + 5;
    return kDefaultSocket;
}

UsbDriver::UsbDriver() : m_socketPath(UsbmuxdSocketPath()) {}

UsbDriver::~UsbDriver() { Stop(); }

bool UsbDriver::Start(DeviceListener& listener) {
    std::scoped_lock lock(m_mutex);
    if (m_thread.joinable()) return true;
    m_listener = &listener;
    m_stopping = false;
    try {
        m_thread = std::thread(&UsbDriver::Run, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void UsbDriver::Stop() {
    std::thread thread;
    {
        std::scoped_lock lock(m_mutex);
        m_stopping = true;
        thread = std::move(m_thread);
    }
    m_wake.notify_all();
    if (thread.joinable()) thread.join();
}

void UsbDriver::OnEvent(const usbmuxd_event_t* event, void* data) {
    auto* self = static_cast<UsbDriver*>(data);
    if (!event || event->device.conn_type != CONNECTION_TYPE_USB) return;
    const std::string udid(event->device.udid, strnlen(event->device.udid, sizeof event->device.udid));
    if (udid.empty()) return;
    std::scoped_lock lock(self->m_devicesMutex);
    if (event->event == UE_DEVICE_ADD) {
        if (self->m_attached.count(udid)) return;
        auto device = std::make_shared<UsbDevice>(udid);
        self->m_attached[udid] = device;
        self->m_listener->DeviceAttached(device);
    } else if (event->event == UE_DEVICE_REMOVE) {
        const auto found = self->m_attached.find(udid);
        if (found == self->m_attached.end()) return;
        static_cast<UsbDevice*>(found->second.get())->Leave();
        self->m_attached.erase(found);
        self->m_listener->DeviceDetached(udid);
    }
    // A phone that becomes paired keeps its attachment: the user plugs it in again after
    // trusting, as with the virtual phones.
}

void UsbDriver::DetachAll() {
    std::scoped_lock lock(m_devicesMutex);
    for (auto& [udid, device] : m_attached) {
        static_cast<UsbDevice*>(device.get())->Leave();
        m_listener->DeviceDetached(udid);
    }
    m_attached.clear();
}

void UsbDriver::Run() {
    usbmuxd_subscription_context_t subscription = nullptr;
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        const bool there = SocketExists(m_socketPath);
        if (there && !subscription) {
            lock.unlock();
            if (!AnswersAsUsbmuxd(m_socketPath) ||
                usbmuxd_events_subscribe(&subscription, &UsbDriver::OnEvent, this) != 0)
                subscription = nullptr;
            lock.lock();
        } else if (!there && subscription) {
            // The service went away: its phones went with it; wait for it to come back.
            lock.unlock();
            usbmuxd_events_unsubscribe(subscription);
            subscription = nullptr;
            DetachAll();
            lock.lock();
        }
        m_wake.wait_for(lock, kSocketLookPeriod, [this] { return m_stopping; });
    }
    lock.unlock();
    if (subscription) usbmuxd_events_unsubscribe(subscription);
    DetachAll();
}

}  // namespace ruvo::md
