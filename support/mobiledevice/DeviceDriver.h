// DeviceDriver: the boundary between the library's device layer and the sources of devices (virtual phone, USB).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ruvo::md {

enum class AppType { System, User };

struct AppRecord {
    std::string bundleId;
    AppType type = AppType::User;
};

// Why a device service did not start; translated into an MDERR_* code at the C border.
// Busy: the device serves as many connections as it may and refused one more.
enum class ServiceError { None, NotFound, NotPaired, Gone, Busy, Socket };

struct ServiceStart {
    int fd = -1;  // a connected stream socket the caller owns, when error is None
    ServiceError error = ServiceError::None;
};

// One attached device as its driver sees it. Every method may be called from any thread, also
// after the device left; then they fail (false, nothing, ServiceError::Gone). Trust, values and
// applications are asked of the device on each call, so a change on the device shows at once.
class DeviceBackend {
public:
    virtual ~DeviceBackend() = default;

    virtual const std::string& UniqueId() const = 0;
    // False once the driver has seen the device leave.
    virtual bool IsPresent() const = 0;
    // The device trusts this computer.
    virtual bool IsPaired() = 0;
    // A device value by key (lockdown's global domain), nothing for an unknown key.
    virtual std::optional<std::string> Value(std::string_view key) = 0;
    // Every installed application; nothing when the device could not be asked.
    virtual std::optional<std::vector<AppRecord>> Applications() = 0;
    // Starts the named service and connects to it. The socket lives on its own: it does not
    // depend on a session, and it is shut down when the device leaves.
    virtual ServiceStart StartService(std::string_view name) = 0;
};

// Receives a driver's reports, on a thread of the driver. A device is reported attached once,
// then detached once, and may come back later; the unique id is its identity across returns.
// Reports must be handled quickly: a driver may hold a lock of its own while it reports.
class DeviceListener {
public:
    virtual void DeviceAttached(std::shared_ptr<DeviceBackend> device) = 0;
    virtual void DeviceDetached(const std::string& uniqueId) = 0;

protected:
    ~DeviceListener() = default;
};

class DeviceDriver {
public:
    virtual ~DeviceDriver() = default;

    // Starts watching for devices; reports go to listener (borrowed) until Stop returns.
    virtual bool Start(DeviceListener& listener) = 0;
    // Stops watching; no report is made after it returns. Services the driver serves itself
    // (virtual phones) are ended too, so none runs after it returns.
    virtual void Stop() = 0;
};

}  // namespace ruvo::md
