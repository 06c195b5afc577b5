// DeviceCommand: `ruvo-tool device` and the ringtone commands: the device layer from the command line.
#pragma once

// Runs `ruvo-tool device ARGS...` (argv[0] is "device"); returns the exit status.
int RunDeviceCommand(int argc, char** argv);

// Runs `ruvo-tool ringtones`, `ruvo-tool addring AUDIO_FILE TITLE SECONDS` or
// `ruvo-tool delring PID...` (argv[0] is the command) on the current link.
int RunRingtoneCommand(int argc, char** argv);
