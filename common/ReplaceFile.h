// ReplaceFile: writes a whole file beside its final name and renames it into place.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <chrono>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>

namespace ruvo {

// The moments of a replacement before the rename, for an optional step callback: a test can stop
// the process there to show that a replacement cut short leaves the old file whole.
enum class ReplaceFileStep {
    Created,       // the temporary file exists, still empty
    ChunkWritten,  // a chunk of the bytes is written and more are to come
    Written,       // every byte is written, not yet flushed
    Flushed,       // flushed to the disk, not yet renamed
};
using ReplaceFileStepCallback = std::function<void(ReplaceFileStep)>;

// The bytes go to the temporary file in chunks of this size.
inline constexpr size_t kReplaceFileChunkBytes = 64 * 1024;

// A gate over the replacements of one file, for an owner that may end the process (std::_Exit)
// while a replacement runs on another thread: closing the gate calls off every replacement that
// has not renamed yet and removes the temporary file of the one under way, so the old file stays
// whole and nothing is left beside it. The temporary file is created, renamed and removed with the
// gate's lock held, so the gate always knows the temporary file that exists.
class ReplaceFileGate {
public:
    // Closes the gate, waiting at most bound for a creation or rename under way (both short);
    // false when that did not end in time (the gate is then left open).
    bool Close(std::chrono::milliseconds bound) {
        // A plain mutex tried again and again rather than a timed one: thread checkers follow
        // try_lock, and this wait happens once, at the end of the process.
        std::unique_lock lock(m_lock, std::defer_lock);
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!lock.try_lock()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        m_closed = true;
        RemoveLocked();
        return true;
    }

    // For ReplaceFileAt: creates the temporary file with create(temp) unless the gate is closed;
    // the descriptor or -1.
    template <typename Create>
    int CreateTemporary(int dirFd, std::string& temp, Create create) {
        std::scoped_lock lock(m_lock);
        if (m_closed) return -1;
        const int fd = create(temp);
        if (fd >= 0) {
            m_dirFd = dirFd;
            m_temporary = temp;
        }
        return fd;
    }
    // For ReplaceFileAt: renames the temporary file over name when the gate is still open and ok
    // is true, else removes it (unless closing the gate has removed it already).
    bool Finish(bool ok, const std::string& name) {
        std::scoped_lock lock(m_lock);
        if (m_closed || m_temporary.empty()) return false;
        if (ok && ::renameat(m_dirFd, m_temporary.c_str(), m_dirFd, name.c_str()) == 0) {
            m_temporary.clear();
            return true;
        }
        RemoveLocked();
        return false;
    }

private:
    void RemoveLocked() {
        if (!m_temporary.empty()) ::unlinkat(m_dirFd, m_temporary.c_str(), 0);
        m_temporary.clear();
    }

    std::mutex m_lock;
    bool m_closed = false;    // under m_lock
    int m_dirFd = AT_FDCWD;   // the folder of m_temporary, under m_lock
    std::string m_temporary;  // the temporary file in existence, empty when none; under m_lock
};

namespace replace_file {

// Creates "<name>.tmp-XXXXXX" (six random letters and digits) in dirFd with mode, never opening a
// file that exists already (another name is tried when one is taken, as mkostemp does), so two
// processes or threads saving the same file at once never write into each other's temporary
// file. The descriptor, or -1; the name in temp.
inline int CreateTemporary(int dirFd, const std::string& name, mode_t mode, std::string& temp) {
    static constexpr char kSymbols[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned seed = 0;
    try {
        seed = std::random_device{}();
    } catch (...) {
        return -1;  // no source of randomness: a failed replacement, not an exception
    }
    std::minstd_rand random(seed);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = name + ".tmp-";
        for (int i = 0; i < 6; ++i) temp += kSymbols[random() % (sizeof kSymbols - 1)];
        const int fd = ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Writes every byte; false when a write fails or writes nothing.
inline bool WriteAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace replace_file

// Replaces the file name of dirFd (AT_FDCWD for a path) with bytes: a temporary file beside it
// (same folder, so the rename stays on one file system and is atomic) is created with mode,
// written in chunks, flushed to disk and renamed over it, so that a reader sees either the old
// content or the new one, never half of one, and a crash at any moment leaves one of them whole
// (and at worst a stray temporary file beside it). onStep, when given, is called at each step
// before the rename (it must not throw). False when any step fails; the old file is then untouched and the temporary
// file removed. Flushing the folder after the rename is left to callers that need it.
// With a gate, the replacement is one of the gate's (see ReplaceFileGate).
inline bool ReplaceFileAt(int dirFd, const std::string& name, std::string_view bytes, mode_t mode = 0644,
                          const ReplaceFileStepCallback& onStep = nullptr, ReplaceFileGate* gate = nullptr) {
    std::string temp;
    const auto create = [&](std::string& created) { return replace_file::CreateTemporary(dirFd, name, mode, created); };
    const int fd = gate ? gate->CreateTemporary(dirFd, temp, create) : create(temp);
    if (fd < 0) return false;
    const auto step = [&onStep](ReplaceFileStep reached) {
        if (onStep) onStep(reached);
    };
    step(ReplaceFileStep::Created);

    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const size_t chunk = std::min(bytes.size() - done, kReplaceFileChunkBytes);
        ok = replace_file::WriteAll(fd, bytes.data() + done, chunk);
        done += chunk;
        if (ok && done < bytes.size()) step(ReplaceFileStep::ChunkWritten);
    }
    if (ok) step(ReplaceFileStep::Written);
    // The bytes must be on the disk before the name points at them, or a power cut after the
    // rename could leave an empty or partial file under the old name.
    ok = ok && ::fsync(fd) == 0;
    if (ok) step(ReplaceFileStep::Flushed);
    // A failed close of a written file can mean the bytes never reached it.
    ok = ::close(fd) == 0 && ok;
    if (gate) return gate->Finish(ok, name);
    ok = ok && ::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) == 0;
    if (!ok) {
        ::unlinkat(dirFd, temp.c_str(), 0);
        return false;
    }
    return true;
}

}  // namespace ruvo
