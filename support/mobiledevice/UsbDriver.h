// UsbDriver: the device driver for real phones: usbmuxd's attach and detach events, lockdown values, installation_proxy and raw service sockets through libimobiledevice.
#pragma once

#include <usbmuxd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "DeviceDriver.h"

namespace ruvo::md {

// The usbmuxd socket libusbmuxd uses: USBMUXD_SOCKET_ADDRESS ("UNIX:/path") when set, else
// /var/run/usbmuxd.
std::string UsbmuxdSocketPath();

// libusbmuxd never connects to a custom socket that was missing when it subscribed, so a thread
// of the driver looks for the socket every second and subscribes once it is there; when it goes
// away the phones are reported detached and the driver waits again. Only USB phones count.
//
// Trust is never granted here: the driver never pairs. A phone is paired when usbmuxd holds a
// pair record for it and a lockdown session starts with that record's HostID; anything else on
// an attached phone is "needs trust".
class UsbDriver final : public DeviceDriver {
public:
    static constexpr std::chrono::milliseconds kSocketLookPeriod{1000};

    UsbDriver();
    ~UsbDriver() override;

    UsbDriver(const UsbDriver&) = delete;
    UsbDriver& operator=(const UsbDriver&) = delete;

    bool Start(DeviceListener& listener) override;
    void Stop() override;

private:
    static void OnEvent(const usbmuxd_event_t* event, void* self);
    void Run();
    void DetachAll();

    const std::string m_socketPath;
    DeviceListener* m_listener = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;  // guarded by m_mutex
    std::thread m_thread;
    // The phones reported attached, by unique device id; guarded by m_devicesMutex, which the
    // event callback (libusbmuxd's thread) and the driver's thread take.
    std::mutex m_devicesMutex;
    std::map<std::string, std::shared_ptr<DeviceBackend>> m_attached;
};

}  // namespace ruvo::md
