// VirtualDriver: the device driver for virtual phones, which watches the phone hub and reports phones plugged in or out.
#include "VirtualDriver.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <functional>
#include <set>
#include <system_error>
#include <utility>

#include "AfcServer.h"
#include "HouseArrestServer.h"
#include "VirtualPhone.h"

namespace ruvo::md {
namespace {

constexpr std::string_view kAfcService = "com.apple.afc";
constexpr std::string_view kAfc2Service = "com.apple.afc2";
constexpr std::string_view kHouseArrestService = "com.apple.mobile.house_arrest";

// The service connections of one attachment of a phone, so that unplugging it can end them.
// Each connection is registered by a duplicate of its serving end: shutdown() through the
// duplicate ends the shared socket, and the duplicate stays open (its number cannot be reused
// by an unrelated file) until the serving thread has finished and removed it.
class ServiceTracker {
public:
    // False once the phone was unplugged: no new connection may start.
    bool Add(int watchFd) {
        std::scoped_lock lock(m_mutex);
        if (m_closed) return false;
        m_fds.insert(watchFd);
        return true;
    }

    void Remove(int watchFd) {
        std::scoped_lock lock(m_mutex);
        m_fds.erase(watchFd);
    }

    void ShutdownAll() {
        std::scoped_lock lock(m_mutex);
        m_closed = true;
        for (int fd : m_fds) ::shutdown(fd, SHUT_RDWR);
    }

private:
    std::mutex m_mutex;
    bool m_closed = false;  // guarded by m_mutex
    std::set<int> m_fds;    // guarded by m_mutex
};

}  // namespace

// One attachment of a virtual phone. Everything but presence is read from the phone's
// directory on each call, so `ruvo-phone trust` or an edited device.plist shows at once.
class VirtualDevice final : public DeviceBackend {
public:
    VirtualDevice(std::string uniqueId, std::string dir)
        : m_uniqueId(std::move(uniqueId)), m_dir(std::move(dir)), m_services(std::make_shared<ServiceTracker>()) {}

    const std::string& UniqueId() const override { return m_uniqueId; }
    const std::string& Directory() const { return m_dir; }
    bool IsPresent() const override { return m_present.load(); }

    bool IsPaired() override {
        const auto config = LoadIfPresent();
        return config && config->trusted;
    }

    std::optional<std::string> Value(std::string_view key) override {
        const auto config = LoadIfPresent();
        if (!config) return std::nullopt;
        if (key == "DeviceName") return config->deviceName;
        if (key == "ProductType") return config->productType;
        if (key == "ProductVersion") return config->productVersion;
        if (key == "BasebandVersion") return config->basebandVersion;
        if (key == "UniqueDeviceID") return config->uniqueDeviceId;
        if (key == "ProductName") return std::string("iPhone OS");
        if (key == "CPUArchitecture") return std::string("arm64");
        if (key == "DeviceClass") {
            // "iPhone12,1" -> "iPhone", "iPad8,1" -> "iPad".
            std::string deviceClass;
            for (char c : config->productType) {
                if (!std::isalpha(static_cast<unsigned char>(c))) break;
                deviceClass += c;
            }
            return deviceClass.empty() ? std::string("iPhone") : deviceClass;
        }
        return std::nullopt;
    }

    std::optional<std::vector<AppRecord>> Applications() override {
        const auto config = LoadIfPresent();
        if (!config) return std::nullopt;
        std::vector<AppRecord> apps;
        for (const auto& id : config->systemApps) apps.push_back({id, AppType::System});
        for (const auto& id : config->userApps) apps.push_back({id, AppType::User});
        return apps;
    }

    ServiceStart StartService(std::string_view name) override {
        const auto config = LoadIfPresent();
        if (!config) return {-1, ServiceError::Gone};
        if (!config->trusted) return {-1, ServiceError::NotPaired};

        std::function<void(int)> serve;
        if (name == kAfcService) {
            serve = [root = phone::MediaRoot(m_dir)](int fd) { afc::ServeAfc(fd, root); };
        } else if (name == kAfc2Service) {
            if (!config->offersAfc2) return {-1, ServiceError::NotFound};
            serve = [root = m_dir](int fd) { afc::ServeAfc(fd, root); };
        } else if (name == kHouseArrestService) {
            serve = [dir = m_dir](int fd) { ServeHouseArrest(fd, dir); };
        } else {
            return {-1, ServiceError::NotFound};
        }
        return Launch(std::move(serve));
    }

    // The cable was pulled: calls fail from now on and open service connections end.
    void Unplug() {
        m_present.store(false);
        m_services->ShutdownAll();
    }

private:
    std::optional<phone::PhoneConfig> LoadIfPresent() const {
        if (!IsPresent()) return std::nullopt;
        return phone::LoadPhone(m_dir);
    }

    // Connects a new socket pair: one end for the caller, the other served on a thread of its own
    // that outlives any session and ends with the connection.
    ServiceStart Launch(std::function<void(int)> serve) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return {-1, ServiceError::Socket};
        const int client = ends[0];
        const int server = ends[1];
        const int watch = ::fcntl(server, F_DUPFD_CLOEXEC, 0);
        if (watch < 0) {
            ::close(client);
            ::close(server);
            return {-1, ServiceError::Socket};
        }
        if (!m_services->Add(watch)) {
            ::close(watch);
            ::close(client);
            ::close(server);
            return {-1, ServiceError::Gone};
        }
        try {
            std::thread([tracker = m_services, watch, server, serve = std::move(serve)] {
                try {
                    serve(server);  // takes the serving end over and closes it
                } catch (...) {
                    // A failing server only ends its own connection.
                }
                tracker->Remove(watch);
                ::close(watch);
            }).detach();
        } catch (const std::system_error&) {
            m_services->Remove(watch);
            ::close(watch);
            ::close(client);
            ::close(server);
            return {-1, ServiceError::Socket};
        }
        return {client, ServiceError::None};
    }

    const std::string m_uniqueId;
    const std::string m_dir;
    std::atomic<bool> m_present{true};
    // Shared with the serving threads, which may outlive this attachment.
    const std::shared_ptr<ServiceTracker> m_services;
};

VirtualDriver::VirtualDriver(std::chrono::milliseconds period) : m_period(period) {}

VirtualDriver::~VirtualDriver() { Stop(); }

bool VirtualDriver::Start(DeviceListener& listener) {
    std::scoped_lock lock(m_mutex);
    if (m_thread.joinable()) return true;
    m_stopping = false;
    try {
        m_thread = std::thread([this, &listener] { Run(listener); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void VirtualDriver::Stop() {
    std::thread thread;
    {
        std::scoped_lock lock(m_mutex);
        m_stopping = true;
        thread = std::move(m_thread);
    }
    m_wake.notify_all();
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();  // stopped from inside a report: the loop ends after it returns
    } else {
        thread.join();
    }
}

void VirtualDriver::Run(DeviceListener& listener) {
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        lock.unlock();
        try {
            PollOnce(listener);
        } catch (...) {
            // The hub or a phone could not be read this round (or memory ran out): try again next round.
        }
        lock.lock();
        m_wake.wait_for(lock, m_period, [this] { return m_stopping; });
    }
}

void VirtualDriver::PollOnce(DeviceListener& listener) {
    // Phones plugged in now, by unique device id. Should two directories claim the same id, the
    // first listed keeps it.
    std::map<std::string, std::string> plugged;
    for (const auto& dir : phone::RegisteredPhones()) {
        const auto config = phone::LoadPhone(dir);
        if (config && config->plugged && !config->uniqueDeviceId.empty()) plugged.emplace(config->uniqueDeviceId, dir);
    }

    for (auto it = m_attached.begin(); it != m_attached.end();) {
        const auto now = plugged.find(it->first);
        if (now != plugged.end() && now->second == it->second->Directory()) {
            ++it;
            continue;
        }
        // Shut the connections down before the report, so that whoever handles the detach finds them ended.
        it->second->Unplug();
        const std::string uniqueId = it->first;
        it = m_attached.erase(it);
        listener.DeviceDetached(uniqueId);
    }

    for (const auto& [uniqueId, dir] : plugged) {
        if (m_attached.contains(uniqueId)) continue;
        auto device = std::make_shared<VirtualDevice>(uniqueId, dir);
        m_attached.emplace(uniqueId, device);
        listener.DeviceAttached(std::move(device));
    }
}

}  // namespace ruvo::md
