// AMDevice: the device half of the mobile-device library: notifications, connections and sessions, values, applications, services.
//
// Devices come from drivers (DeviceDriver.h); the first AMDeviceNotificationSubscribe starts them.
// A driver's reports are queued and handed to the subscribers by the library's notification
// thread, in the order they were made, so a handler may take its time, call back into the
// library or unsubscribe without holding up (or dead-locking) a driver.
//
// Identity: each unique device id gets one AMDeviceRef for the life of the process; a device that
// returns gets the same reference back, and a reference to a device that left stays safe to use
// (calls answer MDERR_NO_DEVICE).
//
// Connections and sessions: the callers open and close them around each piece of work, and
// several threads do so on the same device at the same moment, with no handle of their own to
// tell them apart. So the state is kept per device as two counters: AMDeviceConnect and
// AMDeviceStartSession each add one, AMDeviceDisconnect and AMDeviceStopSession each take one
// away, and a call that needs a connection or a session needs the counter above zero. A thread
// that follows connect - session - work - stop - disconnect therefore always finds its own
// contribution in place, whatever the other threads do. Detaching the device clears both
// counters: its sessions died with it. Trust is asked of the device at every check.
#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CFHolder.h"
#include "DeviceDriver.h"
#include "MobileDevice.h"
#include "NoThrowCBorder.h"
#include "UsbDriver.h"
#include "VirtualDriver.h"

using ruvo::CallNoThrow;
using ruvo::cf::CFHolder;
using ruvo::md::AppType;
using ruvo::md::DeviceBackend;
using ruvo::md::ServiceError;

struct am_device {
    explicit am_device(std::string id) : uniqueId(std::move(id)) {}

    const std::string uniqueId;

    std::mutex mutex;
    std::shared_ptr<DeviceBackend> backend;  // guarded by mutex; the current attachment, null while away
    unsigned connections = 0;                // guarded by mutex
    unsigned sessions = 0;                   // guarded by mutex
};

struct am_device_notification {
    am_device_notification(am_device_notification_callback cb, void* userArg) : callback(cb), arg(userArg) {}

    const am_device_notification_callback callback;
    void* const arg;
    // Whether the handler may still be called, and whether it runs right now, so that
    // unsubscribing from another thread can wait for a delivery in progress to finish.
    std::mutex stateMutex;
    std::condition_variable idle;
    bool active = true;       // guarded by stateMutex
    bool delivering = false;  // guarded by stateMutex
    // Guarded by the registry's mutex: the notices of devices already present were delivered,
    // so later events are this subscriber's too.
    bool live = false;
};

namespace ruvo::md {
namespace {

// How long the end of the process waits for the notification thread.
constexpr auto kExitWait = std::chrono::seconds(2);
constexpr auto kIdleWake = std::chrono::seconds(1);

// Set on the notification thread while it runs a handler.
thread_local bool t_inHandler = false;

class DeviceRegistry final : public DeviceListener {
public:
    // Never destroyed: device references stay valid for the life of the process.
    static DeviceRegistry& Instance() {
        static DeviceRegistry* registry = new DeviceRegistry;
        return *registry;
    }

    // Whether the reference is one this library handed out (and so safe to look into).
    bool Knows(AMDeviceRef device) {
        std::scoped_lock lock(m_mutex);
        return std::any_of(m_devices.begin(), m_devices.end(),
                           [&](const auto& entry) { return entry.second.get() == device; });
    }

    // The reference of the device with that unique id while it is attached, else null.
    AMDeviceRef FindAttached(const std::string& uniqueId) {
        std::scoped_lock lock(m_mutex);
        const auto it = m_devices.find(uniqueId);
        if (it == m_devices.end()) return nullptr;
        am_device* device = it->second.get();
        std::scoped_lock deviceLock(device->mutex);
        return device->backend ? device : nullptr;
    }

    int Subscribe(am_device_notification_callback callback, void* arg, AMDeviceNotificationRef* notification) {
        auto subscription = std::make_shared<am_device_notification>(callback, arg);
        {
            std::scoped_lock lock(m_mutex);
            if (const int error = StartLocked()) return error;
            m_subscriptions.push_back(subscription);
            // Stored before the first delivery can start, so a handler may compare it.
            *notification = subscription.get();
            // Announces the devices already present to the newcomer, in turn with other events.
            m_events.push_back({Event::Replay, nullptr, subscription});
        }
        m_wake.notify_all();
        return MDERR_OK;
    }

    int Unsubscribe(AMDeviceNotificationRef notification) {
        std::shared_ptr<am_device_notification> subscription;
        {
            std::scoped_lock lock(m_mutex);
            const auto it = std::find_if(m_subscriptions.begin(), m_subscriptions.end(),
                                         [&](const auto& s) { return s.get() == notification; });
            if (it == m_subscriptions.end()) return MDERR_INVALID_ARGUMENT;
            subscription = *it;
            m_subscriptions.erase(it);
        }
        std::unique_lock lock(subscription->stateMutex);
        subscription->active = false;
        // From inside a handler the notification thread is ours already (it may be running this
        // very subscription's handler); elsewhere, wait for a delivery in progress to end, however
        // long it takes: once this returns the caller may free the handler's argument.
        if (!t_inHandler) subscription->idle.wait(lock, [&] { return !subscription->delivering; });
        return MDERR_OK;
    }

    void DeviceAttached(std::shared_ptr<DeviceBackend> backend) override { Attached(nullptr, std::move(backend)); }
    void DeviceDetached(const std::string& uniqueId) override { Detached(nullptr, uniqueId); }

    // A device attached through one driver belongs to it until that driver detaches it: another
    // driver reporting the same unique id meanwhile (a virtual phone also served over usbmux) is
    // ignored.
    void Attached(const DeviceDriver* driver, std::shared_ptr<DeviceBackend> backend) {
        {
            std::scoped_lock lock(m_mutex);
            const auto owner = m_owners.find(backend->UniqueId());
            if (owner != m_owners.end() && owner->second != driver) return;
            m_owners[backend->UniqueId()] = driver;
            am_device* device = DeviceForLocked(backend->UniqueId());
            {
                std::scoped_lock deviceLock(device->mutex);
                const bool wasAttached = device->backend != nullptr;
                device->backend = std::move(backend);
                if (wasAttached) return;  // a repeated report: the device just gets the newer backend
                device->connections = 0;
                device->sessions = 0;
            }
            m_events.push_back({Event::Attach, device, nullptr});
        }
        m_wake.notify_all();
    }

    void Detached(const DeviceDriver* driver, const std::string& uniqueId) {
        {
            std::scoped_lock lock(m_mutex);
            const auto owner = m_owners.find(uniqueId);
            if (owner == m_owners.end() || owner->second != driver) return;
            m_owners.erase(owner);
            const auto it = m_devices.find(uniqueId);
            if (it == m_devices.end()) return;
            am_device* device = it->second.get();
            {
                std::scoped_lock deviceLock(device->mutex);
                if (!device->backend) return;
                device->backend.reset();
                device->connections = 0;
                device->sessions = 0;
            }
            m_events.push_back({Event::Detach, device, nullptr});
        }
        m_wake.notify_all();
    }

private:
    struct Event {
        enum Kind { Attach, Detach, Replay } kind;
        am_device* device;                                   // Attach, Detach
        std::shared_ptr<am_device_notification> subscriber;  // Replay
    };

    // Stops the drivers and the notification thread when the process ends, before the objects
    // they use are destroyed.
    struct ExitStop {
        ~ExitStop() { DeviceRegistry::Instance().Shutdown(); }
    };

    DeviceRegistry() = default;

    // Starts the notification thread and the drivers on first use. Called with m_mutex held.
    int StartLocked() {
        if (!m_dispatcher.joinable() && !m_dispatcherGone) {
            try {
                m_dispatcher = std::thread([this] { Dispatch(); });
            } catch (const std::system_error&) {
                return MDERR_NO_MEMORY;
            }
        }
        if (m_drivers.empty()) {
            // RUVO_DEVICE_DRIVER: "virtual" (the hub's virtual phones), "usb" (phones through
            // usbmuxd), anything else both.
            const char* chosen = std::getenv("RUVO_DEVICE_DRIVER");
            const std::string mode = chosen ? chosen : "";
            if (mode != "usb") m_drivers.push_back(std::make_unique<VirtualDriver>());
            if (mode != "virtual") m_drivers.push_back(std::make_unique<UsbDriver>());
            for (const auto& driver : m_drivers) {
                m_reports.push_back(std::make_unique<DriverReports>(*this, driver.get()));
                if (!driver->Start(*m_reports.back())) return MDERR_NO_MEMORY;
            }
            static ExitStop exitStop;
        }
        return MDERR_OK;
    }

    void Shutdown() {
        std::vector<DeviceDriver*> drivers;
        {
            std::scoped_lock lock(m_mutex);
            for (const auto& driver : m_drivers) drivers.push_back(driver.get());
        }
        // Without m_mutex: a driver's thread may be waiting for it inside a report.
        for (DeviceDriver* driver : drivers) driver->Stop();

        std::unique_lock lock(m_mutex);
        m_stopping = true;
        m_dispatcherGone = true;
        std::thread dispatcher = std::move(m_dispatcher);
        m_wake.notify_all();
        if (!dispatcher.joinable()) return;
        // The process may end from inside a handler; a handler that never returns must not hold
        // the end up either.
        if (dispatcher.get_id() == std::this_thread::get_id() ||
            !m_wake.wait_for(lock, kExitWait, [this] { return m_dispatcherDone; })) {
            dispatcher.detach();
            return;
        }
        lock.unlock();
        dispatcher.join();
    }

    am_device* DeviceForLocked(const std::string& uniqueId) {
        auto& slot = m_devices[uniqueId];
        if (!slot) slot = std::make_unique<am_device>(uniqueId);
        return slot.get();
    }

    void Dispatch() {
        for (;;) {
            std::vector<std::shared_ptr<am_device_notification>> targets;
            std::vector<am_device*> devices;
            unsigned int message = ADNCI_MSG_CONNECTED;
            {
                std::unique_lock lock(m_mutex);
                while (!m_stopping && m_events.empty()) m_wake.wait_for(lock, kIdleWake);
                if (m_stopping) {
                    m_dispatcherDone = true;
                    m_wake.notify_all();
                    return;
                }
                Event event = std::move(m_events.front());
                m_events.pop_front();
                switch (event.kind) {
                case Event::Attach:
                    m_present.push_back(event.device);
                    devices.push_back(event.device);
                    break;
                case Event::Detach:
                    std::erase(m_present, event.device);
                    devices.push_back(event.device);
                    message = ADNCI_MSG_DISCONNECTED;
                    break;
                case Event::Replay:
                    event.subscriber->live = true;
                    targets.push_back(std::move(event.subscriber));
                    devices = m_present;
                    break;
                }
                if (event.kind != Event::Replay) {
                    for (const auto& s : m_subscriptions)
                        if (s->live) targets.push_back(s);
                }
            }
            for (const auto& target : targets)
                for (am_device* device : devices) Deliver(*target, device, message);
        }
    }

    static void Deliver(am_device_notification& target, am_device* device, unsigned int message) {
        {
            std::scoped_lock lock(target.stateMutex);
            if (!target.active) return;
            target.delivering = true;
        }
        am_device_notification_callback_info info{device, message, &target};
        t_inHandler = true;
        try {
            target.callback(&info, target.arg);
        } catch (...) {
            // A handler's failure is its own; the other subscribers still hear of the device.
        }
        t_inHandler = false;
        {
            std::scoped_lock lock(target.stateMutex);
            target.delivering = false;
        }
        target.idle.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<std::string, std::unique_ptr<am_device>> m_devices;           // guarded; never shrinks
    std::vector<std::shared_ptr<am_device_notification>> m_subscriptions;  // guarded
    std::deque<Event> m_events;                                            // guarded
    // Devices announced as attached, in the order they came; guarded, changed by the notification thread only.
    std::vector<am_device*> m_present;
    // Each driver's reports, marked with the driver, so a device has one owner at a time.
    class DriverReports final : public DeviceListener {
    public:
        DriverReports(DeviceRegistry& registry, const DeviceDriver* driver) : m_registry(registry), m_driver(driver) {}
        void DeviceAttached(std::shared_ptr<DeviceBackend> backend) override {
            m_registry.Attached(m_driver, std::move(backend));
        }
        void DeviceDetached(const std::string& uniqueId) override { m_registry.Detached(m_driver, uniqueId); }

    private:
        DeviceRegistry& m_registry;
        const DeviceDriver* m_driver;
    };

    std::vector<std::unique_ptr<DeviceDriver>> m_drivers;   // guarded
    std::vector<std::unique_ptr<DriverReports>> m_reports;  // guarded; one per driver
    std::map<std::string, const DeviceDriver*> m_owners;    // guarded: the driver each attached device came from
    std::thread m_dispatcher;                              // guarded
    bool m_stopping = false;                               // guarded
    bool m_dispatcherDone = false;                         // guarded
    bool m_dispatcherGone = false;                         // guarded: stopped for good at process end
};

// What a call needs of the device before it may go ahead.
enum class Needs { Attached, Connection, Session };

// A reference is looked up among those handed out rather than read through, so a stray pointer
// is refused without being touched.
bool IsDevice(AMDeviceRef device) { return device && DeviceRegistry::Instance().Knows(device); }

// The device's current backend when the device is in the state the call needs; otherwise the
// error code to return.
int Acquire(AMDeviceRef device, Needs needs, std::shared_ptr<DeviceBackend>& backend) {
    if (!IsDevice(device)) return MDERR_INVALID_ARGUMENT;
    std::scoped_lock lock(device->mutex);
    if (!device->backend) return MDERR_NO_DEVICE;
    if (needs != Needs::Attached && device->connections == 0) return MDERR_NOT_CONNECTED;
    if (needs == Needs::Session && device->sessions == 0) return MDERR_NO_SESSION;
    backend = device->backend;
    return MDERR_OK;
}

int ToResult(ServiceError error) {
    switch (error) {
    case ServiceError::None: return MDERR_OK;
    case ServiceError::NotFound: return MDERR_SERVICE_NOT_FOUND;
    case ServiceError::NotPaired: return MDERR_NOT_PAIRED;
    case ServiceError::Gone: return MDERR_NO_DEVICE;
    case ServiceError::Busy: return MDERR_BUSY;
    case ServiceError::Socket: return MDERR_SOCKET;
    }
    return MDERR_SOCKET;
}

std::optional<std::string> Utf8(CFTypeRef value) {
    if (!value || CFGetTypeID(value) != CFStringGetTypeID()) return std::nullopt;
    const auto string = static_cast<CFStringRef>(value);
    std::vector<char> buffer(static_cast<size_t>(CFStringGetLength(string)) * 3 + 1);
    if (!CFStringGetCString(string, buffer.data(), static_cast<CFIndex>(buffer.size()), kCFStringEncodingUTF8))
        return std::nullopt;
    return std::string(buffer.data());
}

CFStringRef NewString(const std::string& text) {
    return CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8);
}

CFMutableDictionaryRef NewDictionary() {
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
}

// The application type asked for: nothing means every type; false when the options are unusable.
bool ReadTypeFilter(CFDictionaryRef options, std::optional<AppType>& filter) {
    filter.reset();
    if (!options) return true;
    if (CFGetTypeID(options) != CFDictionaryGetTypeID()) return false;
    const void* value = CFDictionaryGetValue(options, CFSTR("ApplicationType"));
    if (!value) return true;
    const auto type = Utf8(value);
    if (type == "System")
        filter = AppType::System;
    else if (type == "User")
        filter = AppType::User;
    else if (type != "Any")
        return false;
    return true;
}

// {bundle id: {"CFBundleIdentifier": id, "ApplicationType": type}} for the apps of that type.
CFDictionaryRef NewApplicationDictionary(const std::vector<AppRecord>& apps, std::optional<AppType> filter) {
    CFHolder result(NewDictionary());
    if (!result) return nullptr;
    auto* dictionary = static_cast<CFMutableDictionaryRef>(const_cast<void*>(result.get()));
    for (const auto& app : apps) {
        if (filter && app.type != *filter) continue;
        CFHolder identifier(NewString(app.bundleId));
        CFHolder entry(NewDictionary());
        if (!identifier || !entry) return nullptr;
        auto* fields = static_cast<CFMutableDictionaryRef>(const_cast<void*>(entry.get()));
        CFDictionarySetValue(fields, CFSTR("CFBundleIdentifier"), identifier.get());
        CFDictionarySetValue(fields, CFSTR("ApplicationType"),
                             app.type == AppType::System ? CFSTR("System") : CFSTR("User"));
        CFDictionarySetValue(dictionary, identifier.get(), entry.get());
    }
    return static_cast<CFDictionaryRef>(result.release());
}

}  // namespace
}  // namespace ruvo::md

using namespace ruvo::md;

extern "C" {

MD_EXPORT int AMDeviceNotificationSubscribe(am_device_notification_callback callback, unsigned int, unsigned int,
                                            void* arg, AMDeviceNotificationRef* notification) {
    if (!callback || !notification) return MDERR_INVALID_ARGUMENT;
    return CallNoThrow<int>(MDERR_NO_MEMORY,
                            [&]() -> int { return DeviceRegistry::Instance().Subscribe(callback, arg, notification); });
}

MD_EXPORT int AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef notification) {
    if (!notification) return MDERR_INVALID_ARGUMENT;
    return CallNoThrow<int>(MDERR_NO_MEMORY,
                            [&]() -> int { return DeviceRegistry::Instance().Unsubscribe(notification); });
}

MD_EXPORT int AMDeviceConnect(AMDeviceRef device) {
    if (!IsDevice(device)) return MDERR_INVALID_ARGUMENT;
    return CallNoThrow<int>(MDERR_NO_MEMORY, [&]() -> int {
        std::scoped_lock lock(device->mutex);
        if (!device->backend) return MDERR_NO_DEVICE;
        ++device->connections;
        return MDERR_OK;
    });
}

MD_EXPORT int AMDeviceDisconnect(AMDeviceRef device) {
    if (!IsDevice(device)) return MDERR_INVALID_ARGUMENT;
    return CallNoThrow<int>(MDERR_NO_MEMORY, [&]() -> int {
        std::scoped_lock lock(device->mutex);
        if (device->connections == 0) return MDERR_NOT_CONNECTED;
        --device->connections;
        // A session cannot outlast every connection.
        device->sessions = std::min(device->sessions, device->connections);
        return MDERR_OK;
    });
}

MD_EXPORT int AMDeviceIsPaired(AMDeviceRef device) {
    return CallNoThrow<int>(0, [&]() -> int {
        std::shared_ptr<DeviceBackend> backend;
        if (Acquire(device, Needs::Attached, backend) != MDERR_OK) return 0;
        return backend->IsPaired() ? 1 : 0;
    });
}

MD_EXPORT int AMDeviceValidatePairing(AMDeviceRef device) {
    return CallNoThrow<int>(MDERR_NO_MEMORY, [&]() -> int {
        std::shared_ptr<DeviceBackend> backend;
        if (const int error = Acquire(device, Needs::Connection, backend)) return error;
        return backend->IsPaired() ? MDERR_OK : MDERR_NOT_PAIRED;
    });
}

MD_EXPORT int AMDeviceStartSession(AMDeviceRef device) {
    return CallNoThrow<int>(MDERR_NO_MEMORY, [&]() -> int {
        std::shared_ptr<DeviceBackend> backend;
        if (const int error = Acquire(device, Needs::Connection, backend)) return error;
        // Asked without the device's lock: the answer comes from the device.
        if (!backend->IsPaired()) return MDERR_NOT_PAIRED;
        std::scoped_lock lock(device->mutex);
        // The device may have left (and come back) while it was asked.
        if (device->backend != backend) return MDERR_NO_DEVICE;
        if (device->connections == 0) return MDERR_NOT_CONNECTED;
        ++device->sessions;
        return MDERR_OK;
    });
}

MD_EXPORT int AMDeviceStopSession(AMDeviceRef device) {
    if (!IsDevice(device)) return MDERR_INVALID_ARGUMENT;
    return CallNoThrow<int>(MDERR_NO_MEMORY, [&]() -> int {
        std::scoped_lock lock(device->mutex);
        if (device->sessions == 0) return MDERR_NO_SESSION;
        --device->sessions;
        return MDERR_OK;
    });
}

MD_EXPORT int AMDeviceStartService(AMDeviceRef device, CFStringRef serviceName, int* socket, void*) {
    if (!socket) return MDERR_INVALID_ARGUMENT;
    return CallNoThrow<int>(MDERR_NO_MEMORY, [&]() -> int {
        std::shared_ptr<DeviceBackend> backend;
        if (const int error = Acquire(device, Needs::Session, backend)) return error;
        const auto name = Utf8(serviceName);
        if (!name) return MDERR_INVALID_ARGUMENT;
        const ServiceStart started = backend->StartService(*name);
        if (started.error != ServiceError::None) return ToResult(started.error);
        *socket = started.fd;
        return MDERR_OK;
    });
}

MD_EXPORT CFTypeRef AMDeviceCopyValue(AMDeviceRef device, CFStringRef domain, CFStringRef key) {
    return CallNoThrow<CFTypeRef>(nullptr, [&]() -> CFTypeRef {
        // Only the global domain is kept.
        if (domain) return nullptr;
        std::shared_ptr<DeviceBackend> backend;
        if (Acquire(device, Needs::Session, backend) != MDERR_OK) return nullptr;
        const auto name = Utf8(key);
        if (!name) return nullptr;
        const auto value = backend->Value(*name);
        return value ? NewString(*value) : nullptr;
    });
}

MD_EXPORT CFStringRef AMDeviceCopyDeviceIdentifier(AMDeviceRef device) {
    if (!IsDevice(device)) return nullptr;
    return CallNoThrow<CFStringRef>(nullptr, [&] { return NewString(device->uniqueId); });
}

MD_EXPORT AMDeviceRef AMDeviceLookupByIdentifier(CFStringRef identifier) {
    return CallNoThrow<AMDeviceRef>(nullptr, [&]() -> AMDeviceRef {
        const auto uniqueId = Utf8(identifier);
        return uniqueId ? DeviceRegistry::Instance().FindAttached(*uniqueId) : nullptr;
    });
}

MD_EXPORT int AMDeviceLookupApplications(AMDeviceRef device, CFDictionaryRef options, CFDictionaryRef* result) {
    if (!result) return MDERR_INVALID_ARGUMENT;
    *result = nullptr;
    return CallNoThrow<int>(MDERR_NO_MEMORY, [&]() -> int {
        std::shared_ptr<DeviceBackend> backend;
        if (const int error = Acquire(device, Needs::Session, backend)) return error;
        std::optional<AppType> filter;
        if (!ReadTypeFilter(options, filter)) return MDERR_INVALID_ARGUMENT;
        const auto apps = backend->Applications();
        if (!apps) return MDERR_NO_DEVICE;
        *result = NewApplicationDictionary(*apps, filter);
        return *result ? MDERR_OK : MDERR_NO_MEMORY;
    });
}

}  // extern "C"
