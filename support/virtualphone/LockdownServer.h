// LockdownServer: the virtual phone's lockdown service (device port 62078) for a client that reached it through the usbmux stand-in.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace ruvo::phone {

// What lockdown needs of the phone and of the stand-in that serves it.
struct LockdownPhone {
    std::string dir;         // the phone's folder: its values and trust, read on each request
    std::string hostId;      // the HostID of the pair record the stand-in hands out
    std::string systemBuid;  // the stand-in's BUID
    // Opens a port for one connection to the service; 0 when none could be opened.
    std::function<uint16_t(const std::string& service)> openServicePort;
};

// Whether the phone in dir offers the service (the services of PhoneServices).
bool PhoneOffersService(const std::string& dir, const std::string& service);

// Serves lockdown on fd (borrowed) until the client ends the stream, says Goodbye, or sends a
// malformed or oversized message. Messages are XML property lists framed by a 4-byte big-endian
// length, and every reply repeats "Request": QueryType, GetValue (with or without "Key"; an
// unknown key or a domain answers "MissingValue"), StartSession (plain, no SSL, for the record's
// HostID), ValidatePair, Pair (an untrusted phone answers "PairingDialogResponsePending"),
// StopSession, StartService (needs a session), Goodbye; anything else "InvalidRequest".
void ServeLockdown(int fd, const LockdownPhone& phone);

}  // namespace ruvo::phone
