// SyncAgent: the phone side of an AirTraffic sync session: its message flow, the lists it reads and the changes it applies.
#include "SyncAgent.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>
#include <set>
#include <utility>

#include "PlistInput.h"
#include "VirtualPhone.h"
#include "WaitBound.h"

namespace ruvo::phone {
namespace {

using Clock = SyncChannel::Clock;

constexpr const char* kDataclass = "Ringtone";
constexpr const char* kLockFile = "sync.lock";
// How often a session waiting for the phone's lock looks again (and whether its host left).
constexpr int kLockRetryMs = 20;
// A library id is 16 hexadecimal digits; anything printable up to this length is shown as sent.
constexpr size_t kMaxLibraryId = 64;

int ReceiveTimeoutMs() {
    static const int bound = WaitBoundMs(kReceiveTimeoutVariable, kSyncReceiveTimeoutMs);
    return bound;
}

Clock::time_point NextDeadline() { return Clock::now() + std::chrono::milliseconds(ReceiveTimeoutMs()); }

std::string RandomDigits(std::mt19937_64& random, size_t count) {
    std::string digits;
    digits.push_back(static_cast<char>('1' + random() % 9));
    while (digits.size() < count) digits.push_back(static_cast<char>('0' + random() % 10));
    return digits;
}

bool IsPrintableId(const std::string& id) {
    if (id.size() > kMaxLibraryId) return false;
    for (char c : id)
        if (c <= ' ' || c > '~') return false;
    return true;
}

PlistHolder Dictionary() { return PlistHolder(plist_new_dict()); }

// The file name an asset path gives a tone: the path must name a file directly in the ringtone
// folder, after ".." steps are taken, without climbing out of the media area on the way.
std::optional<std::string> ToneFileName(const std::string& assetPath) {
    const auto parts = MediaArea::Normalise(assetPath);
    const auto& folder = RingtoneCatalogue::TonesFolder();
    if (!parts || parts->size() != folder.size() + 1 || !std::equal(folder.begin(), folder.end(), parts->begin()))
        return std::nullopt;
    return parts->back();
}

// Moves the entry from beneath one folder to another, failing when the target name exists.
bool MoveWithoutReplacing(int fromDir, const std::string& from, int toDir, const std::string& to) {
    if (::renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without RENAME_NOREPLACE: a hard link refuses an existing name just as well.
    if (::linkat(fromDir, from.c_str(), toDir, to.c_str(), 0) != 0) return false;
    ::unlinkat(fromDir, from.c_str(), 0);
    return true;
}

}  // namespace

SyncAgent::SyncAgent(int fd, std::string phoneDir)
    : m_fd(fd), m_phoneDir(std::move(phoneDir)), m_channel(fd), m_media(m_phoneDir) {}

SyncAgent::~SyncAgent() { EndSession(); }

void SyncAgent::Run() {
    // The fault is the session's from its first moment, whether or not its step comes.
    m_fault = SyncFault::Take(m_phoneDir);
    RunSession();
    EndSession();
}

void SyncAgent::RunSession() {
    if (FaultReplaces(SyncStep::Allowed) || !Send("SyncAllowed", Dictionary())) return;

    PlistHolder request;
    if (!Await("RequestingSync", request)) return;
    RecordLibraryId(request.get());

    if (FaultReplaces(SyncStep::Ready)) return;
    std::random_device seed;
    m_session = std::uniform_int_distribution<uint64_t>(1, 0x7FFFFFFF)(seed);
    PlistHolder ready = Dictionary();
    plist_t anchors = plist_new_dict();
    plist_dict_set_item(anchors, kDataclass, plist_new_string("1"));
    plist_dict_set_item(ready.get(), "DataclassAnchors", anchors);
    if (!Send("ReadyForSync", std::move(ready))) return;

    PlistHolder finished;
    if (!Await("FinishedSyncingMetadata", finished)) return;
    if (IntegerMember(finished.get(), "Session") != m_session) return Fail(SyncError::WrongSession);

    // From reading the lists to the end of the apply the phone's ringtones are this session's.
    if (!TakeSyncLock()) return;
    auto plan = SyncPlan::Read(m_media);
    if (!plan) return Fail(SyncError::BadSyncList);
    auto catalogue = RingtoneCatalogue::Load(m_media);
    if (!catalogue) return Fail(SyncError::BadCatalogue);
    if (!PidsFit(*plan, *catalogue)) return Fail(SyncError::PidInUse);
    if (const size_t inserts = plan->InsertCount(); inserts > 0) {
        if (!AnnounceAssets(inserts) || !AwaitUploads()) return;
    }

    if (FaultReplaces(SyncStep::Finished)) return;
    if (!Apply(*plan, *catalogue)) return Fail(SyncError::StorageFailed);
    plan->RemoveLists(m_media);
    EndSession();
    PlistHolder done = Dictionary();
    plist_t dataclasses = plist_new_array();
    plist_array_append_item(dataclasses, plist_new_string(kDataclass));
    plist_dict_set_item(done.get(), "Dataclasses", dataclasses);
    if (Send("SyncFinished", std::move(done))) WaitForClose();
}

bool SyncAgent::FaultReplaces(SyncStep step) {
    if (!m_fault || m_fault->Step() != step) return false;
    switch (m_fault->Action()) {
    case SyncFaultAction::SyncFailed: Fail(SyncError::Injected); break;
    case SyncFaultAction::Drop: EndSession(); break;
    case SyncFaultAction::Silent:
        EndSession();
        WaitForClose();
        break;
    }
    return true;
}

bool SyncAgent::Send(const char* command, PlistHolder params) {
    PlistHolder message = Dictionary();
    plist_dict_set_item(message.get(), "Command", plist_new_string(command));
    plist_dict_set_item(message.get(), "Type", plist_new_uint(0));
    plist_dict_set_item(message.get(), "Id", plist_new_uint(m_nextId++));
    plist_dict_set_item(message.get(), "Session", plist_new_uint(m_session));
    plist_dict_set_item(message.get(), "Params", params.release());
    if (m_channel.Send(message.get())) return true;
    EndSession();
    return false;
}

bool SyncAgent::Await(const char* command, PlistHolder& message) {
    const auto deadline = NextDeadline();
    for (;;) {
        PlistHolder got;
        switch (m_channel.Receive(got, deadline)) {
        case Received::Message:
            if (StringMember(got.get(), "Command") == command) {
                message = std::move(got);
                return true;
            }
            // Progress reports, power assertions, host info and the like need no answer.
            break;
        case Received::TimedOut: Fail(SyncError::TimedOut, Afterwards::Close); return false;
        case Received::Closed:
        case Received::Garbage: EndSession(); return false;
        }
    }
}

bool SyncAgent::TakeSyncLock() {
    const std::string path = m_phoneDir + "/" + kLockFile;
    UniqueFd lock(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!lock.Valid()) {
        Fail(SyncError::StorageFailed);
        return false;
    }
    const auto deadline = NextDeadline();
    while (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            Fail(SyncError::StorageFailed);
            return false;
        }
        if (Clock::now() >= deadline) {
            Fail(SyncError::PhoneBusy);
            return false;
        }
        // A host that gives up while the phone is busy ends the session at once.
        if (m_channel.PeerHungUp(kLockRetryMs)) {
            EndSession();
            return false;
        }
    }
    m_lock = std::move(lock);
    return true;
}

void SyncAgent::RecordLibraryId(plist_t request) {
    const auto id = StringMember(DictMember(DictMember(request, "Params"), "HostInfo"), "LibraryID");
    // A library id that could not be shown as one word is not kept; the sync goes on regardless.
    if (id && IsPrintableId(*id)) SetLastSyncLibraryId(m_phoneDir, *id, nullptr);
}

bool SyncAgent::PidsFit(const SyncPlan& plan, const RingtoneCatalogue& catalogue) {
    std::set<uint64_t> pids;
    for (const auto& entry : catalogue.Entries())
        if (entry.pid) pids.insert(*entry.pid);
    for (const SyncPlan::Operation& operation : plan.Operations()) {
        if (operation.kind == SyncPlan::Operation::Kind::DeleteTrack) {
            pids.erase(operation.pid);
        } else if (!pids.insert(operation.pid).second) {
            return false;
        }
    }
    return true;
}

bool SyncAgent::AnnounceAssets(size_t count) {
    m_airlock = m_media.OpenFolder({"Airlock", kDataclass}, MakeMissing::Yes);
    if (!m_airlock.Valid()) {
        Fail(SyncError::StorageFailed);
        return false;
    }
    std::mt19937_64 random(std::random_device{}());
    PlistHolder params = Dictionary();
    plist_t assets = plist_new_array();
    while (m_uploads.size() < count) {
        // Asset ids are 19 decimal digits, fresh in this session and in the Airlock.
        std::string id = RandomDigits(random, 19);
        struct stat st {};
        bool fresh = ::fstatat(m_airlock.Get(), id.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
        for (const Upload& upload : m_uploads) fresh = fresh && upload.assetId != id;
        if (!fresh) continue;
        plist_t asset = plist_new_dict();
        plist_dict_set_item(asset, "AssetID", plist_new_string(id.c_str()));
        plist_dict_set_item(asset, "Dataclass", plist_new_string(kDataclass));
        plist_array_append_item(assets, asset);
        m_uploads.push_back(Upload{std::move(id), std::string()});
    }
    plist_t manifest = plist_new_dict();
    plist_dict_set_item(manifest, kDataclass, assets);
    plist_dict_set_item(params.get(), "AssetManifest", manifest);
    return !FaultReplaces(SyncStep::Manifest) && Send("AssetManifest", std::move(params));
}

bool SyncAgent::AwaitUploads() {
    size_t waiting = m_uploads.size();
    auto deadline = NextDeadline();
    while (waiting > 0) {
        PlistHolder message;
        switch (m_channel.Receive(message, deadline)) {
        case Received::Message: break;
        case Received::TimedOut: Fail(SyncError::TimedOut, Afterwards::Close); return false;
        case Received::Closed:
        case Received::Garbage: EndSession(); return false;
        }
        if (StringMember(message.get(), "Command") != "FileComplete") continue;
        plist_t params = DictMember(message.get(), "Params");
        const auto dataclass = StringMember(params, "Dataclass");
        const auto assetId = StringMember(params, "AssetID");
        if ((dataclass && *dataclass != kDataclass) || !assetId) continue;
        auto upload = std::find_if(m_uploads.begin(), m_uploads.end(),
                                   [&](const Upload& u) { return u.assetId == *assetId && u.fileName.empty(); });
        // An asset this session did not announce, or one already complete, is not waited for.
        if (upload == m_uploads.end()) continue;
        const auto assetPath = StringMember(params, "AssetPath");
        const auto fileName = assetPath ? ToneFileName(*assetPath) : std::nullopt;
        const bool taken = fileName && std::any_of(m_uploads.begin(), m_uploads.end(),
                                                   [&](const Upload& u) { return u.fileName == *fileName; });
        if (!fileName || taken) {
            Fail(SyncError::BadAssetPath);
            return false;
        }
        struct stat st {};
        if (::fstatat(m_airlock.Get(), upload->assetId.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode)) {
            Fail(SyncError::MissingAsset);
            return false;
        }
        upload->fileName = *fileName;
        --waiting;
        deadline = NextDeadline();
    }
    return true;
}

bool SyncAgent::Apply(const SyncPlan& plan, RingtoneCatalogue& catalogue) {
    // The new catalogue first, in memory, in the order of the operations.
    std::vector<std::string> removedFiles;
    size_t next = 0;
    for (const SyncPlan::Operation& operation : plan.Operations()) {
        if (operation.kind == SyncPlan::Operation::Kind::DeleteTrack) {
            for (std::string& file : catalogue.RemovePid(operation.pid)) removedFiles.push_back(std::move(file));
            continue;
        }
        const Upload& upload = m_uploads[next++];
        if (catalogue.HasFile(upload.fileName)) return false;
        catalogue.Add(upload.fileName, operation.title, operation.guid, operation.pid, operation.totalTimeMs);
    }

    // Then the files, every one or none, and the catalogue in one rename.
    const UniqueFd tones = m_media.OpenFolder(RingtoneCatalogue::TonesFolder(), MakeMissing::Yes);
    if (!tones.Valid()) return false;
    size_t moved = 0;
    while (moved < m_uploads.size() &&
           MoveWithoutReplacing(m_airlock.Get(), m_uploads[moved].assetId, tones.Get(), m_uploads[moved].fileName))
        ++moved;
    if (moved < m_uploads.size() || !catalogue.Save(m_media)) {
        // Put the uploads back where they were, so the tones stay as they were; the session's
        // end removes them.
        while (moved-- > 0)
            ::renameat(tones.Get(), m_uploads[moved].fileName.c_str(), m_airlock.Get(),
                       m_uploads[moved].assetId.c_str());
        return false;
    }

    // The catalogue no longer lists the deleted tones; their files go last. A name that a new
    // tone took in this session keeps the new tone.
    for (const std::string& file : removedFiles) {
        const bool reused =
            std::any_of(m_uploads.begin(), m_uploads.end(), [&](const Upload& u) { return u.fileName == file; });
        const auto parts = MediaArea::Normalise("iTunes_Control/Ringtones/" + file);
        const auto& folder = RingtoneCatalogue::TonesFolder();
        if (reused || !parts || parts->size() <= folder.size() ||
            !std::equal(folder.begin(), folder.end(), parts->begin()))
            continue;
        m_media.RemoveFile(*parts);
    }
    return true;
}

void SyncAgent::Fail(SyncError error, Afterwards afterwards) {
    EndSession();
    PlistHolder params = Dictionary();
    plist_dict_set_item(params.get(), "ErrorCode", plist_new_uint(static_cast<uint64_t>(error)));
    if (Send("SyncFailed", std::move(params)) && afterwards == Afterwards::WaitForClose) WaitForClose();
}

void SyncAgent::EndSession() {
    if (m_airlock.Valid()) {
        for (const Upload& upload : m_uploads) ::unlinkat(m_airlock.Get(), upload.assetId.c_str(), 0);
    }
    m_uploads.clear();
    m_lock.Reset();
}

void SyncAgent::WaitForClose() { m_channel.DrainUntilClosed(NextDeadline()); }

}  // namespace ruvo::phone
