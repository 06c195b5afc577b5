// DeviceLink: one device slot of the device manager: the device's file services, values and state, and what the system does with it.
#pragma once

#include <climits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "AFCApplicationDirectory.h"
#include "AFCFullFileSystem.h"
#include "AFCStandarFileSystem.h"
#include "AppleTypes.h"
#include "CJson.h"
#include "DeviceEvents.h"
#include "DeviceInfo.h"
#include "DeviceServiceSet.h"

// A link is idle (no device), attached without a session (not trusted) or ready. Links are made
// by the device manager and never freed.
//
// Locking: SetDevice (on the library's notification thread) replaces the services that worker
// threads use, so the link has one lock, held by SetDevice and by each short operation below
// (files, container, values, application lookup) and never across a call into the owner's
// callback. Long operations take what they need under the lock (the device reference and its
// identifier, which live as long as the process, in one Snapshot) and then work on service
// connections of their own. Lock order: the ringtone operations' per-phone turn is taken after
// the snapshot, with the link's lock released, and the link's lock is not taken while a turn is
// held, so the two never wait for each other.
class DeviceLink {
public:
    DeviceLink(int index, DeviceEventCallback callback, void* userData);
    ~DeviceLink();

    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    int Index() const { return m_index; }

    // Binds the link to the device (null: the device left) and reports the new state; returns
    // whether the link is ready.
    int SetDevice(apple::AMDeviceRef device);
    void Reset();
    void Refresh();
    void RefreshAndNotify();
    int Notify(int eventType);

    // The link's state, read under its lock.
    bool IsReady();
    apple::AMDeviceRef Device();
    std::u16string StatusText();
    std::u16string ProductType();
    std::u16string ProductVersion();
    std::u16string BasebandVersion();
    std::u16string DeviceName();
    // The device's unique identifier in UTF-8, nothing before the values were read.
    std::optional<std::string> DeviceIdentifier();
    // The device and its identifier as one pair: an operation that works on a device of its own
    // (the ringtone operations) needs both to name the same phone.
    struct DeviceSnapshot {
        apple::AMDeviceRef device = nullptr;
        std::optional<std::string> identifier;  // nothing before the values were read
    };
    // Both taken in one hold of the lock, so a device change (SetDevice on the notification
    // thread) cannot come between them.
    DeviceSnapshot Snapshot();
    // A copy of the link's service set, for a service object bound to the link.
    DeviceServiceSet ServiceSet();

    // File operations on the current file service: the open app container, else the media
    // area. Paths are ANSI text. 1 for success, 0 for failure.
    AFCService* CurrentFileService();
    int OpenAppContainer(const char* bundleId);
    void CloseAppContainer();
    int MakeDirectory(const char* path);
    int DirectoryExists(const char* path);
    int GetFileSize(const char* path);
    // At most limit bytes of the file (all of it by default).
    int ReadFile(const char* path, std::string& bytes, int limit = INT_MAX);
    int WriteFile(const char* path, const char* bytes, int length);
    // The names in the folder, "." and ".." left out; 0 when it cannot be listed.
    int ListDirectory(const char* path, std::vector<std::string>& names);
    int RemovePath(const char* path);
    int FileExists(const char* path);
    // Makes the file empty (creating it when missing).
    int TruncateFile(const char* path);

    // Looks the applications of the type ("System", "User") up and keeps them under the
    // upper-cased type in the installed-applications tree.
    void LookupApplications(const std::u16string& applicationType);
    // A copy of the application's entry under the category ("SYSTEM" or "USER"), or null.
    std::unique_ptr<CJson> FindInstalledApp(const std::u16string& category, const std::u16string& bundleId);
    // The ringtone operations (DeviceLinkRingtones.cpp, on Medias). Each takes the device reference
    // and identifier in one snapshot under the lock, then waits for the phone's ringtone turn
    // (RingtoneTurn: one operation at a time per phone, so apps adding at once do not mix their
    // sync lists) and works on service connections of its own (AFC and the sync session), so
    // heartbeats and device events go on meanwhile; a device that leaves makes the operation
    // fail. The link's lock is not held while waiting for the turn nor during the operation.
    // None of them asks whether the link is ready.
    // The catalogue as a tree the caller deletes (empty when there is none); null when the
    // phone's turn did not come within its bound.
    CJson* ListRingtones();
    // 1 when the phone took the ringtone (title in ANSI, duration in seconds), else 0 (also when
    // the phone's turn did not come within its bound).
    int AddRingtone(const unsigned char* data, int length, const char* title, int durationSeconds);
    // 1 when the phone deleted the ringtones whose ids are the "PID" elements of the JSON text.
    int DeleteRingtones(const std::u16string& pidJson);

    // The bundle identifiers of the category, in the order they were looked up.
    std::vector<std::u16string> InstalledApps(const std::u16string& category);

private:
    void ResetLocked();
    void RefreshLocked();
    // The common guard of the file operations: ready, a path, a connected current file service.
    AFCService* ConnectedFileService(const char* path);
    int DirectoryExistsLocked(const char* path);

    const int m_index;
    const DeviceEventCallback m_callback;
    void* const m_userData;

    std::recursive_mutex m_mutex;
    std::unique_ptr<AFCFullFileSystem> m_fullFileSystem;
    std::unique_ptr<AFCStandarFileSystem> m_mediaFileSystem;
    std::unique_ptr<AFCApplicationDirectory> m_appContainer;
    std::unique_ptr<DeviceInfo> m_deviceInfo;
    apple::AMDeviceRef m_device = nullptr;
    bool m_ready = false;
    std::u16string m_statusText;
    std::u16string m_productType;
    std::u16string m_productVersion;
    std::u16string m_basebandVersion;
    std::u16string m_deviceName;
    std::unique_ptr<CJson> m_installedApps;
};
