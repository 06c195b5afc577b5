// VirtualDriver: the device driver for virtual phones, which watches the phone hub and reports phones plugged in or out.
#include "VirtualDriver.h"

#include <system_error>
#include <utility>

#include "VirtualDevice.h"
#include "VirtualPhone.h"

namespace ruvo::md {

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
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            // Stopped from inside a report: the loop ends after it returns and ends the
            // phones' services on its way out.
            thread.detach();
            return;
        }
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
    lock.unlock();
    // Nothing is served once the driver stops. The phones count as gone: a later start reports
    // them afresh.
    for (auto& [uniqueId, device] : m_attached) device->StopServices();
    for (auto& device : m_retired) device->StopServices();
    m_attached.clear();
    m_retired.clear();
}

void VirtualDriver::PollOnce(DeviceListener& listener) {
    // Unplugged phones whose last connection has ended need no further care.
    std::erase_if(m_retired, [](const auto& device) { return !device->ServesConnections(); });

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
        m_retired.push_back(std::move(it->second));
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
