// AFCFullFileSystem: the full file-system service.
#include "AFCFullFileSystem.h"

using namespace apple;

int AFCFullFileSystem::Open() { return StartService("com.apple.afc2"); }
