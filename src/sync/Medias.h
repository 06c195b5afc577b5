// Medias: the phone's ringtone library: reading its catalogue, and adding and deleting ringtones in one sync session each.
#pragma once

#include <initializer_list>
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

    // The catalogue "/iTunes_Control/iTunes/Ringtones.plist" as a tree (never null; empty when
    // the file is missing, empty, 8 bytes or shorter, or not a binary property list). The caller
    // deletes it.
    CJson* ReadRingtoneCatalogue();
    // Adds the audio as a ringtone with the title (ANSI) and the duration in seconds.
    bool AddRingtone(const unsigned char* data, int length, const char* title, int seconds);
    // Deletes the ringtones whose persistent ids are the elements of the "PID" member of the
    // JSON text.
    bool DeleteRingtones(const std::u16string& pidJson);
    void WriteMediaSyncPlist();

    // The first persistent id not occurring in the catalogue's JSON text, starting from a random one.
    static long long ChoosePersistentId(const std::u16string& catalogueText);

private:
    // Serialises the sync list, empties the folder, writes it as file number 0 and waits for it.
    void WriteRingtoneSyncPlist(apple::CFMutableArrayRef operations, long long revision);
    bool UploadAssets(const unsigned char* data, int length);
    // The sync request for ringtones with these data classes, anchors {"Ringtone": "1"}.
    void RequestRingtoneSync(std::initializer_list<const char*> dataclasses);
    // The end of the metadata phase: {"Ringtone": 1}, {"Ringtone": "1"}.
    void FinishRingtoneMetadata();
};
