// DeviceCommand: `ruvo-tool device`, the device layer from the command line.
#pragma once

// Runs `ruvo-tool device ARGS...` (argv[0] is "device"); returns the exit status.
int RunDeviceCommand(int argc, char** argv);
