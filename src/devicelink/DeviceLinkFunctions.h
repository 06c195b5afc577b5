// DeviceLinkFunctions: the current link's values and files for callers that know only the current link.
#pragma once

#include <memory>
#include <string>

#include "CJson.h"

// Size of the value buffers of the copy functions.
inline constexpr int kDeviceValueBufferSize = 50;

// When the current link is ready and the value is not empty: the buffer is zeroed and the value
// in ANSI copied in, cut to 49 bytes so the buffer always ends in a zero. Otherwise the buffer
// keeps its contents.
void CopyProductType(char buffer[kDeviceValueBufferSize]);
void CopyProductVersion(char buffer[kDeviceValueBufferSize]);
void CopyBasebandVersion(char buffer[kDeviceValueBufferSize]);

// Reads the file of the current link's current file service; copies at most capacity bytes and
// returns how many, 0 on failure.
int ReadDeviceFile(const char* path, char* buffer, int capacity);
// Writes the file (creating missing folders); 1 for success, 0 for failure or no bytes.
int WriteDeviceFile(const char* path, const char* data, int length);

// A copy of the application's entry in the current link's installed-applications tree under
// the category ("SYSTEM" or "USER"); null when the link is not ready, the category is another
// key or the application is not there.
std::unique_ptr<CJson> FindInstalledApp(const std::u16string& category, const char* bundleId);

// DeviceLink::DeleteRingtones on GetDeviceLink(linkIndex) when that link exists, else 0 (defined
// with the ringtone operations).
int DeleteDeviceRingtones(const std::u16string& pidJson, int linkIndex);
