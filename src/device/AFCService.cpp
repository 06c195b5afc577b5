// AFCService: the AFC primitives on the object's connection, whole-file reads and writes, folder clearing.
#include "AFCService.h"

#include <algorithm>
#include <cstring>

#include "AppleApi.h"
#include "CopyCFStringUtf8.h"
#include "TextEncoding.h"

using namespace apple;

namespace {

std::string DevicePath(const char* path) { return AnsiToUtf8(path ? path : ""); }

// The leading decimal digits of text as a signed 32-bit number (0 when there are none).
int LeadingNumber(const char* text) {
    long long value = 0;
    const char* p = text;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > 0x7FFFFFFFLL) return negative ? -0x7FFFFFFF - 1 : 0x7FFFFFFF;
    }
    return static_cast<int>(negative ? -value : value);
}

}  // namespace

int AFCService::Open() { return StartService("com.apple.afc"); }

bool AFCService::EnsureConnected() {
    if (m_afc) return true;
    if (Open() <= 0) return false;
    if (AppleApi.AFCConnectionOpen(m_socket, kIoTimeoutSeconds, &m_afc) != 0) {
        m_afc = nullptr;
        return false;
    }
    return true;
}

void AFCService::CloseConnection() {
    if (!m_afc) return;
    AppleApi.AFCConnectionClose(m_afc);
    m_afc = nullptr;
}

bool AFCService::GetFileInfo(const char* path, CFMutableDictionaryRef* info) {
    if (info) *info = nullptr;
    AFCKeyValueRef pairs = nullptr;
    if (!m_afc || AppleApi.AFCFileInfoOpen(m_afc, DevicePath(path).c_str(), &pairs) != 0) return false;
    if (info) {
        // The dictionary retains its strings, so it owns what it holds.
        *info = AppleApi.CFDictionaryCreateMutable(nullptr, 0, AppleApi.kCFTypeDictionaryKeyCallBacks,
                                                   AppleApi.kCFTypeDictionaryValueCallBacks);
        for (;;) {
            const char* key = nullptr;
            const char* value = nullptr;
            if (AppleApi.AFCKeyValueRead(pairs, &key, &value) != 0 || !key || !value) break;
            if (!*info) continue;
            CFStringRef keyString = AppleApi.CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
            CFStringRef valueString = AppleApi.CFStringCreateWithCString(nullptr, value, kCFStringEncodingUTF8);
            if (keyString && valueString) AppleApi.CFDictionarySetValue(*info, keyString, valueString);
            if (keyString) AppleApi.CFRelease(keyString);
            if (valueString) AppleApi.CFRelease(valueString);
        }
    }
    AppleApi.AFCKeyValueClose(pairs);
    return true;
}

bool AFCService::FileExists(const char* path) { return GetFileInfo(path, nullptr); }

int AFCService::GetFileSize(const char* path) {
    CFMutableDictionaryRef info = nullptr;
    if (!GetFileInfo(path, &info) || !info) return 0;
    int size = 0;
    if (CFStringRef key = AppleApi.CFStringCreateWithCString(nullptr, "st_size", kCFStringEncodingUTF8)) {
        const void* value = AppleApi.CFDictionaryGetValue(info, key);
        if (value && AppleApi.CFGetTypeID(value) == AppleApi.CFStringGetTypeID()) {
            if (auto text = CopyCFStringUtf8(static_cast<CFStringRef>(value))) size = LeadingNumber(text->c_str());
        }
        AppleApi.CFRelease(key);
    }
    AppleApi.CFRelease(info);
    return size;
}

bool AFCService::ReadFile(const char* path, std::string& bytes, int limit) {
    const int size = std::min(GetFileSize(path), limit);
    if (size <= 0) return false;
    const uint64_t reference = OpenFile(path, kModeRead);
    if (reference == 0) return false;
    std::string buffer(static_cast<size_t>(size), '\0');
    int got = 0;
    const bool read = ReadChunk(reference, buffer.data(), size, got);
    CloseFile(reference);
    if (!read) {
        std::memset(buffer.data(), 0, buffer.size());
        return false;
    }
    buffer.resize(static_cast<size_t>(got));
    bytes = std::move(buffer);
    return true;
}

bool AFCService::WriteFile(const char* path, const char* bytes, int length) {
    if (!path || length < 0) return false;
    if (GetFileSize(path) == 0) {
        // The folder part of the path, without leading "/": "a/b/" of "/a/b/c".
        std::string dir(path);
        const size_t slash = dir.rfind('/');
        dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
        const size_t first = dir.find_first_not_of('/');
        dir.erase(0, first == std::string::npos ? dir.size() : first);
        AFCDirectoryRef handle = nullptr;
        if (OpenDirectory(dir.c_str(), &handle)) {
            CloseDirectory(handle);
        } else {
            std::string built;
            for (size_t next = dir.find('/'); next != std::string::npos && next > 0; next = dir.find('/')) {
                built += "/" + dir.substr(0, next);
                dir.erase(0, next + 1);
                if (OpenDirectory(built.c_str(), &handle)) {
                    CloseDirectory(handle);
                } else if (!MakeDirectory(built.c_str())) {
                    return false;
                }
            }
        }
    }
    const uint64_t reference = OpenFile(path, kModeWrite);
    if (reference == 0) return false;
    const bool written = WriteChunk(reference, bytes, length);
    CloseFile(reference);
    return written;
}

void AFCService::ClearDirectory(const char* directory) {
    AFCDirectoryRef handle = nullptr;
    if (!directory || !OpenDirectory(directory, &handle)) return;
    char* name = nullptr;
    while (ReadDirectory(handle, &name) && name) {
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        const std::string path = std::string(directory) + TextToAnsi(Utf8OrAnsiToText(name));
        RemovePath(path.c_str());
    }
    CloseDirectory(handle);
}

uint64_t AFCService::OpenFile(const char* path, uint64_t mode) {
    AFCFileRef reference = 0;
    if (!m_afc || AppleApi.AFCFileRefOpen(m_afc, DevicePath(path).c_str(), mode, &reference) != 0) return 0;
    return reference;
}

bool AFCService::CloseFile(uint64_t reference) { return m_afc && AppleApi.AFCFileRefClose(m_afc, reference) == 0; }

bool AFCService::ReadChunk(uint64_t reference, char* buffer, int length, int& got) {
    got = 0;
    if (!m_afc || length < 0) return false;
    uint32_t size = static_cast<uint32_t>(length);
    if (AppleApi.AFCFileRefRead(m_afc, reference, buffer, &size) != 0) return false;
    got = static_cast<int>(std::min<uint32_t>(size, static_cast<uint32_t>(length)));
    return true;
}

bool AFCService::ReadExact(uint64_t reference, std::string& destination, int total) {
    constexpr int kPiece = 1024;
    if (total < 0) return false;
    std::string work(static_cast<size_t>(std::min(total, kPiece)), '\0');
    int received = 0;
    bool complete = true;
    while (received < total) {
        int got = 0;
        if (!ReadChunk(reference, work.data(), std::min(kPiece, total - received), got) || got == 0) {
            complete = false;
            break;
        }
        destination.append(work.data(), static_cast<size_t>(got));
        received += got;
    }
    std::memset(work.data(), 0, work.size());
    return complete;
}

bool AFCService::WriteChunk(uint64_t reference, const char* bytes, int length) {
    if (!m_afc || length < 0) return false;
    return AppleApi.AFCFileRefWrite(m_afc, reference, bytes, static_cast<uint32_t>(length)) == 0;
}

bool AFCService::RemovePath(const char* path) {
    return m_afc && AppleApi.AFCRemovePath(m_afc, DevicePath(path).c_str()) == 0;
}

bool AFCService::MakeDirectory(const char* path) {
    return m_afc && AppleApi.AFCDirectoryCreate(m_afc, DevicePath(path).c_str()) == 0;
}

bool AFCService::OpenDirectory(const char* path, AFCDirectoryRef* handle) {
    *handle = nullptr;
    if (!m_afc || AppleApi.AFCDirectoryOpen(m_afc, DevicePath(path).c_str(), handle) != 0) {
        *handle = nullptr;
        return false;
    }
    return true;
}

bool AFCService::ReadDirectory(AFCDirectoryRef handle, char** name) {
    *name = nullptr;
    return m_afc && AppleApi.AFCDirectoryRead(m_afc, handle, name) == 0;
}

bool AFCService::CloseDirectory(AFCDirectoryRef handle) {
    return m_afc && AppleApi.AFCDirectoryClose(m_afc, handle) == 0;
}

bool AFCService::RenamePath(const char* from, const char* to) {
    return m_afc && AppleApi.AFCRenamePath(m_afc, DevicePath(from).c_str(), DevicePath(to).c_str()) == 0;
}
