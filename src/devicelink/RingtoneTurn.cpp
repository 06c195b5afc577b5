// RingtoneTurn: a line of tickets per phone; the first ticket of a line holds the phone's turn.
#include "RingtoneTurn.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

namespace {

struct Lines {
    std::mutex mutex;
    std::condition_variable changed;
    // Per phone, the tickets in the order they were asked for; the front one holds the turn. A
    // phone with nobody in line has no entry.
    std::map<std::string, std::deque<uint64_t>> lines;
    uint64_t lastTicket = 0;
};

// Never destroyed: a command thread may still hold a turn while the process ends.
Lines& TheLines() {
    static auto* lines = new Lines;
    return *lines;
}

}  // namespace

RingtoneTurn::RingtoneTurn(std::string deviceIdentifier, std::chrono::milliseconds bound)
    : m_device(std::move(deviceIdentifier)) {
    Lines& all = TheLines();
    std::unique_lock lock(all.mutex);
    // Map entries stay where they are while others come and go, and this one keeps its entry
    // alive by standing in it.
    std::deque<uint64_t>& line = all.lines[m_device];
    m_ticket = ++all.lastTicket;
    line.push_back(m_ticket);
    const auto deadline = std::chrono::steady_clock::now() + bound;
    m_held = all.changed.wait_until(lock, deadline, [&] { return line.front() == m_ticket; });
    if (m_held) return;
    // Out of line: the ones behind move up.
    line.erase(std::find(line.begin(), line.end(), m_ticket));
    if (line.empty()) all.lines.erase(m_device);
}

RingtoneTurn::~RingtoneTurn() {
    if (!m_held) return;
    Lines& all = TheLines();
    {
        std::scoped_lock lock(all.mutex);
        auto entry = all.lines.find(m_device);
        entry->second.pop_front();
        if (entry->second.empty()) all.lines.erase(entry);
    }
    all.changed.notify_all();
}
