// LockdownServer: the lockdown requests a host library makes before it starts a service, answered from the phone's folder.
#include "LockdownServer.h"

#include <plist/plist.h>

#include <atomic>
#include <optional>
#include <string_view>

#include "PlistInput.h"
#include "PlistStream.h"
#include "VirtualPhone.h"

namespace ruvo::phone {
namespace {

constexpr uint32_t kMaxMessage = 1024 * 1024;

// The phone's public key as a pairing client reads it (PKCS#1, PEM): fixed, since the virtual
// phone never completes a pairing; with it a pairing client gets as far as asking to pair.
constexpr char kDevicePublicKey[] =
    "-----BEGIN RSA PUBLIC KEY-----\n"
    "MIGJAoGBAM1cBOg2mCql2zHo/lJQZVJU+nC/r+eLeaBtGZ3j0c8b7TEMTL4zlOzn\n"
    "epeBH6ht8VxrRtn65FVsdgtuUaRpU8bd828OkvE1454gmQe7VNvvVpwPXFJ+datA\n"
    "cJRh9rCJ2jv+8CZhEn9dV4GwQla0ew8fZJq5raolMz6Fs3K/XK9XAgMBAAE=\n"
    "-----END RSA PUBLIC KEY-----\n";

constexpr std::string_view kOfferedServices[] = {"com.apple.afc", "com.apple.afc2", "com.apple.mobile.house_arrest",
                                                 "com.apple.atc", "com.apple.mobile.installation_proxy"};

// The values of the global domain, as a dictionary.
PlistHolder Values(const PhoneConfig& config) {
    PlistHolder values(plist_new_dict());
    plist_dict_set_item(values.get(), "DeviceName", plist_new_string(config.deviceName.c_str()));
    plist_dict_set_item(values.get(), "ProductType", plist_new_string(config.productType.c_str()));
    plist_dict_set_item(values.get(), "ProductVersion", plist_new_string(config.productVersion.c_str()));
    plist_dict_set_item(values.get(), "BasebandVersion", plist_new_string(config.basebandVersion.c_str()));
    plist_dict_set_item(values.get(), "UniqueDeviceID", plist_new_string(config.uniqueDeviceId.c_str()));
    plist_dict_set_item(values.get(), "DevicePublicKey",
                        plist_new_data(kDevicePublicKey, static_cast<uint64_t>(sizeof kDevicePublicKey - 1)));
    return values;
}

class Session {
public:
    Session(int fd, const LockdownPhone& phone) : m_fd(fd), m_phone(phone) {}

    // False when the stream is to end.
    bool Answer(plist_t request) {
        const auto name = StringMember(request, "Request");
        PlistHolder reply(plist_new_dict());
        if (name) plist_dict_set_item(reply.get(), "Request", plist_new_string(name->c_str()));
        const auto config = LoadPhone(m_phone.dir);
        if (!name) {
            SetError(reply.get(), "InvalidRequest");
        } else if (!config) {
            // The phone left its folder: as a pulled cable, the stream ends.
            return false;
        } else if (*name == "QueryType") {
            plist_dict_set_item(reply.get(), "Type", plist_new_string("com.apple.mobile.lockdown"));
        } else if (*name == "GetValue") {
            GetValue(request, *config, reply.get());
        } else if (*name == "StartSession") {
            if (!config->trusted || StringMember(request, "HostID") != m_phone.hostId) {
                SetError(reply.get(), "InvalidHostID");
            } else {
                m_session = true;
                const std::string id = "RUVO-SESSION-" + std::to_string(++s_sessions);
                plist_dict_set_item(reply.get(), "SessionID", plist_new_string(id.c_str()));
                plist_dict_set_item(reply.get(), "EnableSessionSSL", plist_new_bool(0));
            }
        } else if (*name == "StopSession") {
            m_session = false;
        } else if (*name == "ValidatePair") {
            if (!config->trusted || !HostIdOfPairRecord(request)) SetError(reply.get(), "InvalidHostID");
        } else if (*name == "Pair") {
            if (!config->trusted) SetError(reply.get(), "PairingDialogResponsePending");
        } else if (*name == "StartService") {
            StartService(request, reply.get());
        } else if (*name == "Goodbye") {
            SendFramedPlist(m_fd, reply.get());
            return false;
        } else {
            SetError(reply.get(), "InvalidRequest");
        }
        return SendFramedPlist(m_fd, reply.get());
    }

private:
    static void SetError(plist_t reply, const char* error) {
        plist_dict_set_item(reply, "Error", plist_new_string(error));
    }

    // The pair record a ValidatePair carries names this host.
    bool HostIdOfPairRecord(plist_t request) const {
        plist_t record = DictMember(request, "PairRecord");
        return record && StringMember(record, "HostID") == m_phone.hostId;
    }

    void GetValue(plist_t request, const PhoneConfig& config, plist_t reply) {
        const auto domain = StringMember(request, "Domain");
        PlistHolder values = Values(config);
        if (DictMember(request, "Key") == nullptr) {
            if (domain) {
                SetError(reply, "MissingValue");
                return;
            }
            plist_dict_set_item(reply, "Value", plist_copy(values.get()));
            return;
        }
        const auto key = StringMember(request, "Key");
        plist_t value = key && !domain ? plist_dict_get_item(values.get(), key->c_str()) : nullptr;
        if (!value) {
            if (key) plist_dict_set_item(reply, "Key", plist_new_string(key->c_str()));
            SetError(reply, "MissingValue");
            return;
        }
        plist_dict_set_item(reply, "Key", plist_new_string(key->c_str()));
        plist_dict_set_item(reply, "Value", plist_copy(value));
    }

    void StartService(plist_t request, plist_t reply) {
        const auto service = StringMember(request, "Service");
        if (service) plist_dict_set_item(reply, "Service", plist_new_string(service->c_str()));
        if (!m_session) {
            SetError(reply, "SessionInactive");
            return;
        }
        if (!service || !PhoneOffersService(m_phone.dir, *service)) {
            SetError(reply, "InvalidService");
            return;
        }
        const uint16_t port = m_phone.openServicePort ? m_phone.openServicePort(*service) : 0;
        if (port == 0) {
            SetError(reply, "ServiceLimit");
            return;
        }
        plist_dict_set_item(reply, "Port", plist_new_uint(port));
        plist_dict_set_item(reply, "EnableServiceSSL", plist_new_bool(0));
    }

    static inline std::atomic<unsigned> s_sessions{0};
    const int m_fd;
    const LockdownPhone& m_phone;
    bool m_session = false;
};

}  // namespace

bool PhoneOffersService(const std::string& dir, const std::string& service) {
    const auto config = LoadPhone(dir);
    if (!config) return false;
    if (service == "com.apple.afc2" && !config->offersAfc2) return false;
    for (std::string_view offered : kOfferedServices)
        if (offered == service) return true;
    return false;
}

void ServeLockdown(int fd, const LockdownPhone& phone) {
    try {
        Session session(fd, phone);
        for (;;) {
            PlistHolder request;
            // A client may keep its lockdown stream open as long as it likes.
            if (ReadFramedPlist(fd, kMaxMessage, -1, request) != FrameRead::Message) return;
            if (!session.Answer(request.get())) return;
        }
    } catch (...) {
        // Out of memory: only this stream ends.
    }
}

}  // namespace ruvo::phone
