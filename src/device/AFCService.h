// AFCService: file access over an AFC-speaking device service (the media area unless a subclass says otherwise).
#pragma once

#include <climits>
#include <cstdint>
#include <string>

#include "AppleKernelService.h"

// Paths are text in the ANSI code page, absolute within the connection's file system (a path
// without a leading "/" means the same place); they are converted to UTF-8 for the library.
// Every primitive is one library call and is true when the library returned 0. Byte results are
// std::string (zero-terminated, owned by the caller).
class AFCService : public AppleKernelService {
public:
    static constexpr uint64_t kModeRead = 1;
    static constexpr uint64_t kModeWrite = 3;  // create, truncate
    // The I/O time limit handed to the library with every connection, in seconds.
    static constexpr unsigned int kIoTimeoutSeconds = 5;

    AFCService() = default;
    explicit AFCService(apple::AMDeviceRef device) : AppleKernelService(device) {}

    // Starts the object's device service: a positive socket on success.
    virtual int Open();
    // True when connected, else opens the service and the AFC connection over it.
    bool EnsureConnected();
    // Closes only the AFC connection.
    void CloseConnection();
    bool Connected() const { return m_afc != nullptr; }

    // The file's info pairs as a new dictionary of strings (caller releases) when info is not
    // null; true when the path exists.
    bool GetFileInfo(const char* path, apple::CFMutableDictionaryRef* info);
    bool FileExists(const char* path);
    // The "st_size" of the path (its leading digits), 0 when unknown.
    int GetFileSize(const char* path);
    // The file's first limit bytes (the whole file by default) in one read; false for a missing
    // or empty file. Only what is asked for is allocated, whatever the file's size.
    bool ReadFile(const char* path, std::string& bytes, int limit = INT_MAX);
    // Writes the whole block, creating missing folders of the path first when the file is new
    // or empty.
    bool WriteFile(const char* path, const char* bytes, int length);
    // Removes every entry of the folder (path ending in "/"); results are not reported.
    void ClearDirectory(const char* directory);

    uint64_t OpenFile(const char* path, uint64_t mode);
    bool CloseFile(uint64_t reference);
    bool ReadChunk(uint64_t reference, char* buffer, int length, int& got);
    bool ReadExact(uint64_t reference, std::string& destination, int total);
    bool WriteChunk(uint64_t reference, const char* bytes, int length);
    bool RemovePath(const char* path);
    bool MakeDirectory(const char* path);
    bool OpenDirectory(const char* path, apple::AFCDirectoryRef* handle);
    // The next entry's name (UTF-8, owned by the handle); false at a failure.
    bool ReadDirectory(apple::AFCDirectoryRef handle, char** name);
    bool CloseDirectory(apple::AFCDirectoryRef handle);
    bool RenamePath(const char* from, const char* to);
};
