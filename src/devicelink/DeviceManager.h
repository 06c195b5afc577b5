// DeviceManager: the single owner of everything about attached devices: the service check, the libraries, the subscription and the links.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "AppleTypes.h"
#include "DeviceEvents.h"
#include "DeviceLink.h"

// Created once by StartDeviceManager and never destroyed; links are appended and never removed,
// so a returning device usually gets its old slot back and the current link (the first one
// ever made) stays valid for the life of the process. Device events arrive on the library's
// notification thread; every change is reported through the owner's callback.
class DeviceManager {
public:
    DeviceManager(DeviceEventCallback callback, void* userData, std::atomic<DeviceLink*>* currentSlot);

    // The rest of the start: the device service, the libraries and the subscription.
    void Start();

    void OnDeviceAttached(apple::AMDeviceRef device);
    void OnDeviceDetached(apple::AMDeviceRef device);
    int CountReadyLinks();
    void Notify(int eventType);

    // The link at that position of the list, null past its end.
    DeviceLink* LinkAt(int index);
    // The handler of the notification hook: kind 0 attached, 1 detached.
    static void HandleNotification(int kind, apple::am_device_notification_callback_info* info, void* userData);

private:
    void Announce(int eventType);

    const std::u16string m_serviceName = u"Apple Mobile Device";
    const DeviceEventCallback m_callback;
    void* const m_userData;
    std::atomic<DeviceLink*>* const m_currentSlot;

    std::mutex m_linksMutex;                          // guards m_links and m_nextIndex
    std::deque<std::unique_ptr<DeviceLink>> m_links;  // never shrinks
    int m_nextIndex = 0;
    std::mutex m_statusMutex;
    std::u16string m_statusText;  // guarded by m_statusMutex
};

// Creates and starts the manager on the first call, with the owner's device-event entry as the
// callback and the owner as userData; later calls do nothing.
void StartDeviceManager(DeviceEventCallback callback, void* userData);

// Index -1, or no manager yet: the current link (may be null); otherwise the link at that
// position of the manager's list, null past its end.
DeviceLink* GetDeviceLink(int index);
