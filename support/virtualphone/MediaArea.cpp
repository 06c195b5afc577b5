// MediaArea: folders opened, files read, replaced and removed beneath a phone's media root.
#include "MediaArea.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ReplaceFile.h"
#include "VirtualPhone.h"

namespace ruvo::phone {

MediaArea::MediaArea(const std::string& phoneDir)
    : m_resolver(OpenPhoneFolder(phoneDir, {"media"}), afc::Resolution::Auto), m_valid(m_resolver.Root() >= 0) {}

std::optional<std::vector<std::string>> MediaArea::Normalise(std::string_view path) {
    std::vector<std::string> parts;
    for (std::string& part : afc::SplitPath(path)) {
        if (part != "..") {
            parts.push_back(std::move(part));
        } else if (parts.empty()) {
            return std::nullopt;
        } else {
            parts.pop_back();
        }
    }
    return parts;
}

namespace {

// A descriptor from the resolver, or an invalid one with errno set.
UniqueFd Opened(int fdOrError) {
    if (fdOrError >= 0) return UniqueFd(fdOrError);
    errno = -fdOrError;
    return UniqueFd();
}

}  // namespace

UniqueFd MediaArea::OpenFolder(const std::vector<std::string>& parts, MakeMissing make) {
    if (!m_valid) {
        errno = ENOENT;
        return UniqueFd();
    }
    if (make == MakeMissing::No) return Opened(m_resolver.Open(parts, O_PATH | O_DIRECTORY, 0));
    // One level at a time, so that each missing folder is made inside the one above it.
    std::vector<std::string> prefix;
    UniqueFd folder(::fcntl(m_resolver.Root(), F_DUPFD_CLOEXEC, 0));
    for (const std::string& part : parts) {
        if (!folder.Valid()) break;
        prefix.push_back(part);
        int fd = m_resolver.Open(prefix, O_PATH | O_DIRECTORY, 0);
        if (fd == -ENOENT && part != ".." && ::mkdirat(folder.Get(), part.c_str(), 0755) == 0)
            fd = m_resolver.Open(prefix, O_PATH | O_DIRECTORY, 0);
        folder = Opened(fd);
    }
    return folder;
}

FileRead MediaArea::ReadFile(const std::vector<std::string>& parts, size_t limit, std::string& out) {
    if (!m_valid || parts.empty()) return FileRead::Failed;
    const int fd = m_resolver.Open(parts, O_RDONLY | O_NONBLOCK, 0);
    if (fd == -ENOENT) return FileRead::Missing;
    if (fd < 0) return FileRead::Failed;
    UniqueFd file(fd);
    struct stat st {};
    if (::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uintmax_t>(st.st_size) > limit)
        return FileRead::Failed;
    out.assign(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::read(file.Get(), out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    // A file that shrank while it was read is not the file that was asked for.
    return done == out.size() ? FileRead::Ok : FileRead::Failed;
}

bool MediaArea::ReplaceFile(const std::vector<std::string>& parts, std::string_view bytes) {
    if (parts.empty()) return false;
    const UniqueFd folder = OpenFolder({parts.begin(), parts.end() - 1}, MakeMissing::Yes);
    return folder.Valid() && ReplaceFileAt(folder.Get(), parts.back(), bytes);
}

bool MediaArea::RemoveFile(const std::vector<std::string>& parts) {
    if (!m_valid || parts.empty()) return false;
    const int fd = m_resolver.Open({parts.begin(), parts.end() - 1}, O_PATH | O_DIRECTORY, 0);
    if (fd == -ENOENT) return true;
    if (fd < 0) return false;
    const UniqueFd folder(fd);
    return ::unlinkat(folder.Get(), parts.back().c_str(), 0) == 0 || errno == ENOENT;
}

}  // namespace ruvo::phone
