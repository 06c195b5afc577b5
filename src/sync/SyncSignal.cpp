// SyncSignal: a mutex, a condition variable and one flag.
#include "SyncSignal.h"

void SyncSignal::Release() {
    {
        std::scoped_lock lock(m_mutex);
        m_set = true;
    }
    m_changed.notify_all();
}

bool SyncSignal::Wait(std::chrono::milliseconds bound) {
    std::unique_lock lock(m_mutex);
    if (!m_changed.wait_for(lock, bound, [this] { return m_set; })) return false;
    m_set = false;
    return true;
}
