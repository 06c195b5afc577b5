// DeviceManager: start-up, the notification hook, and which link a device that comes or goes belongs to.
#include "DeviceManager.h"

#include <string>

#include "AppleApi.h"
#include "CServiceHelper.h"
#include "TextEncoding.h"

using namespace apple;

namespace {

// The process-wide state of the device layer: the manager, the current-link slot and the hook
// the library calls. Made once, kept for the life of the process.
std::atomic<DeviceManager*> g_manager{nullptr};
std::atomic<DeviceLink*> g_currentLink{nullptr};
std::once_flag g_startOnce;

struct DeviceNotificationHook {
    void (*handler)(int kind, am_device_notification_callback_info* info, void* userData) = nullptr;
    void* userData = nullptr;
    AMDeviceNotificationRef handle = nullptr;
};
DeviceNotificationHook g_hook;

// The function handed to the library: message 1 is an arrival, anything else a removal.
void NotificationEntry(am_device_notification_callback_info* info, void*) {
    if (!g_hook.handler || !info) return;
    g_hook.handler(info->msg == 1 ? 0 : 1, info, g_hook.userData);
}

std::u16string DeviceCountText(int count) {
    std::u16string text = kTextDeviceCount;
    const std::string number = std::to_string(count);
    const size_t at = text.find(u"%d");
    if (at != std::u16string::npos) text.replace(at, 2, std::u16string(number.begin(), number.end()));
    return text;
}

}  // namespace

DeviceManager::DeviceManager(DeviceEventCallback callback, void* userData, std::atomic<DeviceLink*>* currentSlot)
    : m_callback(callback), m_userData(userData), m_currentSlot(currentSlot), m_statusText(kTextWaiting) {}

void DeviceManager::Start() {
    {
        CServiceHelper helper;
        if (!helper.IsServiceRunning(m_serviceName)) {
            helper.StartServiceAndWait(m_serviceName);
            std::scoped_lock lock(m_statusMutex);
            m_statusText = kTextServiceStarted;
        }
    }
    Notify(DEVICE_EVENT_STATUS);

    if (IsItunesInstalled() && LoadAppleLibraries()) {
        g_hook.handler = &DeviceManager::HandleNotification;
        g_hook.userData = this;
        g_hook.handle = nullptr;
        if (AppleApi.AMDeviceNotificationSubscribe)
            AppleApi.AMDeviceNotificationSubscribe(&NotificationEntry, 0, 0, nullptr, &g_hook.handle);
        return;
    }
    {
        std::scoped_lock lock(m_statusMutex);
        m_statusText = kTextNoSupport;
    }
    Notify(DEVICE_EVENT_NO_SUPPORT);
}

void DeviceManager::HandleNotification(int kind, am_device_notification_callback_info* info, void* userData) {
    auto* manager = static_cast<DeviceManager*>(userData);
    if (kind == 0) {
        manager->OnDeviceAttached(info->dev);
        manager->Announce(DEVICE_EVENT_CONNECTED);
    } else {
        manager->OnDeviceDetached(info->dev);
        manager->Announce(DEVICE_EVENT_DISCONNECTED);
    }
}

void DeviceManager::Announce(int eventType) {
    const std::u16string text = DeviceCountText(CountReadyLinks());
    {
        std::scoped_lock lock(m_statusMutex);
        m_statusText = text;
    }
    Notify(eventType);
}

void DeviceManager::Notify(int eventType) {
    if (!m_callback) return;
    std::string text;
    {
        std::scoped_lock lock(m_statusMutex);
        text = TextToAnsi(m_statusText);
    }
    m_callback(eventType, text.c_str(), static_cast<int>(text.size()), m_userData, -1);
}

void DeviceManager::OnDeviceAttached(AMDeviceRef device) {
    DeviceLink* link = nullptr;
    DeviceLink* created = nullptr;
    {
        std::scoped_lock lock(m_linksMutex);
        for (const auto& candidate : m_links) {
            if (!candidate->IsReady()) {
                link = candidate.get();
                break;
            }
        }
        if (!link) {
            m_links.push_back(std::make_unique<DeviceLink>(m_nextIndex++, m_callback, m_userData));
            link = created = m_links.back().get();
        }
        DeviceLink* none = nullptr;
        m_currentSlot->compare_exchange_strong(none, m_links.front().get());
    }
    if (created) {
        created->Reset();
        created->Notify(DEVICE_EVENT_STATUS);
    }
    link->SetDevice(device);
}

void DeviceManager::OnDeviceDetached(AMDeviceRef device) {
    DeviceLink* holder = nullptr;
    {
        std::scoped_lock lock(m_linksMutex);
        for (const auto& link : m_links) {
            if (link->Device() == device) {
                holder = link.get();
                break;
            }
        }
    }
    if (holder) holder->SetDevice(nullptr);
}

int DeviceManager::CountReadyLinks() {
    std::scoped_lock lock(m_linksMutex);
    int ready = 0;
    for (const auto& link : m_links) ready += link->IsReady() ? 1 : 0;
    return ready;
}

DeviceLink* DeviceManager::LinkAt(int index) {
    std::scoped_lock lock(m_linksMutex);
    if (index < 0 || static_cast<size_t>(index) >= m_links.size()) return nullptr;
    return m_links[static_cast<size_t>(index)].get();
}

void StartDeviceManager(DeviceEventCallback callback, void* userData) {
    std::call_once(g_startOnce, [&] {
        auto* manager = new DeviceManager(callback, userData, &g_currentLink);
        g_manager.store(manager);
        manager->Start();
    });
}

DeviceLink* GetDeviceLink(int index) {
    DeviceManager* manager = g_manager.load();
    if (index == -1 || !manager) return g_currentLink.load();
    return manager->LinkAt(index);
}
