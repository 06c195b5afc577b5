// InstallationProxyServer: the virtual phone's installation_proxy service: browsing the installed applications.
#pragma once

#include <string>

namespace ruvo::phone {

// Serves one connection (and closes fd): each request is a property list framed by a 4-byte
// big-endian length. "Browse" with "ClientOptions" {"ApplicationType": "User", "System" or
// "Any"} answers pages {"Status": "BrowsingApplications", "CurrentList": [{"CFBundleIdentifier",
// "ApplicationType"}...], "CurrentIndex", "CurrentAmount", "Total"} and then {"Status":
// "Complete"}; another command answers {"Error": "UnknownCommand"}. A malformed or oversized
// request ends the connection.
void ServeInstallationProxy(int fd, const std::string& phoneDir);

}  // namespace ruvo::phone
