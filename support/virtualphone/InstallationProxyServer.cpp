// InstallationProxyServer: Browse answered in pages from the phone's state.
#include "InstallationProxyServer.h"

#include <plist/plist.h>

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "PlistInput.h"
#include "PlistStream.h"
#include "UniqueFd.h"
#include "VirtualPhone.h"

namespace ruvo::phone {
namespace {

constexpr uint32_t kMaxRequest = 64 * 1024;
constexpr int kRequestTimeoutMs = 60000;
// Applications per page, as a phone sends them.
constexpr size_t kPageSize = 20;

void Browse(int fd, const std::string& phoneDir, plist_t request) {
    std::string type = "Any";
    if (plist_t options = DictMember(request, "ClientOptions"))
        if (auto asked = StringMember(options, "ApplicationType")) type = *asked;
    std::vector<std::pair<std::string, const char*>> apps;
    if (const auto config = LoadPhone(phoneDir)) {
        if (type == "System" || type == "Any")
            for (const auto& id : config->systemApps) apps.emplace_back(id, "System");
        if (type == "User" || type == "Any")
            for (const auto& id : config->userApps) apps.emplace_back(id, "User");
    }
    for (size_t index = 0; index < apps.size(); index += kPageSize) {
        const size_t amount = std::min(kPageSize, apps.size() - index);
        PlistHolder page(plist_new_dict());
        plist_t list = plist_new_array();
        for (size_t i = index; i < index + amount; ++i) {
            plist_t app = plist_new_dict();
            plist_dict_set_item(app, "CFBundleIdentifier", plist_new_string(apps[i].first.c_str()));
            plist_dict_set_item(app, "ApplicationType", plist_new_string(apps[i].second));
            plist_array_append_item(list, app);
        }
        plist_dict_set_item(page.get(), "CurrentList", list);
        plist_dict_set_item(page.get(), "CurrentIndex", plist_new_uint(index));
        plist_dict_set_item(page.get(), "CurrentAmount", plist_new_uint(amount));
        plist_dict_set_item(page.get(), "Total", plist_new_uint(apps.size()));
        plist_dict_set_item(page.get(), "Status", plist_new_string("BrowsingApplications"));
        if (!SendFramedPlist(fd, page.get())) return;
    }
    PlistHolder done(plist_new_dict());
    plist_dict_set_item(done.get(), "Status", plist_new_string("Complete"));
    SendFramedPlist(fd, done.get());
}

}  // namespace

void ServeInstallationProxy(int fd, const std::string& phoneDir) {
    UniqueFd connection(fd);
    try {
        for (;;) {
            PlistHolder request;
            if (ReadFramedPlist(connection.Get(), kMaxRequest, kRequestTimeoutMs, request) != FrameRead::Message) return;
            if (StringMember(request.get(), "Command") == "Browse") {
                Browse(connection.Get(), phoneDir, request.get());
                continue;
            }
            PlistHolder error(plist_new_dict());
            plist_dict_set_item(error.get(), "Error", plist_new_string("UnknownCommand"));
            if (!SendFramedPlist(connection.Get(), error.get())) return;
        }
    } catch (...) {
        // Out of memory: only this connection ends.
    }
}

}  // namespace ruvo::phone
