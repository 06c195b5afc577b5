// Shared by the device-layer tests that run the device manager on virtual phones: a private hub,
// phones made in it, and a log of the device events with bounded waits.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "TextEncoding.h"
#include "VirtualPhone.h"

namespace device_test {

// The driver looks at the hub every 200 ms; an event is waited for this long at most.
inline constexpr auto kEventWait = std::chrono::seconds(20);

struct Event {
    int link;
    int type;
    std::string text;  // UTF-8
    bool operator==(const Event&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Event& e) {
    return out << "{" << e.link << ", " << e.type << ", \"" << e.text << "\"}";
}

// Every event the manager reports, in order.
class EventLog {
public:
    static EventLog& Instance() {
        static auto* log = new EventLog;
        return *log;
    }

    static int Callback(int eventType, const char* text, int textLength, void*, int linkIndex) {
        EventLog& log = Instance();
        std::scoped_lock lock(log.m_mutex);
        log.m_events.push_back({linkIndex, eventType, AnsiToUtf8(std::string_view(text, textLength))});
        log.m_changed.notify_all();
        return 0;
    }

    // The events after the first `from`, once there are at least count of them (or at the bound).
    std::vector<Event> WaitFor(size_t from, size_t count) {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, kEventWait, [&] { return m_events.size() >= from + count; });
        return std::vector<Event>(m_events.begin() + static_cast<long>(std::min(from, m_events.size())),
                                  m_events.end());
    }

    size_t Size() {
        std::scoped_lock lock(m_mutex);
        return m_events.size();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Event> m_events;
};

// A private folder with the hub of virtual phones; the support libraries of the build.
class PhoneHub {
public:
    PhoneHub() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ruvo-device-test-XXXXXX").string();
        if (::mkdtemp(pattern.data())) m_root = pattern;
        // Set before the device manager starts: its driver thread reads them.
        ::setenv("RUVO_PHONE_HUB", (m_root + "/hub").c_str(), 1);
        ::setenv("RUVO_SUPPORT_DIR", RUVO_TEST_SUPPORT_DIR, 1);
    }
    ~PhoneHub() {
        std::error_code error;
        for (const auto& dir : m_phones) ruvo::phone::SetPlugged(dir, false, nullptr);
        std::filesystem::remove_all(m_root, error);
    }

    // A new phone (unplugged) named name; its folder.
    std::string MakePhone(const std::string& name, bool trusted = true,
                          std::vector<std::string> userApps = {"com.mrz4.ringtone.pid40ch1"}) {
        ruvo::phone::PhoneConfig config;
        config.deviceName = name;
        config.trusted = trusted;
        config.userApps = std::move(userApps);
        config.systemApps = {"com.apple.Preferences", "com.apple.mobilephone"};
        const std::string dir = m_root + "/phone" + std::to_string(m_phones.size());
        std::string error;
        EXPECT_TRUE(ruvo::phone::CreatePhone(dir, config, &error)) << error;
        m_phones.push_back(dir);
        return dir;
    }

    static void Plug(const std::string& dir, bool plugged) {
        std::string error;
        ASSERT_TRUE(ruvo::phone::SetPlugged(dir, plugged, &error)) << error;
    }

    const std::string& Root() const { return m_root; }

private:
    std::string m_root;
    std::vector<std::string> m_phones;
};

}  // namespace device_test
