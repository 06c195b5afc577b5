// SyncService: the session's course on the host side and the reader that turns messages into events.
#include "SyncService.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "AFCStandarFileSystem.h"
#include "AppleApi.h"
#include "CFRef.h"
#include "CopyCFStringUtf8.h"
#include "DeviceInfo.h"
#include "WaitBound.h"

using namespace apple;
using ruvo::WaitBoundMs;

namespace {

constexpr const char* kPrefsPath = "/iTunes_Control/iTunes/iTunesPrefs";
// The library id when there are no usable prefs: missing, unopenable, or shorter than the two
// words it is made of (the word at offset 96 needs 100 bytes).
constexpr const char* kNoLibraryId = "0000000000000000";
constexpr int kPrefsWordsEnd = 100;
// The host name this system gives the phone.
constexpr const char* kSyncHostName = "Ruvo";
constexpr const char* kHostVersion = "11.1.0.126";

uint32_t WordAt(const std::string& bytes, size_t offset) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

bool NameIs(CFStringRef name, const char* text) {
    const auto utf8 = CopyCFStringUtf8(name);
    return utf8 && *utf8 == text;
}

}  // namespace

std::chrono::milliseconds SyncService::WaitBound() {
    static const int bound = WaitBoundMs("RUVO_SYNC_TIMEOUT_MS", kWaitBoundMs);
    return std::chrono::milliseconds(bound);
}

SyncService::SyncService() { ResetSessionState(); }

SyncService::~SyncService() { CloseSession(); }

void SyncService::ResetSessionState() {
    // A session still open belongs to the previous operation: it ends first.
    CloseSession();
    std::scoped_lock lock(m_stateMutex);
    m_syncAllowed = m_manifestReceived = m_readyForSync = m_syncFinished = m_syncFailed = false;
    m_assetIds.clear();
}

void SyncService::CreateSignal() { m_signal = std::make_unique<SyncSignal>(); }

AFCService* SyncService::MediaFiles() const { return m_bound.mediaFileSystem; }

std::string SyncService::GetLibraryId() {
    if (m_libraryId) return *m_libraryId;
    std::string id = kNoLibraryId;
    AFCService* media = MediaFiles();
    if (media && media->EnsureConnected() && media->FileExists(kPrefsPath)) {
        const int size = media->GetFileSize(kPrefsPath);
        const uint64_t reference = media->OpenFile(kPrefsPath, kModeRead);
        if (reference != 0) {
            std::string bytes;
            id.clear();  // opened but not readable: the empty id
            // Only the bytes up to the second word are used, so no more are read, whatever size
            // the phone states for the file.
            if (size > 0 && media->ReadExact(reference, bytes, std::min(size, kPrefsWordsEnd))) {
                if (bytes.size() >= static_cast<size_t>(kPrefsWordsEnd)) {
                    char text[17];
                    std::snprintf(text, sizeof text, "%08X%08X", 0u, WordAt(bytes, 96) ^ WordAt(bytes, 20));
                    id = text;
                } else {
                    id = kNoLibraryId;
                }
            }
            std::memset(bytes.data(), 0, bytes.size());
            media->CloseFile(reference);
        }
    }
    m_libraryId = id;
    return id;
}

bool SyncService::OpenSession() {
    const std::string libraryId = GetLibraryId();
    std::optional<std::string> deviceId;
    if (m_bound.deviceInfo) deviceId = m_bound.deviceInfo->deviceIdentifier;
    if (!deviceId || !AppleApi.ATHostConnectionCreateWithLibrary) return false;
    CFRef library = MakeCFString(libraryId.c_str());
    CFRef device = MakeCFString(deviceId->c_str());
    if (!library || !device) return false;
    ATHostConnectionRef connection =
        AppleApi.ATHostConnectionCreateWithLibrary(As<CFStringRef>(library), As<CFStringRef>(device), 0);
    if (!connection) return false;
    std::scoped_lock lock(m_sessionLock);
    m_connection = connection;
    m_stopReading = false;
    try {
        m_reader = std::thread(&SyncService::ReadMessages, this);
    } catch (const std::system_error&) {
        AppleApi.ATHostConnectionDestroy(connection);
        m_connection = nullptr;
        return false;
    }
    return true;
}

void SyncService::ReadMessages() {
    // The connection is read from this thread only; CloseSession stops and joins it before the
    // connection goes.
    const ATHostConnectionRef connection = m_connection;
    while (!m_stopReading.load()) {
        ATCFMessageRef message = AppleApi.ATHostConnectionReadMessage(connection);
        // The library answers null only once the link is gone for good.
        if (!message) break;
        HandleMessage(message);
        AppleApi.CFRelease(message);
        std::scoped_lock lock(m_stateMutex);
        if (m_syncFinished || m_syncFailed) break;
    }
}

void SyncService::HandleMessage(ATCFMessageRef message) {
    CFStringRef name = AppleApi.ATCFMessageGetName(message);
    if (!name) return;
    bool signal = false;
    {
        std::scoped_lock lock(m_stateMutex);
        if (NameIs(name, "SyncAllowed")) {
            signal = !m_syncAllowed;
            m_syncAllowed = true;
        } else if (NameIs(name, "ReadyForSync")) {
            signal = !m_readyForSync;
            m_readyForSync = true;
        } else if (NameIs(name, "AssetManifest")) {
            CFRef key = MakeCFString("AssetManifest");
            CFTypeRef manifest = key ? AppleApi.ATCFMessageGetParam(message, As<CFStringRef>(key)) : nullptr;
            if (!manifest || AppleApi.CFGetTypeID(manifest) != AppleApi.CFDictionaryGetTypeID() || m_manifestReceived)
                return;
            CFRef ringtone = MakeCFString("Ringtone");
            const void* list =
                ringtone ? AppleApi.CFDictionaryGetValue(static_cast<CFDictionaryRef>(manifest), ringtone.get())
                         : nullptr;
            if (!list) return;
            CFRef assetKey = MakeCFString("AssetID");
            const auto array = static_cast<CFArrayRef>(list);
            const CFIndex count =
                AppleApi.CFGetTypeID(list) == AppleApi.CFArrayGetTypeID() ? AppleApi.CFArrayGetCount(array) : 0;
            for (CFIndex i = 0; i < count; ++i) {
                const void* entry = AppleApi.CFArrayGetValueAtIndex(array, i);
                if (!entry || AppleApi.CFGetTypeID(entry) != AppleApi.CFDictionaryGetTypeID()) continue;
                const void* id = AppleApi.CFDictionaryGetValue(static_cast<CFDictionaryRef>(entry), assetKey.get());
                if (!id || AppleApi.CFGetTypeID(id) != AppleApi.CFStringGetTypeID()) continue;
                if (auto text = CopyCFStringUtf8(static_cast<CFStringRef>(id))) m_assetIds.push_back(*text);
            }
            m_manifestReceived = true;
            signal = true;
        } else if (NameIs(name, "SyncFinished")) {
            signal = !m_syncFinished;
            m_syncFinished = true;
        } else if (NameIs(name, "SyncFailed") || NameIs(name, "ConnectionInvalid")) {
            signal = !m_syncFailed;
            m_syncFailed = true;
        }
    }
    if (signal) Signal();
}

void SyncService::Signal() {
    if (m_signal) m_signal->Release();
}

bool SyncService::WaitForSignal() {
    if (!m_signal) return true;
    if (m_signal->Wait(WaitBound())) return true;
    // Nothing came within the bound: the phone is not going on with this session.
    std::scoped_lock lock(m_stateMutex);
    m_syncFailed = true;
    return false;
}

void SyncService::SendSyncRequest(CFArrayRef dataclasses, CFDictionaryRef anchors, CFArrayRef synced) {
    if (!m_connection) return;
    SetPowerAssertion(true);
    const std::string libraryId = GetLibraryId();
    CFRef hostInfo(AppleApi.CFDictionaryCreateMutable(nullptr, 0, AppleApi.kCFTypeDictionaryKeyCallBacks,
                                                      AppleApi.kCFTypeDictionaryValueCallBacks));
    if (!hostInfo) return;
    const auto info = As<CFMutableDictionaryRef>(hostInfo);
    const std::pair<const char*, const char*> texts[] = {
        {"Version", kHostVersion}, {"SyncHostName", kSyncHostName}, {"LibraryID", libraryId.c_str()}};
    for (const auto& [key, value] : texts) {
        CFRef k = MakeCFString(key);
        CFRef v = MakeCFString(value);
        if (k && v) AppleApi.CFDictionaryAddValue(info, k.get(), v.get());
    }
    if (synced) {
        CFRef k = MakeCFString("SyncedDataclasses");
        if (k) AppleApi.CFDictionaryAddValue(info, k.get(), synced);
    }
    AppleApi.ATHostConnectionSendSyncRequest(m_connection, dataclasses, anchors, info);
}

void SyncService::FinishMetadataSync(CFDictionaryRef first, CFDictionaryRef second) {
    if (!m_connection) return;
    AppleApi.ATHostConnectionSendMetadataSyncFinished(m_connection, first, second);
    SetPowerAssertion(false);
}

int SyncService::SetPowerAssertion(bool on) {
    if (!m_connection) return kNoConnection;
    return AppleApi.ATHostConnectionSendPowerAssertion(m_connection,
                                                       on ? *AppleApi.kCFBooleanTrue : *AppleApi.kCFBooleanFalse);
}

void SyncService::CloseSession() {
    std::scoped_lock lock(m_sessionLock);
    if (m_connection) {
        // The reader stops at its next turn; destroying the connection wakes it from a blocked
        // read, and the library lets the connection go only once no call is inside it.
        m_stopReading = true;
        AppleApi.ATHostConnectionDestroy(m_connection);
        if (m_reader.joinable()) m_reader.join();
        m_connection = nullptr;
    }
    m_signal.reset();
}

bool SyncService::WaitForRemoteSize(const char* path, int length) {
    AFCService* media = MediaFiles();
    if (!media) return false;
    constexpr auto kPause = std::chrono::seconds(1);
    for (int attempt = 0;; ++attempt) {
        if (media->GetFileSize(path) >= length) return true;
        if (attempt == kRemoteSizeWaitBound / kPause) return false;
        std::this_thread::sleep_for(kPause);
    }
}

bool SyncService::SyncAllowed() {
    std::scoped_lock lock(m_stateMutex);
    return m_syncAllowed;
}

bool SyncService::ManifestReceived() {
    std::scoped_lock lock(m_stateMutex);
    return m_manifestReceived;
}

bool SyncService::ReadyForSync() {
    std::scoped_lock lock(m_stateMutex);
    return m_readyForSync;
}

bool SyncService::SyncFinished() {
    std::scoped_lock lock(m_stateMutex);
    return m_syncFinished;
}

bool SyncService::SyncFailed() {
    std::scoped_lock lock(m_stateMutex);
    return m_syncFailed;
}

std::vector<std::string> SyncService::AssetIds() {
    std::scoped_lock lock(m_stateMutex);
    return m_assetIds;
}
