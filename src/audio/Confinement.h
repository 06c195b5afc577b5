// Confinement: the limits the conversion helper puts on itself before GStreamer is loaded.
#pragma once

#include <chrono>
#include <string>

namespace ruvo::audio {

// The helper's memory: a decoder asked for gigabytes fails its allocation instead of taking the
// machine's memory.
inline constexpr unsigned long long kHelperAddressSpace = 1ULL << 30;

// Sets the resource limits (address space, processor seconds for a conversion of this bound,
// file size, no core dumps), no new privileges, and a system-call filter that refuses network
// sockets, starting programs and making processes. False with a reason when any of it could not
// be set: the helper then does not run.
bool ConfineHelper(std::chrono::milliseconds bound, std::string& reason);

}  // namespace ruvo::audio
