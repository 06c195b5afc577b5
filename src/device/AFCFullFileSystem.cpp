// AFCFullFileSystem: the full file-system service.
#include "AFCFullFileSystem.h"

int AFCFullFileSystem::Open() { return StartService("com.apple.afc2"); }
