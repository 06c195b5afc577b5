// CServiceHelper: checks that the device service of the installed support runs, and starts it.
#pragma once

#include <chrono>
#include <string>

// The service the device manager asks for is the device service of the active device driver:
// for real iPhones over USB that is usbmuxd (started through systemd where it runs the system,
// else directly); the virtual phone needs no service and counts as always running. The driver
// is chosen with RUVO_DEVICE_DRIVER ("virtual", the default, or "usb").
class CServiceHelper {
public:
    // The longest StartServiceAndWait takes: running the start helper and waiting for the
    // service to come up together.
    static constexpr std::chrono::milliseconds kDefaultStartBound{30000};

    // The environment variable RUVO_SERVICE_START_TIMEOUT_MS, read here, can shorten the bound
    // (to a whole number of milliseconds above zero); a longer or malformed value is ignored.
    explicit CServiceHelper(std::chrono::milliseconds startBound = kDefaultStartBound);
    virtual ~CServiceHelper() = default;

    // The bound in effect.
    std::chrono::milliseconds StartBound() const { return m_startBound; }

    // True when the named service runs. Unknown names give false.
    bool IsServiceRunning(const std::u16string& serviceName);
    // Starts a stopped service and waits until it runs: true then; false when it already ran,
    // could not be started, or did not come up within the bound. A start helper still running
    // at the end of the bound is killed, with the processes it started in its group, and reaped.
    bool StartServiceAndWait(const std::u16string& serviceName);

private:
    std::chrono::milliseconds m_startBound;
};
