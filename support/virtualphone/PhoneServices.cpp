// PhoneServices: starts, counts, shuts down and joins the service connections of a virtual phone.
#include "PhoneServices.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <system_error>
#include <utility>

#include "AfcServer.h"
#include "HouseArrestServer.h"
#include "InstallationProxyServer.h"
#include "SyncAgent.h"
#include "VirtualPhone.h"

namespace ruvo::phone {
namespace {

// What serves a connection of each service (with ServeHouseArrest): AFC over the media area or
// over the whole phone folder, and the sync agent.
void ServeMediaArea(int serverFd, const std::string& phoneDir) {
    afc::ServeAfc(serverFd, OpenPhoneFolder(phoneDir, {"media"}));
}
void ServeWholePhone(int serverFd, const std::string& phoneDir) {
    afc::ServeAfc(serverFd, OpenPhoneFolder(phoneDir, {}));
}
void ServeSyncAgent(int serverFd, const std::string& phoneDir) { SyncAgent(serverFd, phoneDir).Run(); }

// One service the phone offers: its name, whether the phone offers it only when it offers afc2
// (the whole phone folder), and what serves each of its connections.
struct ServiceEntry {
    std::string_view name;
    bool needsAfc2;
    PhoneServices::ServeFunction serve;
};

// The phone's services; a new phone-side service is one more line here.
constexpr ServiceEntry kServices[] = {
    {"com.apple.afc", false, ServeMediaArea},
    {"com.apple.afc2", true, ServeWholePhone},
    {"com.apple.mobile.house_arrest", false, ServeHouseArrest},
    {"com.apple.atc", false, ServeSyncAgent},
    {"com.apple.mobile.installation_proxy", false, ServeInstallationProxy},
};

const ServiceEntry* FindService(std::string_view name) {
    for (const ServiceEntry& entry : kServices)
        if (entry.name == name) return &entry;
    return nullptr;
}

}  // namespace

PhoneServices::PhoneServices(std::string phoneDir) : m_phoneDir(std::move(phoneDir)) {}

PhoneServices::~PhoneServices() { Stop(); }

StartedService PhoneServices::Start(std::string_view name) {
    const auto config = LoadPhone(m_phoneDir);
    if (!config) return {-1, StartError::Gone};
    if (!config->trusted) return {-1, StartError::NotPaired};
    const ServiceEntry* service = FindService(name);
    if (!service || (service->needsAfc2 && !config->offersAfc2)) return {-1, StartError::NotFound};

    std::scoped_lock lock(m_mutex);
    if (m_unplugged) return {-1, StartError::Gone};
    ReapLocked();
    if (m_serving.size() >= kMaxConnections) return {-1, StartError::Busy};

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return {-1, StartError::Socket};
    UniqueFd client(ends[0]);
    UniqueFd server(ends[1]);
    UniqueFd watch(::fcntl(server.Get(), F_DUPFD_CLOEXEC, 0));
    if (!watch.Valid()) return {-1, StartError::Socket};

    Connection& connection = m_serving.emplace_back();
    connection.watchFd = watch.Get();
    try {
        connection.thread = std::thread(&PhoneServices::Serve, this, &connection, server.Get(), service->serve);
    } catch (const std::system_error&) {
        m_serving.pop_back();
        return {-1, StartError::Socket};
    }
    // From here the serving thread owns the serving end and closes the watch when it ends.
    server.Release();
    watch.Release();
    return {client.Release(), StartError::None};
}

void PhoneServices::Serve(Connection* connection, int serverFd, ServeFunction serve) {
    try {
        serve(serverFd, m_phoneDir);
    } catch (...) {
        // A failing server only ends its own connection (the servers close their descriptor).
    }
    std::scoped_lock lock(m_mutex);
    ::close(connection->watchFd);
    connection->watchFd = -1;
    connection->finished = true;
    m_changed.notify_all();
}

void PhoneServices::ReapLocked() {
    for (auto it = m_serving.begin(); it != m_serving.end();) {
        if (!it->finished) {
            ++it;
            continue;
        }
        if (it->thread.joinable()) it->thread.join();
        it = m_serving.erase(it);
    }
}

void PhoneServices::Unplug() {
    std::scoped_lock lock(m_mutex);
    m_unplugged = true;
    // Through the duplicate: the serving end itself may be closed and its number reused at any
    // moment, the duplicate stays open until its thread has ended.
    for (const Connection& connection : m_serving)
        if (connection.watchFd >= 0) ::shutdown(connection.watchFd, SHUT_RDWR);
}

void PhoneServices::Stop() {
    Unplug();
    std::unique_lock lock(m_mutex);
    for (Connection& connection : m_serving) {
        // A service that stops its own phone cannot wait for itself.
        if (connection.thread.get_id() == std::this_thread::get_id()) connection.thread.detach();
    }
    m_changed.wait(lock, [this] {
        for (const Connection& connection : m_serving)
            if (!connection.finished && connection.thread.joinable()) return false;
        return true;
    });
    ReapLocked();
}

size_t PhoneServices::ActiveConnections() {
    std::scoped_lock lock(m_mutex);
    ReapLocked();
    return m_serving.size();
}

}  // namespace ruvo::phone
