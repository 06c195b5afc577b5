// FileHelpers: whole-file reads and writes of the computer's files, and the atomic replacement of a file.
#include "FileHelpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "ReplaceFile.h"
#include "TextEncoding.h"
#include "UniqueFd.h"

namespace {

std::atomic<ReplaceHook> g_replaceHook{nullptr};

void RunHook(ReplaceStep step) {
    if (ReplaceHook hook = g_replaceHook.load()) hook(step);
}

// The descriptor closes itself on every way out of a helper.
using ruvo::UniqueFd;

// The replacement itself is common/ReplaceFile's; its steps are this file's ReplaceStep.
static_assert(kReplaceChunkBytes == static_cast<int64_t>(ruvo::kReplaceFileChunkBytes));
static_assert(static_cast<int>(ReplaceStep::Created) == static_cast<int>(ruvo::ReplaceFileStep::Created) &&
              static_cast<int>(ReplaceStep::ChunkWritten) == static_cast<int>(ruvo::ReplaceFileStep::ChunkWritten) &&
              static_cast<int>(ReplaceStep::Written) == static_cast<int>(ruvo::ReplaceFileStep::Written) &&
              static_cast<int>(ReplaceStep::Flushed) == static_cast<int>(ruvo::ReplaceFileStep::Flushed));

// A length of 0 means the bytes run up to their first zero byte.
int64_t EffectiveLength(const uint8_t* bytes, int64_t length) {
    if (bytes == nullptr || length < 0) return 0;
    if (length == 0) return static_cast<int64_t>(std::strlen(reinterpret_cast<const char*>(bytes)));
    return length;
}

bool WriteAll(int fd, const uint8_t* bytes, int64_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, static_cast<size_t>(length));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += n;
        length -= n;
    }
    return true;
}

// The folder that holds the file named by these path bytes, for flushing a rename in it.
std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

int64_t ReadFileBytes(const std::u16string& path, int64_t maxLength, std::unique_ptr<uint8_t[]>& bytes) {
    const std::string name = TextToAnsi(path);
    if (name.empty()) return -1;
    UniqueFd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) return -1;
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || S_ISDIR(info.st_mode)) return -1;
    int64_t length = info.st_size;
    if (maxLength > 0 && maxLength < length) length = maxLength;
    // The length is the file's own, checked against the caller's maximum before anything is
    // allocated; an allocation that still fails is a failed read, not an exception.
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[static_cast<size_t>(length) + 1]);
    if (!buffer) return -1;
    int64_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(fd.Get(), buffer.get() + done, static_cast<size_t>(length - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            explicit_bzero(buffer.get(), static_cast<size_t>(length) + 1);
            return -1;
        }
        if (n == 0) break;  // the file became shorter while it was read
        done += n;
    }
    buffer[done] = 0;
    bytes = std::move(buffer);
    return done;
}

std::u16string ReadTextFile(const std::u16string& path) {
    std::unique_ptr<uint8_t[]> bytes;
    const int64_t length = ReadFileBytes(path, 0, bytes);
    if (length <= 0) return std::u16string();
    const std::u16string text = AnsiToText(std::string_view(reinterpret_cast<const char*>(bytes.get())));
    // The record file holds what its user did: the copy in memory does not outlive its use.
    explicit_bzero(bytes.get(), static_cast<size_t>(length) + 1);
    return text;
}

bool WriteFileBytes(const uint8_t* bytes, int64_t length, const std::u16string& path, bool append) {
    const std::string name = TextToAnsi(path);
    if (name.empty()) return false;
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    UniqueFd fd(::open(name.c_str(), flags, 0666));
    if (fd.Get() < 0) return false;
    if (!WriteAll(fd.Get(), bytes, EffectiveLength(bytes, length))) return false;
    return fd.Close();
}

bool WriteTextFile(const std::u16string& text, const std::u16string& path) {
    const std::string ansi = TextToAnsi(text);
    return WriteFileBytes(reinterpret_cast<const uint8_t*>(ansi.c_str()), static_cast<int64_t>(ansi.size()), path,
                          false);
}

bool ReplaceFileBytes(const uint8_t* bytes, int64_t length, const std::u16string& path, ruvo::ReplaceFileGate* gate) {
    const std::string name = TextToAnsi(path);
    if (name.empty() || name.back() == '/') return false;
    // A temporary file of the user's alone beside the file, written in chunks, flushed and
    // renamed over it (common/ReplaceFile), with the test hook at each step.
    const std::string_view content(reinterpret_cast<const char*>(bytes),
                                   static_cast<size_t>(EffectiveLength(bytes, length)));
    if (!ruvo::ReplaceFileAt(AT_FDCWD, name, content, 0600,
                             [](ruvo::ReplaceFileStep step) { RunHook(static_cast<ReplaceStep>(step)); }, gate))
        return false;
    // Flushing the folder makes the rename itself durable; the file is whole either way, so a
    // folder that cannot be flushed does not fail the save.
    UniqueFd folder(::open(FolderOf(name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() >= 0) ::fsync(folder.Get());
    return true;
}

bool ReplaceTextFile(const std::u16string& text, const std::u16string& path, ruvo::ReplaceFileGate* gate) {
    const std::string ansi = TextToAnsi(text);
    return ReplaceFileBytes(reinterpret_cast<const uint8_t*>(ansi.c_str()), static_cast<int64_t>(ansi.size()), path,
                            gate);
}

void SetReplaceHook(ReplaceHook hook) { g_replaceHook.store(hook); }
