// SyncService: one AirTraffic sync session with a device's sync agent: the library id, the connection, its reader thread and the session events.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AFCService.h"
#include "SyncSignal.h"

// Lives for one operation of Medias, on one worker thread; its reader thread and connection never
// outlive it. The reader sets the session's flags and asset ids and then releases the signal; the
// worker reads them after its wait. Every wait is bounded (30 s; RUVO_SYNC_TIMEOUT_MS shortens
// it); an expired wait counts as a failed sync. Files go through the media file system of the
// bound service set.
class SyncService : public AFCService {
public:
    static constexpr int kWaitBoundMs = 30000;
    // WaitForRemoteSize looks at the file once a second and gives up after this long.
    static constexpr std::chrono::seconds kRemoteSizeWaitBound{10};
    // Returned by SetPowerAssertion without a connection.
    static constexpr int kNoConnection = -1001;

    // The bound of each wait for the phone's next session message (kWaitBoundMs, shortened by
    // RUVO_SYNC_TIMEOUT_MS).
    static std::chrono::milliseconds WaitBound();

    SyncService();
    ~SyncService() override;

    void ResetSessionState();
    void CreateSignal();
    bool OpenSession();
    // Waits for the next session event; false (and sync failed set) when the bound passed.
    bool WaitForSignal();
    void SendSyncRequest(apple::CFArrayRef dataclasses, apple::CFDictionaryRef anchors, apple::CFArrayRef synced);
    void FinishMetadataSync(apple::CFDictionaryRef first, apple::CFDictionaryRef second);
    int SetPowerAssertion(bool on);
    // Ends the session: stops the reader and waits for it, then destroys the connection and the signal.
    void CloseSession();
    // The 16-character library id (cached for the life of the object).
    std::string GetLibraryId();
    bool WaitForRemoteSize(const char* path, int length);

    // The session's state, as the reader left it at the last signal.
    bool SyncAllowed();
    bool ManifestReceived();
    bool ReadyForSync();
    bool SyncFinished();
    bool SyncFailed();
    std::vector<std::string> AssetIds();

protected:
    // The media file system of the bound set; null when none is bound.
    AFCService* MediaFiles() const;
    apple::ATHostConnectionRef Connection() const { return m_connection; }

private:
    void ReadMessages();
    void HandleMessage(apple::ATCFMessageRef message);
    void Signal();

    std::optional<std::string> m_libraryId;
    std::mutex m_sessionLock;
    apple::ATHostConnectionRef m_connection = nullptr;
    std::unique_ptr<SyncSignal> m_signal;
    std::thread m_reader;
    std::atomic<bool> m_stopReading{false};

    std::mutex m_stateMutex;  // guards the flags and the asset ids
    bool m_syncAllowed = false;
    bool m_manifestReceived = false;
    bool m_readyForSync = false;
    bool m_syncFinished = false;
    bool m_syncFailed = false;
    std::vector<std::string> m_assetIds;
};
