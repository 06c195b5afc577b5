// SyncAgent: the phone's sync agent ("com.apple.atc"), which runs one AirTraffic session per connection and applies its ringtone changes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "MediaArea.h"
#include "PlistHolder.h"
#include "RingtoneCatalogue.h"
#include "SyncChannel.h"
#include "SyncFault.h"
#include "SyncPlan.h"
#include "UniqueFd.h"

namespace ruvo::phone {

// How long the agent waits for each message its session needs from the host (and for another
// session of the phone to finish its changes); RUVO_RECEIVE_TIMEOUT_MS shortens it.
inline constexpr int kSyncReceiveTimeoutMs = 30000;

// The "ErrorCode" of the agent's "SyncFailed".
enum class SyncError : int64_t {
    Injected = -1,       // a stored fault asked for the failure
    TimedOut = -2,       // the host said nothing the session needed within the bound
    WrongSession = -3,   // "FinishedSyncingMetadata" named another session
    BadSyncList = -4,    // a sync property list could not be read or is malformed
    BadCatalogue = -5,   // the ringtone catalogue could not be read or is malformed
    PidInUse = -6,       // an insertion's persistent id is already in the catalogue
    BadAssetPath = -7,   // an asset was to be filed outside the ringtone folder, or twice
    MissingAsset = -8,   // an asset reported complete was never uploaded
    StorageFailed = -9,  // a file could not be moved or written; everything was put back
    PhoneBusy = -10,     // another session kept the phone's ringtones for the whole bound
};

// The session, as a phone runs it:
//   agent "SyncAllowed" as the connection opens; host "RequestingSync" (its HostInfo's LibraryID
//   is recorded as the phone's last); agent "ReadyForSync" naming the session; host
//   "FinishedSyncingMetadata" of that session; the agent reads the sync property lists, and when
//   they insert tracks announces one asset per insertion in an "AssetManifest" and waits for a
//   "FileComplete" of each, naming where the upload in Airlock/Ringtone/<asset id> goes; then it
//   applies everything at once (files moved, deleted tones' files removed, the catalogue
//   replaced) and sends "SyncFinished". A session that fails, is dropped or goes silent changes
//   nothing and removes its uploads. Sessions of one phone take turns at the lists and the
//   catalogue (a lock on DIR/sync.lock). A fault stored in the phone's folder (SyncFault) is taken
//   as the session starts and acted out in place of the message it names.
class SyncAgent {
public:
    // Takes over fd (the serving end of the connection) and closes it when it goes.
    SyncAgent(int fd, std::string phoneDir);
    ~SyncAgent();

    SyncAgent(const SyncAgent&) = delete;
    SyncAgent& operator=(const SyncAgent&) = delete;

    // Runs the session to its end; the connection is over when it returns.
    void Run();

private:
    struct Upload {
        std::string assetId;
        std::string fileName;  // the name in the ringtone folder, once the host named it
    };
    // Whether the agent waits for the host to close after its last message.
    enum class Afterwards { WaitForClose, Close };

    void RunSession();
    // True when the stored fault replaces the message of this step; the fault is then acted out.
    bool FaultReplaces(SyncStep step);
    bool Send(const char* command, PlistHolder params);
    bool Await(const char* command, PlistHolder& message);
    bool TakeSyncLock();
    void RecordLibraryId(plist_t request);
    bool PidsFit(const SyncPlan& plan, const RingtoneCatalogue& catalogue);
    bool AnnounceAssets(size_t count);
    bool AwaitUploads();
    bool Apply(const SyncPlan& plan, RingtoneCatalogue& catalogue);
    void Fail(SyncError error, Afterwards afterwards = Afterwards::WaitForClose);
    // Removes the session's uploads that are still in the Airlock and lets the lock go.
    void EndSession();
    void WaitForClose();

    UniqueFd m_fd;
    const std::string m_phoneDir;
    SyncChannel m_channel;
    MediaArea m_media;
    std::optional<SyncFault> m_fault;
    uint64_t m_session = 0;  // 0 until "ReadyForSync" names the session
    uint64_t m_nextId = 1;
    UniqueFd m_lock;
    UniqueFd m_airlock;  // Airlock/Ringtone, once assets are announced
    std::vector<Upload> m_uploads;
};

}  // namespace ruvo::phone
