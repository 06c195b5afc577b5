// PhoneServices: starts, counts, shuts down and joins the service connections of a virtual phone.
#include "PhoneServices.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <system_error>
#include <utility>

#include "AfcServer.h"
#include "HouseArrestServer.h"
#include "SyncAgent.h"
#include "VirtualPhone.h"

namespace ruvo::phone {
namespace {

constexpr std::string_view kAfcService = "com.apple.afc";
constexpr std::string_view kAfc2Service = "com.apple.afc2";
constexpr std::string_view kHouseArrestService = "com.apple.mobile.house_arrest";
constexpr std::string_view kSyncService = "com.apple.atc";

}  // namespace

PhoneServices::PhoneServices(std::string phoneDir) : m_phoneDir(std::move(phoneDir)) {}

PhoneServices::~PhoneServices() { Stop(); }

StartedService PhoneServices::Start(std::string_view name) {
    const auto config = LoadPhone(m_phoneDir);
    if (!config) return {-1, StartError::Gone};
    if (!config->trusted) return {-1, StartError::NotPaired};
    if (name != kAfcService && name != kAfc2Service && name != kHouseArrestService && name != kSyncService)
        return {-1, StartError::NotFound};
    if (name == kAfc2Service && !config->offersAfc2) return {-1, StartError::NotFound};

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
        connection.thread = std::thread(&PhoneServices::Serve, this, &connection, server.Get(), std::string(name));
    } catch (const std::system_error&) {
        m_serving.pop_back();
        return {-1, StartError::Socket};
    }
    // From here the serving thread owns the serving end and closes the watch when it ends.
    server.Release();
    watch.Release();
    return {client.Release(), StartError::None};
}

void PhoneServices::Serve(Connection* connection, int serverFd, std::string service) {
    try {
        if (service == kAfcService) {
            afc::ServeAfc(serverFd, OpenPhoneFolder(m_phoneDir, {"media"}));
        } else if (service == kAfc2Service) {
            afc::ServeAfc(serverFd, OpenPhoneFolder(m_phoneDir, {}));
        } else if (service == kSyncService) {
            SyncAgent(serverFd, m_phoneDir).Run();
        } else {
            ServeHouseArrest(serverFd, m_phoneDir);
        }
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
