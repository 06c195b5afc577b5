// UsbmuxServer: the socket, the hub watch, and each client connection on a thread of its own: usbmux messages, then a raw stream to lockdown or a service.
#include "UsbmuxServer.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "LockdownServer.h"
#include "PlistInput.h"
#include "PlistStream.h"
#include "ReplaceFile.h"
#include "VirtualPhone.h"

namespace ruvo::phone {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kHeaderBytes = 16;
constexpr uint32_t kVersion = 1;
constexpr uint32_t kPlistMessage = 8;
// A message that has begun must arrive whole within this long.
constexpr int kMessageTimeoutMs = 30000;
// A listener that does not take its notices within this long loses them (and its connection).
constexpr int kSendTimeoutSeconds = 5;
// Ports opened by lockdown and not yet connected to; the oldest go beyond this many.
constexpr size_t kMaxOpenPorts = 1024;
constexpr char kIdentityFile[] = ".usbmux-identity";

uint32_t LittleEndian(const unsigned char* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
void PutLittleEndian(unsigned char* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::string NewUuid() {
    std::random_device random;
    char text[37];
    const unsigned a = random(), b = random(), c = random(), d = random();
    std::snprintf(text, sizeof text, "%08X-%04X-4%03X-%04X-%04X%08X", a, b & 0xFFFF, (b >> 16) & 0x0FFF,
                  0x8000 | (c & 0x3FFF), (c >> 16) & 0xFFFF, d);
    return text;
}

sockaddr_un SocketAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// Whether a server answers at the path now.
bool Answers(const std::string& path) {
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe.Valid()) return false;
    const sockaddr_un address = SocketAddress(path);
    return ::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Copies bytes both ways between the two streams until either ends.
void Relay(int a, int b) {
    std::vector<char> buffer(64 * 1024);
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    for (;;) {
        fds[0].revents = fds[1].revents = 0;
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) continue;
            const ssize_t got = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (got <= 0) return;
            if (!WriteAll(fds[1 - i].fd, buffer.data(), static_cast<size_t>(got))) return;
        }
    }
}

std::optional<PhoneConfig> RegisteredPhoneById(const std::string& udid, std::string* dir) {
    for (const std::string& phoneDir : RegisteredPhones()) {
        auto config = LoadPhone(phoneDir);
        if (config && config->uniqueDeviceId == udid) {
            if (dir) *dir = phoneDir;
            return config;
        }
    }
    return std::nullopt;
}

}  // namespace

UsbmuxServer::UsbmuxServer() = default;

UsbmuxServer::~UsbmuxServer() {
    std::atomic<bool> stop{true};
    if (m_listen.Valid()) Run(stop);
}

void UsbmuxServer::LoadIdentity() {
    const std::string hub = HubDirectory();
    const std::string path = hub + "/" + kIdentityFile;
    std::ifstream in(path);
    std::getline(in, m_buid);
    std::getline(in, m_hostId);
    if (m_buid.size() == 36 && m_hostId.size() == 36) return;
    m_buid = NewUuid();
    m_hostId = NewUuid();
    std::error_code ec;
    fs::create_directories(hub, ec);
    // Kept in the hub, so every start of the stand-in on this hub hands out the same identity.
    ReplaceFileAt(AT_FDCWD, path, m_buid + "\n" + m_hostId + "\n", 0600);
}

UsbmuxServer::OpenResult UsbmuxServer::Open(const std::string& path, std::string* error) {
    const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
    if (path.empty() || temporary.size() >= sizeof(sockaddr_un{}.sun_path)) {
        if (error) *error = "the socket path is too long for a Unix socket: " + path;
        return OpenResult::TooLong;
    }
    if (Answers(path)) {
        if (error) *error = "a server already answers at " + path;
        return OpenResult::InUse;
    }
    UniqueFd listen(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = SocketAddress(temporary);
    ::unlink(temporary.c_str());
    if (!listen.Valid() || ::bind(listen.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen.Get(), 64) != 0 || ::chmod(temporary.c_str(), 0666) != 0 ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        if (error) *error = "cannot serve at " + path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return OpenResult::Failed;
    }
    m_path = path;
    m_listen = std::move(listen);
    LoadIdentity();
    return OpenResult::Ok;
}

void UsbmuxServer::Run(const std::atomic<bool>& stop) {
    while (!stop.load() && m_listen.Valid()) {
        RefreshHub();
        pollfd p{m_listen.Get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, kHubPollMs);
        if (ready <= 0) continue;
        UniqueFd accepted(::accept4(m_listen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!accepted.Valid()) continue;
        const timeval sendLimit{kSendTimeoutSeconds, 0};
        ::setsockopt(accepted.Get(), SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
        std::scoped_lock lock(m_mutex);
        ReapLocked();
        Client& client = m_clients.emplace_back();
        client.watchFd = ::fcntl(accepted.Get(), F_DUPFD_CLOEXEC, 0);
        client.fd = std::move(accepted);
        try {
            client.thread = std::thread(&UsbmuxServer::ServeClient, this, &client);
        } catch (...) {
            if (client.watchFd >= 0) ::close(client.watchFd);
            m_clients.pop_back();
        }
    }

    // The end: no new connection, every stream shut down as a pulled cable would, then the
    // threads joined and the phones' services stopped.
    if (m_listen.Valid()) {
        m_listen.Reset();
        ::unlink(m_path.c_str());
    }
    std::list<Client> clients;
    std::map<std::string, Device> devices;
    {
        std::scoped_lock lock(m_mutex);
        m_stopping = true;
        for (Client& client : m_clients)
            if (client.watchFd >= 0) ::shutdown(client.watchFd, SHUT_RDWR);
        devices.swap(m_devices);
    }
    for (auto& [udid, device] : devices) device.services->Stop();
    for (;;) {
        std::unique_lock lock(m_mutex);
        if (m_clients.empty()) break;
        Client& client = m_clients.front();
        std::thread thread = std::move(client.thread);
        lock.unlock();
        if (thread.joinable()) thread.join();
        lock.lock();
        if (client.watchFd >= 0) ::close(client.watchFd);
        m_clients.pop_front();
    }
}

void UsbmuxServer::ReapLocked() {
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        if (!it->finished) {
            ++it;
            continue;
        }
        if (it->thread.joinable()) it->thread.join();
        if (it->watchFd >= 0) ::close(it->watchFd);
        it = m_clients.erase(it);
    }
}

void* UsbmuxServer::AttachedMessage(const Device& device) const {
    plist_t message = plist_new_dict();
    plist_dict_set_item(message, "MessageType", plist_new_string("Attached"));
    plist_dict_set_item(message, "DeviceID", plist_new_uint(device.id));
    plist_t properties = plist_new_dict();
    plist_dict_set_item(properties, "ConnectionType", plist_new_string("USB"));
    plist_dict_set_item(properties, "DeviceID", plist_new_uint(device.id));
    plist_dict_set_item(properties, "SerialNumber", plist_new_string(device.udid.c_str()));
    plist_dict_set_item(properties, "ProductID", plist_new_uint(0x12A8));
    plist_dict_set_item(properties, "LocationID", plist_new_uint(0x14100000 + device.id));
    plist_dict_set_item(properties, "ConnectionSpeed", plist_new_uint(480000000));
    plist_dict_set_item(message, "Properties", properties);
    return message;
}

void UsbmuxServer::RefreshHub() {
    std::map<std::string, std::pair<std::string, bool>> plugged;  // udid -> folder, trusted
    for (const std::string& dir : RegisteredPhones()) {
        const auto config = LoadPhone(dir);
        if (config && config->plugged) plugged[config->uniqueDeviceId] = {dir, config->trusted};
    }
    std::vector<std::unique_ptr<PhoneServices>> gone;
    {
        std::scoped_lock lock(m_mutex);
        if (m_stopping) return;
        for (auto it = m_devices.begin(); it != m_devices.end();) {
            const auto now = plugged.find(it->first);
            if (now != plugged.end() && now->second.first == it->second.dir) {
                ++it;
                continue;
            }
            PlistHolder detached(plist_new_dict());
            plist_dict_set_item(detached.get(), "MessageType", plist_new_string("Detached"));
            plist_dict_set_item(detached.get(), "DeviceID", plist_new_uint(it->second.id));
            Notify(detached.get(), true);
            EndStreamsOf(it->first);
            it->second.services->Unplug();
            gone.push_back(std::move(it->second.services));
            it = m_devices.erase(it);
        }
        for (const auto& [udid, state] : plugged) {
            auto found = m_devices.find(udid);
            if (found == m_devices.end()) {
                Device device;
                device.id = m_nextDeviceId++;
                device.udid = udid;
                device.dir = state.first;
                device.trusted = state.second;
                device.services = std::make_unique<PhoneServices>(state.first);
                PlistHolder attached(AttachedMessage(device));
                Notify(attached.get(), true);
                m_devices.emplace(udid, std::move(device));
            } else if (state.second != found->second.trusted) {
                found->second.trusted = state.second;
                if (state.second) {
                    PlistHolder paired(plist_new_dict());
                    plist_dict_set_item(paired.get(), "MessageType", plist_new_string("Paired"));
                    plist_dict_set_item(paired.get(), "DeviceID", plist_new_uint(found->second.id));
                    Notify(paired.get(), true);
                }
            }
        }
    }
    // Outside the lock: stopping joins the service threads.
    for (auto& services : gone) services->Stop();
}

void UsbmuxServer::Notify(void* message, bool onlyListeners) {
    for (Client& client : m_clients) {
        if (onlyListeners && !client.listening) continue;
        if (!Reply(&client, 0, message)) {
            // A listener that cannot take its notices loses its connection.
            client.listening = false;
            if (client.watchFd >= 0) ::shutdown(client.watchFd, SHUT_RDWR);
        }
    }
}

bool UsbmuxServer::Reply(Client* client, uint32_t tag, void* message) {
    const std::string xml = ToXml(message);
    if (xml.empty()) return false;
    unsigned char header[kHeaderBytes];
    PutLittleEndian(header, static_cast<uint32_t>(kHeaderBytes + xml.size()));
    PutLittleEndian(header + 4, kVersion);
    PutLittleEndian(header + 8, kPlistMessage);
    PutLittleEndian(header + 12, tag);
    std::scoped_lock lock(client->writeLock);
    if (!client->fd.Valid()) return false;
    return WriteAll(client->fd.Get(), reinterpret_cast<const char*>(header), sizeof header) &&
           WriteAll(client->fd.Get(), xml.data(), xml.size());
}

bool UsbmuxServer::ReplyResult(Client* client, uint32_t tag, uint64_t number) {
    PlistHolder result(plist_new_dict());
    plist_dict_set_item(result.get(), "MessageType", plist_new_string("Result"));
    plist_dict_set_item(result.get(), "Number", plist_new_uint(number));
    return Reply(client, tag, result.get());
}

void UsbmuxServer::ServeClient(Client* client) {
    try {
        const int fd = client->fd.Get();
        for (;;) {
            unsigned char header[kHeaderBytes];
            // Between messages a client may wait as long as it likes; a message that has begun
            // arrives within its bound.
            if (!ReadExact(fd, reinterpret_cast<char*>(header), 1, -1)) break;
            if (!ReadExact(fd, reinterpret_cast<char*>(header) + 1, kHeaderBytes - 1, kMessageTimeoutMs)) break;
            const uint32_t length = LittleEndian(header);
            const uint32_t version = LittleEndian(header + 4);
            const uint32_t type = LittleEndian(header + 8);
            const uint32_t tag = LittleEndian(header + 12);
            if (length < kHeaderBytes || length - kHeaderBytes > kMaxMessage || length == kHeaderBytes) break;
            if (version != kVersion || type != kPlistMessage) break;
            std::string body(length - kHeaderBytes, '\0');
            if (!ReadExact(fd, body.data(), body.size(), kMessageTimeoutMs)) break;
            PlistHolder request = ParsePlistInput(body, PlistFormats::XmlOrBinary);
            if (!request || plist_get_node_type(request.get()) != PLIST_DICT) break;
            if (!Answer(client, tag, request.get())) break;
        }
    } catch (...) {
        // Out of memory or no thread: only this connection ends.
    }
    std::scoped_lock lock(m_mutex);
    client->listening = false;
    {
        std::scoped_lock write(client->writeLock);
        // The duplicate kept for shutdown() would keep the connection open: the peer sees the end now.
        ::shutdown(client->fd.Get(), SHUT_RDWR);
        client->fd.Reset();
    }
    client->finished = true;
}

bool UsbmuxServer::Answer(Client* client, uint32_t tag, void* request) {
    const auto type = StringMember(request, "MessageType");
    if (type == "ListDevices") {
        PlistHolder reply(plist_new_dict());
        plist_t list = plist_new_array();
        {
            std::scoped_lock lock(m_mutex);
            for (const auto& [udid, device] : m_devices) plist_array_append_item(list, AttachedMessage(device));
        }
        plist_dict_set_item(reply.get(), "DeviceList", list);
        return Reply(client, tag, reply.get());
    }
    if (type == "Listen") {
        if (!ReplyResult(client, tag, 0)) return false;
        std::scoped_lock lock(m_mutex);
        client->listening = true;
        // Every phone plugged at this moment, at once; later changes follow from RefreshHub.
        for (const auto& [udid, device] : m_devices) {
            PlistHolder attached(AttachedMessage(device));
            if (!Reply(client, 0, attached.get())) return false;
        }
        return true;
    }
    if (type == "Connect") {
        const auto deviceId = IntegerMember(request, "DeviceID");
        const auto portNumber = IntegerMember(request, "PortNumber");
        std::string udid;
        std::string service;
        {
            std::scoped_lock lock(m_mutex);
            for (const auto& [id, device] : m_devices)
                if (deviceId && device.id == *deviceId) udid = id;
            if (udid.empty()) return ReplyResult(client, tag, 2);
            // The port travels in network byte order inside the integer.
            const uint16_t raw = static_cast<uint16_t>(portNumber.value_or(0));
            const uint16_t port = static_cast<uint16_t>((raw >> 8) | (raw << 8));
            if (port != kLockdownPort) {
                const auto entry = m_ports.find(port);
                if (entry == m_ports.end() || entry->second.udid != udid) return ReplyResult(client, tag, 3);
                service = entry->second.service;
                m_ports.erase(entry);
            }
        }
        if (service.empty()) {
            if (!ReplyResult(client, tag, 0)) return false;
            ServeLockdownStream(client, udid);
        } else {
            ServeServiceStream(client, tag, udid, service);
        }
        return false;
    }
    if (type == "ReadBUID") {
        PlistHolder reply(plist_new_dict());
        plist_dict_set_item(reply.get(), "BUID", plist_new_string(m_buid.c_str()));
        return Reply(client, tag, reply.get());
    }
    if (type == "ReadPairRecord") {
        const auto udid = StringMember(request, "PairRecordID");
        const auto config = udid ? RegisteredPhoneById(*udid, nullptr) : std::nullopt;
        if (!config || !config->trusted) return ReplyResult(client, tag, 2);
        PlistHolder record(plist_new_dict());
        plist_dict_set_item(record.get(), "HostID", plist_new_string(m_hostId.c_str()));
        plist_dict_set_item(record.get(), "SystemBUID", plist_new_string(m_buid.c_str()));
        const std::string xml = ToXml(record.get());
        PlistHolder reply(plist_new_dict());
        plist_dict_set_item(reply.get(), "PairRecordData", plist_new_data(xml.data(), xml.size()));
        return Reply(client, tag, reply.get());
    }
    if (type == "SavePairRecord" || type == "DeletePairRecord") return ReplyResult(client, tag, 0);
    return ReplyResult(client, tag, 1);
}

void UsbmuxServer::ServeLockdownStream(Client* client, const std::string& udid) {
    LockdownPhone phone;
    {
        std::scoped_lock lock(m_mutex);
        const auto device = m_devices.find(udid);
        if (device == m_devices.end()) return;
        phone.dir = device->second.dir;
        client->streamOf = udid;
    }
    phone.hostId = m_hostId;
    phone.systemBuid = m_buid;
    phone.openServicePort = [this, udid](const std::string& service) { return OpenServicePort(udid, service); };
    ServeLockdown(client->fd.Get(), phone);
}

void UsbmuxServer::ServeServiceStream(Client* client, uint32_t tag, const std::string& udid,
                                      const std::string& service) {
    StartedService started;
    {
        std::scoped_lock lock(m_mutex);
        const auto device = m_devices.find(udid);
        if (device == m_devices.end()) {
            started.error = StartError::Gone;
        } else {
            started = device->second.services->Start(service);
            client->streamOf = udid;
        }
    }
    UniqueFd serviceFd(started.fd);
    if (started.error != StartError::None) {
        ReplyResult(client, tag, 3);
        return;
    }
    if (!ReplyResult(client, tag, 0)) return;
    Relay(client->fd.Get(), serviceFd.Get());
}

uint16_t UsbmuxServer::OpenServicePort(const std::string& udid, const std::string& service) {
    std::scoped_lock lock(m_mutex);
    if (m_devices.find(udid) == m_devices.end()) return 0;
    if (m_ports.size() >= kMaxOpenPorts) m_ports.erase(m_ports.begin());
    for (int tries = 0; tries < 16384; ++tries) {
        const uint16_t port = m_nextPort;
        m_nextPort = m_nextPort == 65535 ? 49152 : static_cast<uint16_t>(m_nextPort + 1);
        if (port == kLockdownPort || m_ports.count(port)) continue;
        m_ports[port] = {udid, service};
        return port;
    }
    return 0;
}

void UsbmuxServer::EndStreamsOf(const std::string& udid) {
    for (Client& client : m_clients)
        if (client.streamOf == udid && client.watchFd >= 0) ::shutdown(client.watchFd, SHUT_RDWR);
    for (auto it = m_ports.begin(); it != m_ports.end();) it = it->second.udid == udid ? m_ports.erase(it) : ++it;
}

}  // namespace ruvo::phone
