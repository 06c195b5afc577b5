// VirtualPhoneOption: prepares and plugs in the virtual phone the assistant serves.
#include "VirtualPhoneOption.h"

#include <filesystem>
#include <system_error>

#include "VirtualPhone.h"

bool PrepareVirtualPhone(const std::string& dir, std::string& error) {
    std::error_code code;
    if (!std::filesystem::exists(dir, code)) {
        // The defaults of "ruvo-phone init": trusted, afc2 offered, the companion app installed.
        ruvo::phone::PhoneConfig config;
        config.systemApps = ruvo::phone::kDefaultSystemApps;
        config.userApps.push_back(ruvo::phone::kDefaultCompanionApp);
        if (!ruvo::phone::CreatePhone(dir, config, &error)) return false;
    } else if (!ruvo::phone::LoadPhone(dir)) {
        error = "no virtual phone in " + dir;
        return false;
    } else if (!ruvo::phone::RegisterPhone(dir, &error)) {
        return false;
    }
    return ruvo::phone::SetPlugged(dir, true, &error);
}
