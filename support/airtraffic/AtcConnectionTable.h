// AtcConnectionTable: the handles the C interface hands out for connections, so that a call on a destroyed one is refused without touching freed memory.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>
#include <unordered_map>

#include "AtcConnection.h"

namespace ruvo::atc {

// A handle is a number, never 0 and never handed out twice, so a handle kept past its
// connection's end can never reach another connection. A call holds its connection from the
// lookup to its return (AtcConnection::Enter under the table's lock), so Remove, which takes the
// connection out of the table before destroying it, waits for every call that found it and no
// later call can find it.
class AtcConnectionTable {
public:
    using Handle = uintptr_t;

    // The table of the process; never destroyed, so calls made while the process ends are safe.
    static AtcConnectionTable& Process();

    // Takes the connection and gives its new handle.
    Handle Add(std::unique_ptr<AtcConnection> connection);

    // body(connection) with the connection held; missing at once when the handle is not (or no
    // longer) in the table.
    template <typename Body>
    auto With(Handle handle, std::invoke_result_t<Body&, AtcConnection&> missing, Body&& body) {
        AtcConnection* connection = Enter(handle);
        if (connection == nullptr) return missing;
        struct Leaving {
            AtcConnection* held;
            ~Leaving() { held->Leave(); }
        } leaving{connection};
        return body(*connection);
    }

    // Takes the handle out of the table and destroys its connection: wakes the calls inside,
    // waits for them to return, closes the socket. False when the handle is unknown.
    bool Remove(Handle handle);

private:
    AtcConnection* Enter(Handle handle);

    std::mutex m_mutex;
    std::unordered_map<Handle, std::unique_ptr<AtcConnection>> m_connections;  // guarded by m_mutex
    Handle m_nextHandle = 1;                                                   // guarded by m_mutex
};

}  // namespace ruvo::atc
