// ToolModule: the name and entry point of the module that holds ruvo-tool's device and host commands.
#pragma once

// The module's file name, beside ruvo-tool in the build tree and in lib/ruvo when installed.
constexpr const char* kModuleName = "ruvo-tool-device.so";
// int RuvoToolModuleMain(int argc, char** argv): runs `ruvo-tool host-info|device|ringtones|
// addring|delring ...` with ruvo-tool's own arguments and returns the exit status.
constexpr const char* kModuleEntry = "RuvoToolModuleMain";

extern "C" int RuvoToolModuleMain(int argc, char** argv);
