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

#include "TextEncoding.h"

namespace {

std::atomic<ReplaceHook> g_replaceHook{nullptr};

void RunHook(ReplaceStep step) {
    if (ReplaceHook hook = g_replaceHook.load()) hook(step);
}

// The descriptor closes itself on every way out of a helper.
class ScopedFd {
public:
    explicit ScopedFd(int fd) : m_fd(fd) {}
    ~ScopedFd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;

    int Get() const { return m_fd; }
    // Closes now and says whether the close succeeded: a failed close of a written file can
    // mean the bytes never reached it.
    bool Close() {
        const int fd = m_fd;
        m_fd = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int m_fd;
};

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
    ScopedFd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
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
    ScopedFd fd(::open(name.c_str(), flags, 0666));
    if (fd.Get() < 0) return false;
    if (!WriteAll(fd.Get(), bytes, EffectiveLength(bytes, length))) return false;
    return fd.Close();
}

bool WriteTextFile(const std::u16string& text, const std::u16string& path) {
    const std::string ansi = TextToAnsi(text);
    return WriteFileBytes(reinterpret_cast<const uint8_t*>(ansi.c_str()), static_cast<int64_t>(ansi.size()), path,
                          false);
}

bool ReplaceFileBytes(const uint8_t* bytes, int64_t length, const std::u16string& path) {
    const std::string name = TextToAnsi(path);
    if (name.empty() || name.back() == '/') return false;
    // The temporary file sits beside the file, so the rename stays on one file system and is
    // atomic; its unique name keeps two processes saving at once from writing into each other.
    std::string temporary = name + ".tmp-XXXXXX";
    ScopedFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.Get() < 0) return false;
    RunHook(ReplaceStep::Created);

    bool ok = true;
    int64_t remaining = EffectiveLength(bytes, length);
    const uint8_t* next = bytes;
    while (ok && remaining > 0) {
        const int64_t chunk = remaining < kReplaceChunkBytes ? remaining : kReplaceChunkBytes;
        ok = WriteAll(fd.Get(), next, chunk);
        next += chunk;
        remaining -= chunk;
        if (ok && remaining > 0) RunHook(ReplaceStep::ChunkWritten);
    }
    if (ok) RunHook(ReplaceStep::Written);
    // The bytes must be on the disk before the name points at them, or a power cut after the
    // rename could leave an empty or partial file under the old name.
    ok = ok && ::fsync(fd.Get()) == 0;
    if (ok) RunHook(ReplaceStep::Flushed);
    ok = fd.Close() && ok;
    ok = ok && ::rename(temporary.c_str(), name.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // Flushing the folder makes the rename itself durable; the file is whole either way, so a
    // folder that cannot be flushed does not fail the save.
    ScopedFd folder(::open(FolderOf(name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() >= 0) ::fsync(folder.Get());
    return true;
}

bool ReplaceTextFile(const std::u16string& text, const std::u16string& path) {
    const std::string ansi = TextToAnsi(text);
    return ReplaceFileBytes(reinterpret_cast<const uint8_t*>(ansi.c_str()), static_cast<int64_t>(ansi.size()), path);
}

void SetReplaceHook(ReplaceHook hook) { g_replaceHook.store(hook); }
