// RingtoneTurn: one ringtone operation at a time on each phone; the others wait in line, each for a bounded time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// The ringtone library of a phone is changed through fixed file names (the sync lists) and one
// catalogue, so an addition or deletion must run alone on its phone from reading the catalogue
// to the end of its sync session; a listing must not read the catalogue halfway through a
// session either. Commands of different companion apps run on worker threads at once, so each
// operation holds its phone's turn for its whole course.
//
// Turns are kept by the phone's unique device identifier (a phone reached through two device
// links still has one turn) and handed on in the order they were asked for. Waiting for a turn
// is bounded; an operation whose turn did not come within its bound fails.
//
// Lock order: a turn is asked for with no other lock held and, while it is held, the operation
// takes only the locks of its own service objects and session, never the device link's or the
// link state's; the registry's own lock is held only inside this class.
class RingtoneTurn {
public:
    // Waits at most bound for the phone's turn; Held() says whether it came.
    RingtoneTurn(std::string deviceIdentifier, std::chrono::milliseconds bound);
    // Hands the turn (when held) to the next operation in line.
    ~RingtoneTurn();

    RingtoneTurn(const RingtoneTurn&) = delete;
    RingtoneTurn& operator=(const RingtoneTurn&) = delete;

    bool Held() const { return m_held; }

private:
    const std::string m_device;
    uint64_t m_ticket = 0;
    bool m_held = false;
};
