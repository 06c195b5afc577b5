// HostDescription: the host description that accompanies every usage report, and the device description of the connected phone.
#pragma once

#include <string>
#include <vector>

#include "HostFacts.h"

// The name of the extra HTTP header that carries the host description.
inline constexpr char16_t kHostDescriptionHeader[] = u"User-Agent1";

// One "key=value&" pair of the host description.
struct HostDescriptionPair {
    std::u16string key;
    std::u16string value;
};

// The pairs of the host description, in the order the report endpoint reads them, from the
// facts and the link's protocol version.
std::vector<HostDescriptionPair> CollectHostDescription(HostFacts& facts, const std::u16string& protocolVersion);
// Every pair as key "=" value "&", the last one included; nothing is URL-encoded.
std::u16string JoinHostDescription(const std::vector<HostDescriptionPair>& pairs);
// The header's value for a joined description: "0" and the Base64 of the text's ANSI bytes.
std::u16string HostDescriptionHeaderValue(const std::u16string& joined);

// The host description, "User-Agent1:" and the header's value. Built once: when cache already
// holds a description, that is returned and nothing is asked; otherwise the description is
// built from this computer's facts (or the ones given) and stored in cache.
std::u16string GetHostDescription(std::u16string& cache, const std::u16string& protocolVersion);
std::u16string GetHostDescription(std::u16string& cache, const std::u16string& protocolVersion, HostFacts& facts);

// Sets the process-wide device description to "|ProductType:" + product type, "|SystemVersion:"
// + system version and "|BasebandVersion:" + baseband version of the current phone (each value
// empty when there is no ready phone). Called on each device connection: the description holds
// the phone connected last, once, so the labels of later reports do not grow with every replug.
void AppendDeviceDescription();
// A copy of the device description, for the reports of the ringtone commands. Safe from any
// thread: appends and reads take one lock.
std::u16string GetDeviceDescription();
