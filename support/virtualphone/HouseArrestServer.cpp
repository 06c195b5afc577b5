// HouseArrestServer: the virtual phone's house_arrest service, which vends an app's container over AFC.
#include "HouseArrestServer.h"

#include <plist/plist.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "AfcServer.h"
#include "BigEndian.h"
#include "PlistHolder.h"
#include "UniqueFd.h"
#include "VirtualPhone.h"
#include "WaitBound.h"

namespace ruvo::phone {
namespace {

// Reads exactly length bytes; false at end of stream, on an error, or when the whole read takes
// longer than timeoutMs.
bool ReadExact(int fd, char* buffer, size_t length, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (length > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t got = ::recv(fd, buffer, length, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return false;
        buffer += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

int RequestTimeoutMs() {
    static const int bound = WaitBoundMs(kReceiveTimeoutVariable, kHouseArrestRequestTimeoutMs);
    return bound;
}

bool WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        // MSG_NOSIGNAL: a client that went away must not take the whole process down with SIGPIPE.
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

std::optional<std::string> StringMember(plist_t dict, const char* key) {
    return PlistString(plist_dict_get_item(dict, key));
}

// Sends {key: value} as one framed XML property list.
bool SendReply(int fd, const char* key, const char* value) {
    PlistHolder reply(plist_new_dict());
    plist_dict_set_item(reply.get(), key, plist_new_string(value));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(reply.get(), &xml, &length);
    if (!xml) return false;
    const unsigned char header[4] = {static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
                                     static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
    const bool sent = WriteAll(fd, reinterpret_cast<const char*>(header), sizeof header) && WriteAll(fd, xml, length);
    plist_to_xml_free(xml);
    return sent;
}

// Reads and parses the one request of the connection; nothing when it is malformed.
PlistHolder ReadRequest(int fd) {
    unsigned char header[4];
    if (!ReadExact(fd, reinterpret_cast<char*>(header), sizeof header, RequestTimeoutMs())) return nullptr;
    const uint64_t length = ReadBigEndian(header, sizeof header);
    if (length == 0 || length > kMaxHouseArrestRequest) return nullptr;
    std::string body(length, '\0');
    if (!ReadExact(fd, body.data(), body.size(), RequestTimeoutMs())) return nullptr;
    // XML has no place for a NUL byte, and libplist would copy one into a string.
    if (!body.starts_with("bplist") && body.find('\0') != std::string::npos) return nullptr;
    plist_t request = nullptr;
    plist_from_memory(body.data(), static_cast<uint32_t>(body.size()), &request);
    PlistHolder owned(request);
    if (!owned || plist_get_node_type(owned.get()) != PLIST_DICT) return nullptr;
    return owned;
}

// A bundle id names one folder under containers/; anything that could step elsewhere is no app.
bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// The folder to vend for the app, when the phone has it as a User app with a container. It is
// opened from the phone's folder one name at a time without following links, so a link that a
// client made inside the phone never becomes the root of a connection.
UniqueFd VendedRoot(const std::string& phoneDir, const std::string& bundleId, bool documentsOnly) {
    if (!IsPlainName(bundleId)) return UniqueFd();
    const auto config = LoadPhone(phoneDir);
    if (!config) return UniqueFd();
    const auto& apps = config->userApps;
    if (std::find(apps.begin(), apps.end(), bundleId) == apps.end()) return UniqueFd();
    if (documentsOnly) return OpenPhoneFolder(phoneDir, {"containers", bundleId, "Documents"});
    return OpenPhoneFolder(phoneDir, {"containers", bundleId});
}

void Serve(UniqueFd& connection, const std::string& phoneDir) {
    PlistHolder request = ReadRequest(connection.Get());
    if (!request) return;
    const auto command = StringMember(request.get(), "Command");
    const bool vendContainer = command == "VendContainer";
    const bool vendDocuments = command == "VendDocuments";
    if (!vendContainer && !vendDocuments) {
        SendReply(connection.Get(), "Error", "UnknownCommand");
        return;
    }
    const auto identifier = StringMember(request.get(), "Identifier");
    UniqueFd root = identifier ? VendedRoot(phoneDir, *identifier, vendDocuments) : UniqueFd();
    if (!root.Valid()) {
        SendReply(connection.Get(), "Error", "InstallationLookupFailed");
        return;
    }
    if (!SendReply(connection.Get(), "Status", "Complete")) return;
    // From here on the connection speaks AFC; the AFC server closes it when the client is done.
    afc::ServeAfc(connection.Release(), std::move(root));
}

}  // namespace

void ServeHouseArrest(int fd, const std::string& phoneDir) {
    UniqueFd connection(fd);
    try {
        Serve(connection, phoneDir);
    } catch (...) {
        // Out of memory or a file-system failure while looking up the app: the connection just ends.
    }
}

}  // namespace ruvo::phone
