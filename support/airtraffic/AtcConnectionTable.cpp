// AtcConnectionTable: the handles the C interface hands out for connections, so that a call on a destroyed one is refused without touching freed memory.
#include "AtcConnectionTable.h"

#include <utility>

namespace ruvo::atc {

AtcConnectionTable& AtcConnectionTable::Process() {
    static AtcConnectionTable* table = new AtcConnectionTable;
    return *table;
}

AtcConnectionTable::Handle AtcConnectionTable::Add(std::unique_ptr<AtcConnection> connection) {
    std::scoped_lock lock(m_mutex);
    const Handle handle = m_nextHandle;
    m_connections.emplace(handle, std::move(connection));
    ++m_nextHandle;
    return handle;
}

AtcConnection* AtcConnectionTable::Enter(Handle handle) {
    std::scoped_lock lock(m_mutex);
    const auto it = m_connections.find(handle);
    if (it == m_connections.end()) return nullptr;
    it->second->Enter();
    return it->second.get();
}

bool AtcConnectionTable::Remove(Handle handle) {
    std::unique_ptr<AtcConnection> connection;
    {
        std::scoped_lock lock(m_mutex);
        const auto it = m_connections.find(handle);
        if (it == m_connections.end()) return false;
        connection = std::move(it->second);
        m_connections.erase(it);
    }
    // Destroyed outside the table's lock: it waits for the calls inside, and those must be free
    // to return (and others to use other connections) meanwhile.
    connection.reset();
    return true;
}

}  // namespace ruvo::atc
