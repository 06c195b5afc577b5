// HouseArrestServer: the virtual phone's house_arrest service, which vends an app's container over AFC.
#pragma once

#include <cstdint>
#include <string>

namespace ruvo::phone {

// A request is a few hundred bytes; a longer announced body ends the connection unread. The bound
// also keeps what reaches libplist small: its parsers have no nesting limit of their own.
inline constexpr uint32_t kMaxHouseArrestRequest = 64 * 1024;
// How long the service waits for the whole request before it gives up on the client.
inline constexpr int kHouseArrestRequestTimeoutMs = 30000;

// Serves one house_arrest connection for the phone in phoneDir on fd, which it takes over and
// closes when done. One request per connection, framed as a 4-byte big-endian length and a
// property list (XML or binary): {"Command": "VendContainer" | "VendDocuments", "Identifier": id}.
// A User app of the phone with a container gets {"Status": "Complete"}, and the connection then
// carries AFC rooted at the container (VendDocuments: at its Documents folder). Any other app
// gets {"Error": "InstallationLookupFailed"}, another command {"Error": "UnknownCommand"}, and
// the connection is closed; a malformed request closes it without a reply.
void ServeHouseArrest(int fd, const std::string& phoneDir);

}  // namespace ruvo::phone
