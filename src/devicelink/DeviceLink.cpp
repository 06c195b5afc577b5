// DeviceLink: binding a device to the slot, its state and events, and the file, container and application operations.
#include "DeviceLink.h"

#include <algorithm>

#include "AppleApi.h"
#include "CopyCFStringUtf8.h"
#include "TextEncoding.h"

using namespace apple;

namespace {

// The longest status text handed to the owner, in ANSI bytes.
constexpr size_t kMaxStatusBytes = 127;

std::u16string UpperCase(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}

// The text cut, a whole character at a time, until its ANSI form fits in maxBytes.
std::u16string FitAnsi(std::u16string text, size_t maxBytes) {
    while (!text.empty() && TextToAnsi(text).size() > maxBytes) {
        text.pop_back();
        if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
    }
    return text;
}

std::u16string AnsiValue(const std::optional<std::string>& value) { return value ? AnsiToText(*value) : u""; }

}  // namespace

DeviceLink::DeviceLink(int index, DeviceEventCallback callback, void* userData)
    : m_index(index), m_callback(callback), m_userData(userData) {}

DeviceLink::~DeviceLink() = default;

void DeviceLink::Reset() {
    std::scoped_lock lock(m_mutex);
    ResetLocked();
}

void DeviceLink::ResetLocked() {
    if (m_installedApps) m_installedApps->Clear();
    m_installedApps.reset();
    m_ready = false;
    m_statusText = kTextWaiting;
    m_productType.clear();
    m_productVersion.clear();
    m_basebandVersion.clear();
    m_deviceName.clear();
}

int DeviceLink::SetDevice(AMDeviceRef device) {
    int event = DEVICE_EVENT_DISCONNECTED;
    bool ready = false;
    {
        std::scoped_lock lock(m_mutex);
        ResetLocked();
        auto full = std::make_unique<AFCFullFileSystem>(device);
        auto media = std::make_unique<AFCStandarFileSystem>(device);
        full->EnsureConnected();
        media->EnsureConnected();
        auto info = std::make_unique<DeviceInfo>(device);

        // The services of the previous device end here, under the lock, so no operation is
        // using them. An open container is ended too: it belongs to the device that left, and
        // left open it would keep its connection for ever.
        if (m_appContainer) {
            m_appContainer->CloseConnection();
            m_appContainer->Close();
            m_appContainer.reset();
        }
        if (m_fullFileSystem) m_fullFileSystem->Close();
        if (m_mediaFileSystem) m_mediaFileSystem->Close();
        if (m_deviceInfo) {
            m_deviceInfo->ClearValues();
            m_deviceInfo->Close();
        }
        m_fullFileSystem = std::move(full);
        m_mediaFileSystem = std::move(media);
        m_deviceInfo = std::move(info);
        m_device = device;

        if (device) {
            RefreshLocked();
            ready = m_ready;
            if (m_ready) {
                m_statusText = FitAnsi(m_deviceName, kMaxStatusBytes);
                event = DEVICE_EVENT_CONNECTED;
            } else {
                m_statusText = kTextTrustRequired;
                event = DEVICE_EVENT_TRUST_REQUIRED;
            }
        }
    }
    Notify(event);
    return ready ? 1 : 0;
}

void DeviceLink::Refresh() {
    std::scoped_lock lock(m_mutex);
    RefreshLocked();
}

void DeviceLink::RefreshLocked() {
    try {
        if (!m_deviceInfo || !m_deviceInfo->ReadValues()) return;
        m_productType = AnsiValue(m_deviceInfo->productType);
        m_productVersion = AnsiValue(m_deviceInfo->productVersion);
        m_basebandVersion = AnsiValue(m_deviceInfo->basebandVersion);
        m_deviceName = m_deviceInfo->deviceName ? Utf8OrAnsiToText(*m_deviceInfo->deviceName) : u"";
        m_ready = true;
    } catch (...) {
        // Memory ran out while reading: the link keeps the state it had.
    }
}

void DeviceLink::RefreshAndNotify() {
    int event;
    {
        std::scoped_lock lock(m_mutex);
        RefreshLocked();
        if (m_ready) {
            m_statusText = FitAnsi(m_deviceName, kMaxStatusBytes);
            event = DEVICE_EVENT_CONNECTED;
        } else {
            m_statusText = kTextTrustRequired;
            event = DEVICE_EVENT_TRUST_REQUIRED;
        }
    }
    Notify(event);
}

int DeviceLink::Notify(int eventType) {
    if (!m_callback) return -1;
    const std::string text = TextToAnsi(StatusText());
    return m_callback(eventType, text.c_str(), static_cast<int>(text.size()), m_userData, m_index);
}

bool DeviceLink::IsReady() {
    std::scoped_lock lock(m_mutex);
    return m_ready;
}

AMDeviceRef DeviceLink::Device() {
    std::scoped_lock lock(m_mutex);
    return m_device;
}

std::u16string DeviceLink::StatusText() {
    std::scoped_lock lock(m_mutex);
    return m_statusText;
}

std::u16string DeviceLink::ProductType() {
    std::scoped_lock lock(m_mutex);
    return m_productType;
}

std::u16string DeviceLink::ProductVersion() {
    std::scoped_lock lock(m_mutex);
    return m_productVersion;
}

std::u16string DeviceLink::BasebandVersion() {
    std::scoped_lock lock(m_mutex);
    return m_basebandVersion;
}

std::u16string DeviceLink::DeviceName() {
    std::scoped_lock lock(m_mutex);
    return m_deviceName;
}

std::optional<std::string> DeviceLink::DeviceIdentifier() {
    std::scoped_lock lock(m_mutex);
    return m_deviceInfo ? m_deviceInfo->deviceIdentifier : std::nullopt;
}

DeviceLink::DeviceSnapshot DeviceLink::Snapshot() {
    std::scoped_lock lock(m_mutex);
    return {m_device, m_deviceInfo ? m_deviceInfo->deviceIdentifier : std::nullopt};
}

DeviceServiceSet DeviceLink::ServiceSet() {
    std::scoped_lock lock(m_mutex);
    return {m_fullFileSystem.get(), m_mediaFileSystem.get(), m_appContainer.get(), m_deviceInfo.get(), m_device};
}

AFCService* DeviceLink::CurrentFileService() {
    std::scoped_lock lock(m_mutex);
    if (m_appContainer) return m_appContainer.get();
    return m_mediaFileSystem.get();
}

AFCService* DeviceLink::ConnectedFileService(const char* path) {
    if (!m_ready || !path || !*path) return nullptr;
    AFCService* service = CurrentFileService();
    return service && service->EnsureConnected() ? service : nullptr;
}

int DeviceLink::OpenAppContainer(const char* bundleId) {
    std::scoped_lock lock(m_mutex);
    auto container = std::make_unique<AFCApplicationDirectory>();
    container->Bind(
        {m_fullFileSystem.get(), m_mediaFileSystem.get(), m_appContainer.get(), m_deviceInfo.get(), m_device});
    if (!container->VendContainer(bundleId)) {
        container->Close();
        return 0;
    }
    // A container still open is replaced; it is closed rather than left with its connection.
    if (m_appContainer) m_appContainer->Close();
    m_appContainer = std::move(container);
    return 1;
}

void DeviceLink::CloseAppContainer() {
    std::scoped_lock lock(m_mutex);
    if (!m_appContainer) return;
    m_appContainer->CloseConnection();
    m_appContainer->Close();
    m_appContainer.reset();
}

int DeviceLink::MakeDirectory(const char* path) {
    std::scoped_lock lock(m_mutex);
    AFCService* service = ConnectedFileService(path);
    return service && service->MakeDirectory(path) ? 1 : 0;
}

int DeviceLink::DirectoryExists(const char* path) {
    std::scoped_lock lock(m_mutex);
    return DirectoryExistsLocked(path);
}

int DeviceLink::DirectoryExistsLocked(const char* path) {
    AFCService* service = ConnectedFileService(path);
    AFCDirectoryRef handle = nullptr;
    if (!service || !service->OpenDirectory(path, &handle)) return 0;
    service->CloseDirectory(handle);
    return 1;
}

int DeviceLink::GetFileSize(const char* path) {
    std::scoped_lock lock(m_mutex);
    AFCService* service = ConnectedFileService(path);
    return service ? service->GetFileSize(path) : 0;
}

int DeviceLink::ReadFile(const char* path, std::string& bytes, int limit) {
    std::scoped_lock lock(m_mutex);
    AFCService* service = ConnectedFileService(path);
    return service && service->ReadFile(path, bytes, limit) ? 1 : 0;
}

int DeviceLink::WriteFile(const char* path, const char* bytes, int length) {
    std::scoped_lock lock(m_mutex);
    if (!m_ready || !path || length <= 0) return 0;
    // The folder part without leading "/": "Documents/PCConnection/" of "/Documents/PCConnection/Respone".
    std::string dir(path);
    const size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
    const size_t first = dir.find_first_not_of('/');
    dir.erase(0, first == std::string::npos ? dir.size() : first);
    if (!DirectoryExistsLocked(dir.c_str())) {
        std::string built;
        for (size_t next = dir.find('/'); next != std::string::npos && next > 0; next = dir.find('/')) {
            built += "/" + dir.substr(0, next);
            dir.erase(0, next + 1);
            if (DirectoryExistsLocked(built.c_str())) continue;
            AFCService* service = ConnectedFileService(built.c_str());
            if (!service || !service->MakeDirectory(built.c_str())) return 0;
        }
    }
    AFCService* service = CurrentFileService();
    if (!service || !service->EnsureConnected()) return 0;
    const uint64_t reference = service->OpenFile(path, AFCService::kModeWrite);
    if (reference == 0) return 0;
    const bool written = service->WriteChunk(reference, bytes, length);
    service->CloseFile(reference);
    return written ? 1 : 0;
}

int DeviceLink::ListDirectory(const char* path, std::vector<std::string>& names) {
    std::scoped_lock lock(m_mutex);
    AFCService* service = ConnectedFileService(path);
    AFCDirectoryRef handle = nullptr;
    if (!service || !service->OpenDirectory(path, &handle)) return 0;
    char* name = nullptr;
    while (service->ReadDirectory(handle, &name) && name) {
        if (std::string_view(name) != "." && std::string_view(name) != "..") names.emplace_back(name);
    }
    service->CloseDirectory(handle);
    return 1;
}

int DeviceLink::RemovePath(const char* path) {
    std::scoped_lock lock(m_mutex);
    AFCService* service = ConnectedFileService(path);
    return service && service->RemovePath(path) ? 1 : 0;
}

int DeviceLink::FileExists(const char* path) {
    std::scoped_lock lock(m_mutex);
    AFCService* service = ConnectedFileService(path);
    return service && service->FileExists(path) ? 1 : 0;
}

int DeviceLink::TruncateFile(const char* path) {
    std::scoped_lock lock(m_mutex);
    AFCService* service = ConnectedFileService(path);
    const uint64_t reference = service ? service->OpenFile(path, AFCService::kModeWrite) : 0;
    if (reference == 0) return 0;
    return service->CloseFile(reference) ? 1 : 0;
}

void DeviceLink::LookupApplications(const std::u16string& applicationType) {
    // The lookup itself runs on a service object of its own, outside the lock; only the tree
    // changes under it.
    AppleKernelService lookup;
    lookup.Bind(ServiceSet());
    CFDictionaryRef dict = lookup.LookupApplications(TextToAnsi(applicationType).c_str());
    lookup.Close();

    std::vector<std::u16string> bundleIds;
    if (dict) {
        const CFIndex count = AppleApi.CFDictionaryGetCount(dict);
        std::vector<const void*> values(static_cast<size_t>(std::max<CFIndex>(count, 0)));
        if (count > 0) AppleApi.CFDictionaryGetKeysAndValues(dict, nullptr, values.data());
        CFStringRef key = AppleApi.CFStringCreateWithCString(nullptr, "CFBundleIdentifier", kCFStringEncodingUTF8);
        for (const void* value : values) {
            if (!key || !value || AppleApi.CFGetTypeID(value) != AppleApi.CFDictionaryGetTypeID()) continue;
            const void* identifier = AppleApi.CFDictionaryGetValue(static_cast<CFDictionaryRef>(value), key);
            if (!identifier || AppleApi.CFGetTypeID(identifier) != AppleApi.CFStringGetTypeID()) continue;
            if (auto text = CopyCFStringUtf8(static_cast<CFStringRef>(identifier)))
                bundleIds.push_back(Utf8OrAnsiToText(*text));
        }
        if (key) AppleApi.CFRelease(key);
    }

    std::scoped_lock lock(m_mutex);
    if (!m_installedApps) m_installedApps = std::make_unique<CJson>();
    const std::u16string category = UpperCase(applicationType);
    if (CJson* old = m_installedApps->FindChild(category, u"")) m_installedApps->RemoveChild(old);
    CJson* node = m_installedApps->AddChild(category, u"");
    if (dict) {
        CJson* list = node ? node->AddChild(u"AppList", u"") : nullptr;
        for (const auto& id : bundleIds)
            if (list) list->AddChild(id, u"");
        AppleApi.CFRelease(dict);
    }
}

std::unique_ptr<CJson> DeviceLink::FindInstalledApp(const std::u16string& category, const std::u16string& bundleId) {
    std::scoped_lock lock(m_mutex);
    if (!m_ready || !m_installedApps || (category != u"SYSTEM" && category != u"USER")) return nullptr;
    CJson* node = m_installedApps->FindChild(category, u"");
    if (!node) return nullptr;
    CJson* entry = node->FindNode(bundleId, u"");
    return entry ? std::unique_ptr<CJson>(entry->Clone()) : nullptr;
}

std::vector<std::u16string> DeviceLink::InstalledApps(const std::u16string& category) {
    std::vector<std::u16string> ids;
    std::scoped_lock lock(m_mutex);
    if (!m_installedApps) return ids;
    CJson* node = m_installedApps->FindChild(category, u"");
    CJson* list = node ? node->FindChild(u"AppList", u"") : nullptr;
    for (int i = 0; list && i < list->GetChildCount(); ++i) ids.push_back(list->GetChild(i)->GetKey());
    return ids;
}
