// PhoneServices: the device services of one attached virtual phone, each connection served on a thread of its own.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace ruvo::phone {

// Why a service did not start.
enum class StartError {
    None,
    NotFound,   // the phone does not offer the service
    NotPaired,  // the phone does not trust this computer
    Gone,       // the phone left (unplugged, removed, services stopped)
    Busy,       // the phone serves as many connections as it may
    Socket,     // no socket or thread could be made
};

struct StartedService {
    int fd = -1;  // the caller's end of a connected stream socket, when error is None
    StartError error = StartError::None;
};

// Starts "com.apple.afc" (the media area), "com.apple.afc2" (the whole phone folder, when the
// phone offers it), "com.apple.mobile.house_arrest", "com.apple.atc" (the sync agent) and
// "com.apple.mobile.installation_proxy" for the phone in a folder. Each connection is a socket pair whose serving end runs on a thread of its
// own; at most kMaxConnections are served at once, and one more is refused at once (a closed
// connection frees its place). Unplug shuts every connection down as a pulled cable would and
// refuses new ones; Stop does the same and then waits until every serving thread has ended, so
// nothing is served after it returns. AFC connections have no idle time limit: a client may keep
// one open as long as the phone stays attached. A sync session bounds each of its waits for the
// host (SyncAgent).
class PhoneServices {
public:
    static constexpr size_t kMaxConnections = 64;
    // Serves one connection of a service on its serving end (which it closes) for the phone in
    // phoneDir; the services and what serves each are one table in PhoneServices.cpp.
    using ServeFunction = void (*)(int serverFd, const std::string& phoneDir);

    explicit PhoneServices(std::string phoneDir);
    ~PhoneServices();

    PhoneServices(const PhoneServices&) = delete;
    PhoneServices& operator=(const PhoneServices&) = delete;

    StartedService Start(std::string_view name);
    void Unplug();
    void Stop();
    // Connections being served right now.
    size_t ActiveConnections();

private:
    struct Connection {
        int watchFd = -1;  // a duplicate of the serving end, for shutdown(); closed when it ends
        bool finished = false;
        std::thread thread;
    };

    // Joins the threads of connections that have ended. Called with m_mutex held; they no longer
    // take it, so the joins return at once.
    void ReapLocked();
    void Serve(Connection* connection, int serverFd, ServeFunction serve);

    const std::string m_phoneDir;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_unplugged = false;         // guarded by m_mutex
    std::list<Connection> m_serving;  // guarded by m_mutex; stable addresses for the threads
};

}  // namespace ruvo::phone
