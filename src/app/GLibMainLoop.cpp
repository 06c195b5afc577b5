// GLibMainLoop: an eventfd-woken task queue and GLib timeouts on the default main context.
#include "GLibMainLoop.h"

#include <glib-unix.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace {

// A timer's tick lives as long as its GLib source: GLib frees it when the source is destroyed,
// which waits for a running dispatch, so a tick may stop its own timer.
gboolean Tick(gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_CONTINUE;
}

void DeleteTick(gpointer data) { delete static_cast<std::function<void()>*>(data); }

}  // namespace

GLibMainLoop::GLibMainLoop()
    : m_loop(g_main_loop_new(nullptr, FALSE)), m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_wakeFd >= 0) m_wakeSource = g_unix_fd_add(m_wakeFd, G_IO_IN, &GLibMainLoop::OnWake, this);
}

GLibMainLoop::~GLibMainLoop() {
    for (const auto& [id, source] : m_timers) g_source_remove(source);
    if (m_wakeSource) g_source_remove(m_wakeSource);
    if (m_wakeFd >= 0) close(m_wakeFd);
    g_main_loop_unref(m_loop);
}

void GLibMainLoop::Post(std::function<void()> task) {
    {
        std::scoped_lock lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    const uint64_t one = 1;
    // A full counter still wakes the loop, so a failed write loses nothing.
    [[maybe_unused]] ssize_t written = write(m_wakeFd, &one, sizeof one);
}

void GLibMainLoop::StartTimer(int id, int periodMs, std::function<void()> tick) {
    StopTimer(id);
    auto* callback = new std::function<void()>(std::move(tick));
    m_timers[id] = g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(periodMs), Tick, callback, DeleteTick);
}

void GLibMainLoop::StopTimer(int id) {
    auto it = m_timers.find(id);
    if (it == m_timers.end()) return;
    g_source_remove(it->second);
    m_timers.erase(it);
}

void GLibMainLoop::Run() { g_main_loop_run(m_loop); }

void GLibMainLoop::Quit() { g_main_loop_quit(m_loop); }

gboolean GLibMainLoop::OnWake(gint fd, GIOCondition, gpointer self) {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t got = read(fd, &count, sizeof count);
    static_cast<GLibMainLoop*>(self)->RunPosted();
    return G_SOURCE_CONTINUE;
}

void GLibMainLoop::RunPosted() {
    // Tasks posted while these run wait for the next wake-up, which their Post has already sent.
    std::deque<std::function<void()>> tasks;
    {
        std::scoped_lock lock(m_mutex);
        tasks.swap(m_tasks);
    }
    for (auto& task : tasks) task();
}
