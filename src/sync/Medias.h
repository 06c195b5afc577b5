// Medias: the phone's ringtone library: reading its catalogue, and adding and deleting ringtones in one sync session each.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>

#include "CJson.h"
#include "SyncService.h"

// Made by a device link for one operation and bound to a service set whose media file system
// and device info are its own for that operation. An operation is true only when the phone
// ended the session with "SyncFinished"; "SyncFailed", a lost connection or an expired wait at
// any step gives false. The session is always closed before an operation returns.
class Medias : public SyncService {
public:
    // Asset ids are kept in fields of 30 bytes on the phone's side of the protocol; a longer one
    // is refused (the addition fails) rather than cut, which would name another upload path.
    static constexpr size_t kMaxAssetIdLength = 29;
    // The largest catalogue read. Catalogues of thousands of tones stay far below it; the size
    // the phone states for the file is checked against it before anything is allocated.
    static constexpr int kMaxCatalogueBytes = 64 * 1024 * 1024;

    // The catalogue "/iTunes_Control/iTunes/Ringtones.plist" as a tree (never null; empty when
    // the file is missing, empty, unreadable, larger than kMaxCatalogueBytes, 8 bytes or shorter,
    // or not a binary property list). The caller deletes it.
    CJson* ReadRingtoneCatalogue();
    // Adds the audio as a ringtone with the title (ANSI) and the duration in seconds. A catalogue
    // that is there but cannot be read whole (unreadable, or larger than kMaxCatalogueBytes)
    // fails the addition before any session: the new ids could not be checked against it.
    bool AddRingtone(const unsigned char* data, int length, const char* title, int seconds);
    // Deletes the ringtones whose persistent ids are the elements of the "PID" member of the
    // JSON text.
    bool DeleteRingtones(const std::u16string& pidJson);
    void WriteMediaSyncPlist();

    // The first persistent id whose decimal digits occur nowhere in the catalogue's JSON text
    // (not as a number, nor inside a longer number or any other text), counting up from a random
    // six-digit first candidate.
    static long long ChoosePersistentId(const std::u16string& catalogueText);
    // The same from a given first candidate (at least 1). One pass over the text, whatever its size.
    static long long ChoosePersistentId(const std::u16string& catalogueText, long long firstCandidate);

private:
    // The catalogue as a tree (never null, empty when there is none); readable is false when the
    // file is there but could not be read whole within kMaxCatalogueBytes.
    std::unique_ptr<CJson> ReadCatalogue(bool& readable);
    // Serialises the sync list, empties the folder, writes it as file number 0 and waits for it.
    void WriteRingtoneSyncPlist(apple::CFMutableArrayRef operations, long long revision);
    bool UploadAssets(const unsigned char* data, int length);
    // The sync request for ringtones with these data classes, anchors {"Ringtone": "1"}.
    void RequestRingtoneSync(std::initializer_list<const char*> dataclasses);
    // The end of the metadata phase: {"Ringtone": 1}, {"Ringtone": "1"}.
    void FinishRingtoneMetadata();
};
