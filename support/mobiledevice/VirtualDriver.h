// VirtualDriver: the device driver for virtual phones, which watches the phone hub and reports phones plugged in or out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DeviceDriver.h"

namespace ruvo::md {

class VirtualDevice;

// A thread of the driver reads the hub (RUVO_PHONE_HUB or the user's default) every period: a
// phone whose "plugged" became true is attached, one that was unplugged, left the hub or can no
// longer be read is detached, and the service connections it had open are shut down as a pulled
// cable would. Each phone's unique device id is its identity. Stop ends the phones' service
// connections and waits for their serving threads.
class VirtualDriver final : public DeviceDriver {
public:
    static constexpr std::chrono::milliseconds kDefaultPeriod{200};

    explicit VirtualDriver(std::chrono::milliseconds period = kDefaultPeriod);
    ~VirtualDriver() override;

    VirtualDriver(const VirtualDriver&) = delete;
    VirtualDriver& operator=(const VirtualDriver&) = delete;

    bool Start(DeviceListener& listener) override;
    void Stop() override;

private:
    void Run(DeviceListener& listener);
    void PollOnce(DeviceListener& listener);

    const std::chrono::milliseconds m_period;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;  // guarded by m_mutex
    std::thread m_thread;
    // The phones reported attached, by unique device id, and unplugged ones whose connections
    // are still ending; used by the driver's thread only (and by Stop once it has ended).
    std::map<std::string, std::shared_ptr<VirtualDevice>> m_attached;
    std::vector<std::shared_ptr<VirtualDevice>> m_retired;
};

}  // namespace ruvo::md
