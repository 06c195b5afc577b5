// HouseArrestServer: the virtual phone's house_arrest service, which vends an app's container over AFC.
#include "HouseArrestServer.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "AfcServer.h"
#include "BigEndian.h"
#include "PlistHolder.h"
#include "PlistInput.h"
#include "PlistStream.h"
#include "UniqueFd.h"
#include "VirtualPhone.h"
#include "WaitBound.h"

namespace ruvo::phone {
namespace {

int RequestTimeoutMs() {
    static const int bound = WaitBoundMs(kReceiveTimeoutVariable, kHouseArrestRequestTimeoutMs);
    return bound;
}

// Sends {key: value} as one framed XML property list.
bool SendReply(int fd, const char* key, const char* value) {
    PlistHolder reply(plist_new_dict());
    plist_dict_set_item(reply.get(), key, plist_new_string(value));
    return SendFramedPlist(fd, reply.get());
}

// Reads and parses the one request of the connection; nothing when it is malformed. The request is
// one small dictionary, read by libplist as it is (binary requests with odd but readable layouts
// included, which the general input checks would refuse).
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
