// UsbmuxServer: the hub's virtual phones served over the usbmux protocol on a Unix socket, as usbmuxd serves USB phones.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "PhoneServices.h"
#include "UniqueFd.h"

namespace ruvo::phone {

// Every phone listed in the hub is served while it is plugged: ListDevices, Listen (Attached,
// Detached and Paired as the hub changes, looked at every kHubPollMs), Connect (lockdown on
// port 62078, and the ports lockdown opens for services, one connection each), ReadBUID,
// ReadPairRecord (a trusted phone's record), SavePairRecord and DeletePairRecord (accepted, no
// change: trust changes with `ruvo-phone trust`). Messages are framed by a 16-byte little-endian
// header (length, version 1, type 8 = plist, tag) and carry XML property lists; replies repeat
// the tag. Every length is checked before anything is allocated; a malformed or oversized
// message ends only its own connection. Unplugging a phone ends every stream of it.
class UsbmuxServer {
public:
    static constexpr int kHubPollMs = 250;
    static constexpr uint32_t kMaxMessage = 1024 * 1024;
    static constexpr uint16_t kLockdownPort = 62078;

    enum class OpenResult { Ok, InUse, TooLong, Failed };

    UsbmuxServer();
    ~UsbmuxServer();
    UsbmuxServer(const UsbmuxServer&) = delete;
    UsbmuxServer& operator=(const UsbmuxServer&) = delete;

    // Binds a socket under a temporary name beside path, listens, and renames it to path, so the
    // path exists only once connections are accepted. A live server already answering at path:
    // InUse; a stale socket file there is replaced; a path too long for a Unix socket: TooLong.
    OpenResult Open(const std::string& path, std::string* error);
    // Serves until stop becomes true; then closes every connection and removes the socket.
    void Run(const std::atomic<bool>& stop);

private:
    struct Device {
        uint32_t id = 0;
        std::string udid;
        std::string dir;
        bool trusted = false;
        std::unique_ptr<PhoneServices> services;
    };
    struct Client {
        UniqueFd fd;
        int watchFd = -1;       // a duplicate for shutdown(), owned here
        std::string streamOf;   // the udid whose raw stream this connection became, else empty
        bool listening = false; // gets Attached/Detached/Paired
        std::mutex writeLock;   // one message at a time on the socket
        bool finished = false;
        std::thread thread;
    };
    struct PortEntry {
        std::string udid;
        std::string service;
    };

    void RefreshHub();
    void ServeClient(Client* client);
    bool Answer(Client* client, uint32_t tag, void* request);
    bool Reply(Client* client, uint32_t tag, void* message);
    bool ReplyResult(Client* client, uint32_t tag, uint64_t number);
    void Notify(void* message, bool onlyListeners);
    void* AttachedMessage(const Device& device) const;
    void ServeLockdownStream(Client* client, const std::string& udid);
    void ServeServiceStream(Client* client, uint32_t tag, const std::string& udid, const std::string& service);
    uint16_t OpenServicePort(const std::string& udid, const std::string& service);
    void EndStreamsOf(const std::string& udid);
    void ReapLocked();
    void LoadIdentity();

    std::string m_path;
    UniqueFd m_listen;
    std::string m_buid;
    std::string m_hostId;

    std::mutex m_mutex;  // guards everything below
    std::map<std::string, Device> m_devices;  // plugged phones by udid
    std::list<Client> m_clients;
    std::map<uint16_t, PortEntry> m_ports;
    uint32_t m_nextDeviceId = 1;
    uint16_t m_nextPort = 49152;
    bool m_stopping = false;
};

}  // namespace ruvo::phone
