// Medias: the catalogue reader and the ringtone writer: sync property lists, uploads and the session steps around them.
#include "Medias.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "AFCStandarFileSystem.h"
#include "AppleApi.h"
#include "CFRef.h"
#include "CParseBplist.h"
#include "MakeRandomText.h"
#include "TextEncoding.h"

using namespace apple;

namespace {

constexpr const char* kCataloguePath = "/iTunes_Control/iTunes/Ringtones.plist";
constexpr const char* kRingtoneSyncDir = "/iTunes_Control/Ringtones/Sync/";
constexpr const char* kRingtoneSyncFile = "/iTunes_Control/Ringtones/Sync/Sync_%08X.plist";
constexpr const char* kMediaSyncDir = "/iTunes_Control/Media/Sync/";
constexpr const char* kMediaSyncCompanion = "/iTunes_Control/Media/Sync/Sync_%08X.plist.cig";
constexpr const char* kMediaSyncFile = "/iTunes_Control/Media/Sync/Sync_%08X.plist";
constexpr const char* kUploadDir = "/Airlock/Ringtone/";
constexpr const char* kFinalDir = "/iTunes_Control/Ringtones/";
constexpr const char* kUpperLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
// A final name is drawn again while the phone already has a tone of that name. Each draw is
// independent, so a clash is rare while the folder holds far fewer than 26^4 tones; a phone that
// reports every name as taken would keep the drawing going, so past this long the addition gives up.
constexpr auto kNameDrawBound = std::chrono::seconds(15);

std::string Numbered(const char* format, unsigned number) {
    char path[100];
    std::snprintf(path, sizeof path, format, number);
    return path;
}

CFRef NewDictionary() {
    return CFRef(AppleApi.CFDictionaryCreateMutable(nullptr, 0, AppleApi.kCFTypeDictionaryKeyCallBacks,
                                                    AppleApi.kCFTypeDictionaryValueCallBacks));
}

CFRef NewArray() { return CFRef(AppleApi.CFArrayCreateMutable(nullptr, 0, AppleApi.kCFTypeArrayCallBacks)); }

CFRef NewInteger(long long value) {
    const int64_t number = value;
    return CFRef(AppleApi.CFNumberCreate(nullptr, kCFNumberSInt64Type, &number));
}

// Sets dict[key] = value (value retained by the dictionary).
void Set(const CFRef& dict, const char* key, const void* value) {
    CFRef k = MakeCFString(key);
    if (dict && k && value) AppleApi.CFDictionarySetValue(As<CFMutableDictionaryRef>(dict), k.get(), value);
}
void SetText(const CFRef& dict, const char* key, const char* text) { Set(dict, key, MakeCFString(text).get()); }
void SetInteger(const CFRef& dict, const char* key, long long value) { Set(dict, key, NewInteger(value).get()); }
void SetBool(const CFRef& dict, const char* key, bool value) {
    Set(dict, key, value ? *AppleApi.kCFBooleanTrue : *AppleApi.kCFBooleanFalse);
}
void Append(const CFRef& array, const void* value) {
    if (array && value) AppleApi.CFArrayAppendValue(As<CFMutableArrayRef>(array), value);
}

CFRef TextArray(std::initializer_list<const char*> texts) {
    CFRef array = NewArray();
    for (const char* text : texts) Append(array, MakeCFString(text).get());
    return array;
}

// {"Ringtone": "1"}: the anchors of every request and of the end of the metadata phase.
CFRef RingtoneAnchors() {
    CFRef anchors = NewDictionary();
    SetText(anchors, "Ringtone", "1");
    return anchors;
}

// The bytes of a binary property list.
std::string Serialise(const CFRef& plist) {
    if (!plist) return std::string();
    CFRef data(AppleApi.CFPropertyListCreateData(nullptr, plist.get(), kCFPropertyListBinaryFormat_v1_0, 0, nullptr));
    if (!data) return std::string();
    const auto bytes = static_cast<CFDataRef>(data.get());
    return std::string(reinterpret_cast<const char*>(AppleApi.CFDataGetBytePtr(bytes)),
                       static_cast<size_t>(AppleApi.CFDataGetLength(bytes)));
}

// The value text read as a signed 64-bit decimal number: leading blanks and a sign allowed,
// reading stops at the first other character, no digits give 0.
long long DecimalValue(const std::u16string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
    unsigned long long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        const unsigned digit = static_cast<unsigned>(text[i] - u'0');
        // Saturates instead of overflowing on absurdly long numbers.
        value = value > (0x7FFFFFFFFFFFFFFFULL - digit) / 10 ? 0x7FFFFFFFFFFFFFFFULL : value * 10 + digit;
    }
    return negative ? -static_cast<long long>(value) : static_cast<long long>(value);
}

}  // namespace

CJson* Medias::ReadRingtoneCatalogue() {
    bool readable = false;
    return ReadCatalogue(readable).release();
}

std::unique_ptr<CJson> Medias::ReadCatalogue(bool& readable) {
    auto result = std::make_unique<CJson>();
    readable = false;
    AFCService* media = MediaFiles();
    if (!media || !media->EnsureConnected()) return result;
    // The size is the phone's word: it decides what is read only once it is known to be within
    // the bound (a missing file and an empty one are both size 0: no catalogue).
    const int size = media->GetFileSize(kCataloguePath);
    if (size == 0) {
        readable = true;
        return result;
    }
    if (size < 0 || size > kMaxCatalogueBytes) return result;
    std::string bytes;
    // One byte more than the bound shows a file that grew past it since its size was read.
    if (!media->ReadFile(kCataloguePath, bytes, kMaxCatalogueBytes + 1)) return result;
    if (bytes.size() <= static_cast<size_t>(kMaxCatalogueBytes)) {
        readable = true;
        if (bytes.size() > 8 && std::memcmp(bytes.data(), "bplist00", 8) == 0) {
            CParseBplist parser;
            result.reset(
                parser.Parse(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size())));
            if (!result) result = std::make_unique<CJson>();
        }
    }
    std::memset(bytes.data(), 0, bytes.size());
    return result;
}

long long Medias::ChoosePersistentId(const std::u16string& catalogueText) {
    const std::string first = MakeRandomText(1, "123456789") + MakeRandomText(5, "0123456789");
    return ChoosePersistentId(catalogueText, std::atoll(first.c_str()));
}

long long Medias::ChoosePersistentId(const std::u16string& catalogueText, long long firstCandidate) {
    // A candidate's digits can only occur inside a run of digits of the text. For the candidates
    // of one width (six digits, then seven, ...) one pass over the text marks every number of
    // that width that occurs there as a window of a run (a window starting with 0 is no candidate's
    // text); the first unmarked one from the first candidate up is the id. A text of n characters
    // holds at most n windows of one width, so one of the first n + 1 candidates of a width is
    // always free: only that many are marked and looked at, and a width whose candidates are all
    // marked hands over to the next one.
    const long long first = std::max(firstCandidate, 1LL);
    const size_t length = catalogueText.size();
    int width = 1;
    unsigned long long low = 1;  // the smallest number of the width: 10^(width - 1)
    while (low * 10 <= static_cast<unsigned long long>(first)) {
        low *= 10;
        ++width;
    }
    // Widths up to 18 digits keep every number below 10^19; a text would need 10^17 characters
    // before they ran out.
    for (; width <= 18; ++width, low *= 10) {
        const unsigned long long end = low * 10;  // one past the largest number of the width
        const unsigned long long start = std::max(low, static_cast<unsigned long long>(first));
        const unsigned long long span = std::min<unsigned long long>(end - start, length + 1);
        std::vector<bool> taken(span, false);
        unsigned long long window = 0;  // the last `width` digits of the current run
        size_t run = 0;                 // the digits of the current run so far
        for (size_t i = 0; i < length; ++i) {
            const char16_t c = catalogueText[i];
            if (c < u'0' || c > u'9') {
                run = 0;
                window = 0;
                continue;
            }
            window = (window * 10 + static_cast<unsigned>(c - u'0')) % end;
            if (++run < static_cast<size_t>(width) || catalogueText[i + 1 - width] == u'0') continue;
            if (window >= start && window - start < span) taken[window - start] = true;
        }
        for (unsigned long long k = 0; k < span; ++k)
            if (!taken[k]) return static_cast<long long>(start + k);
    }
    return first;
}

void Medias::WriteRingtoneSyncPlist(CFMutableArrayRef operations, long long revision) {
    CFRef list = NewDictionary();
    Set(list, "operations", operations);
    SetInteger(list, "revision", revision);
    SetInteger(list, "timestamp", 0);
    const std::string bytes = Serialise(list);
    AFCService* media = MediaFiles();
    if (!media || !media->EnsureConnected()) return;
    media->ClearDirectory(kRingtoneSyncDir);
    const std::string path = Numbered(kRingtoneSyncFile, 0);
    media->WriteFile(path.c_str(), bytes.data(), static_cast<int>(bytes.size()));
    WaitForRemoteSize(path.c_str(), static_cast<int>(bytes.size()));
}

void Medias::WriteMediaSyncPlist() {
    CFRef dbInfo = NewDictionary();
    SetInteger(dbInfo, "audio_language", 0);
    SetInteger(dbInfo, "subtitle_language", 0);
    SetInteger(dbInfo, "primary_container_pid", 0);
    CFRef operation = NewDictionary();
    SetText(operation, "operation", "update_db_info");
    Set(operation, "db_info", dbInfo.get());
    SetInteger(operation, "pid", 0);
    CFRef operations = NewArray();
    Append(operations, operation.get());
    CFRef list = NewDictionary();
    SetInteger(list, "timestamp", 0);
    Set(list, "operations", operations.get());
    SetInteger(list, "revision", 0);
    const std::string bytes = Serialise(list);

    AFCService* media = MediaFiles();
    if (!media || !media->EnsureConnected()) return;
    media->ClearDirectory(kMediaSyncDir);
    // The companion file comes first, with no bytes.
    const std::string companion = Numbered(kMediaSyncCompanion, 0);
    media->WriteFile(companion.c_str(), "", 0);
    const std::string path = Numbered(kMediaSyncFile, 0);
    media->WriteFile(path.c_str(), bytes.data(), static_cast<int>(bytes.size()));
    WaitForRemoteSize(path.c_str(), static_cast<int>(bytes.size()));
}

void Medias::RequestRingtoneSync(std::initializer_list<const char*> dataclasses) {
    CFRef classes = TextArray(dataclasses);
    CFRef synced = TextArray({"Ringtone"});
    CFRef anchors = RingtoneAnchors();
    SendSyncRequest(As<CFArrayRef>(classes), As<CFDictionaryRef>(anchors), As<CFArrayRef>(synced));
}

void Medias::FinishRingtoneMetadata() {
    CFRef syncTypes = NewDictionary();
    SetInteger(syncTypes, "Ringtone", 1);
    CFRef anchors = RingtoneAnchors();
    FinishMetadataSync(As<CFDictionaryRef>(syncTypes), As<CFDictionaryRef>(anchors));
}

bool Medias::UploadAssets(const unsigned char* data, int length) {
    AFCService* media = MediaFiles();
    if (!media || !media->EnsureConnected()) return false;
    CFRef dataclass = MakeCFString("Ringtone");
    for (const std::string& id : AssetIds()) {
        if (id.size() > kMaxAssetIdLength) return false;
        CFRef assetId = MakeCFString(id.c_str());
        const std::string upload = kUploadDir + TextToAnsi(Utf8ToText(id));
        AppleApi.ATHostConnectionSendFileProgress(Connection(), As<CFStringRef>(assetId), As<CFStringRef>(dataclass),
                                                  1.0, 0, 0.0);
        media->WriteFile(upload.c_str(), reinterpret_cast<const char*>(data), length);
        AppleApi.ATHostConnectionSendFileProgress(Connection(), As<CFStringRef>(assetId), As<CFStringRef>(dataclass),
                                                  1.0, 0, 1.0);
        std::string final;
        const auto giveUp = std::chrono::steady_clock::now() + kNameDrawBound;
        do {
            if (std::chrono::steady_clock::now() > giveUp) return false;
            final = std::string(kFinalDir) + MakeRandomText(4, kUpperLetters) + ".m4r";
        } while (media->FileExists(final.c_str()));
        CFRef path = MakeCFString(AnsiToUtf8(final).c_str());
        AppleApi.ATHostConnectionSendAssetCompleted(Connection(), As<CFStringRef>(assetId), As<CFStringRef>(dataclass),
                                                    As<CFStringRef>(path));
    }
    return true;
}

bool Medias::AddRingtone(const unsigned char* data, int length, const char* title, int seconds) {
    bool result = false;
    ResetSessionState();
    const long long duration = static_cast<long long>(seconds) * 1000;
    std::u16string catalogueText;
    {
        bool readable = false;
        std::unique_ptr<CJson> catalogue = ReadCatalogue(readable);
        // The new persistent id must not be one the phone already has.
        if (!readable) return false;
        catalogueText = catalogue->ToString();
    }
    const auto stopped = [this] { return SyncFailed() || SyncFinished(); };

    CreateSignal();
    if (OpenSession()) {
        do {
            WaitForSignal();
            if (stopped()) break;
            RequestRingtoneSync({"Ringtone"});
            WaitForSignal();
            if (stopped()) break;

            const long long pid = ChoosePersistentId(catalogueText);
            const std::string titleUtf8 = AnsiToUtf8(title ? title : "");
            const std::string guid = MakeRandomText(16, "ABCDEF0123456789", "43MRZ4");
            CFRef item = NewDictionary();
            SetInteger(item, "album_pid", 0);
            SetText(item, "title", titleUtf8.c_str());
            SetText(item, "sort_name", titleUtf8.c_str());
            SetInteger(item, "total_time_ms", duration);
            SetInteger(item, "artist_pid", 0);
            SetInteger(item, "date_created", 0);
            SetBool(item, "is_ringtone", true);
            CFRef stats = NewDictionary();
            SetInteger(stats, "play_count_recent", 0);
            SetInteger(stats, "skip_count_recent", 0);
            SetInteger(stats, "skip_count_user", 0);
            SetBool(stats, "has_been_played", false);
            SetInteger(stats, "play_count_user", 0);
            CFRef info = NewDictionary();
            SetText(info, "guid", guid.c_str());
            CFRef format = NewDictionary();
            SetInteger(format, "bit_rate", 0);
            SetInteger(format, "audio_format", 502);
            SetInteger(format, "duration", duration);
            SetInteger(format, "sample_rate", 0);
            CFRef location = NewDictionary();
            SetText(location, "kind", "Ringtone");
            CFRef insert = NewDictionary();
            SetText(insert, "operation", "insert_track");
            Set(insert, "item", item.get());
            Set(insert, "item_stats", stats.get());
            Set(insert, "ringtone_info", info.get());
            Set(insert, "avformat_info", format.get());
            Set(insert, "location", location.get());
            SetInteger(insert, "pid", pid);
            CFRef operations = NewArray();
            Append(operations, insert.get());
            WriteRingtoneSyncPlist(As<CFMutableArrayRef>(operations), 0);
            WriteMediaSyncPlist();

            FinishRingtoneMetadata();
            WaitForSignal();
            if (stopped()) break;

            if (!UploadAssets(data, length)) break;
            WaitForSignal();
            // Only the phone's own word that the session went through makes the addition true.
            result = SyncFinished() && !SyncFailed();
        } while (false);
    }
    CloseSession();
    return result;
}

bool Medias::DeleteRingtones(const std::u16string& pidJson) {
    std::unique_ptr<CJson> request(CJson::Parse(pidJson));
    CJson* pids = request ? request->FindNode(u"PID", u"") : nullptr;
    if (!pids) return false;
    bool result = false;
    ResetSessionState();
    const int count = pids->GetChildCount();
    const auto stopped = [this] { return SyncFailed() || SyncFinished(); };

    CreateSignal();
    if (OpenSession()) {
        do {
            WaitForSignal();
            if (stopped()) break;
            RequestRingtoneSync({"Ringtone", "Medias"});
            WaitForSignal();
            if (stopped()) break;

            CFRef operations = NewArray();
            for (int i = 0; i < count; ++i) {
                CFRef remove = NewDictionary();
                SetText(remove, "operation", "delete_track");
                SetInteger(remove, "pid", DecimalValue(pids->GetChild(i)->GetValue()));
                Append(operations, remove.get());
            }
            WriteRingtoneSyncPlist(As<CFMutableArrayRef>(operations), count);
            WriteMediaSyncPlist();

            FinishRingtoneMetadata();
            WaitForSignal();
            result = SyncFinished() && !SyncFailed();
        } while (false);
    }
    SetPowerAssertion(false);
    CloseSession();
    return result;
}
