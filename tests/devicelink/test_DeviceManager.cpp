// The device manager against virtual phones through the loaded libraries: which link a device
// gets and the events, texts and orders reported for attach, trust and detach. The manager lives
// for the whole process, so the cases run as one story in order.
#include "DeviceManager.h"

#include <gtest/gtest.h>

#include "DeviceTestSupport.h"

using device_test::Event;
using device_test::EventLog;
using device_test::PhoneHub;

namespace {

const std::string kWaiting = "等待设备接入";
const std::string kTrust = "请在iOS端信任后，重新连接设备";
std::string Count(int n) { return "当前设备数量:" + std::to_string(n); }

TEST(DeviceManager, LinksAndEventsFollowTheDevices) {
    PhoneHub hub;
    EventLog& log = EventLog::Instance();
    // Expects exactly these events after the ones seen so far.
    size_t seen = 0;
    const auto expect = [&](const std::vector<Event>& events, const char* step) {
        EXPECT_EQ(log.WaitFor(seen, events.size()), events) << step;
        seen += events.size();
    };

    EXPECT_EQ(GetDeviceLink(-1), nullptr);
    StartDeviceManager(&EventLog::Callback, nullptr);
    expect({{-1, DEVICE_EVENT_STATUS, kWaiting}}, "start");
    StartDeviceManager(&EventLog::Callback, nullptr);
    EXPECT_EQ(log.Size(), seen) << "a second start does nothing";

    const std::string first = hub.MakePhone("First");
    PhoneHub::Plug(first, true);
    expect({{0, DEVICE_EVENT_STATUS, kWaiting},
            {0, DEVICE_EVENT_CONNECTED, "First"},
            {-1, DEVICE_EVENT_CONNECTED, Count(1)}},
           "first trusted device");
    DeviceLink* link0 = GetDeviceLink(0);
    ASSERT_NE(link0, nullptr);
    EXPECT_EQ(GetDeviceLink(-1), link0);
    EXPECT_TRUE(link0->IsReady());
    EXPECT_EQ(link0->DeviceName(), u"First");
    EXPECT_EQ(link0->ProductType(), u"iPhone12,1");

    const std::string second = hub.MakePhone("Second");
    PhoneHub::Plug(second, true);
    expect({{1, DEVICE_EVENT_STATUS, kWaiting},
            {1, DEVICE_EVENT_CONNECTED, "Second"},
            {-1, DEVICE_EVENT_CONNECTED, Count(2)}},
           "a second device gets a new link");
    EXPECT_EQ(GetDeviceLink(-1), link0) << "the current link stays link 0";
    EXPECT_EQ(GetDeviceLink(2), nullptr);

    PhoneHub::Plug(first, false);
    expect({{0, DEVICE_EVENT_DISCONNECTED, kWaiting}, {-1, DEVICE_EVENT_DISCONNECTED, Count(1)}}, "detach");
    EXPECT_FALSE(link0->IsReady());
    PhoneHub::Plug(first, true);
    expect({{0, DEVICE_EVENT_CONNECTED, "First"}, {-1, DEVICE_EVENT_CONNECTED, Count(2)}},
           "re-attach reuses link 0, with no new link");
    EXPECT_EQ(GetDeviceLink(0), link0);

    PhoneHub::Plug(second, false);
    expect({{1, DEVICE_EVENT_DISCONNECTED, kWaiting}, {-1, DEVICE_EVENT_DISCONNECTED, Count(1)}}, "second leaves");
    PhoneHub::Plug(first, false);
    expect({{0, DEVICE_EVENT_DISCONNECTED, kWaiting}, {-1, DEVICE_EVENT_DISCONNECTED, Count(0)}}, "first leaves");

    const std::string untrusted = hub.MakePhone("Doubtful", false);
    PhoneHub::Plug(untrusted, true);
    expect({{0, DEVICE_EVENT_TRUST_REQUIRED, kTrust}, {-1, DEVICE_EVENT_CONNECTED, Count(0)}}, "untrusted device");
    EXPECT_FALSE(link0->IsReady());
    EXPECT_NE(link0->Device(), nullptr);

    const std::string third = hub.MakePhone("Third");
    PhoneHub::Plug(third, true);
    expect({{0, DEVICE_EVENT_CONNECTED, "Third"}, {-1, DEVICE_EVENT_CONNECTED, Count(1)}},
           "the untrusted device's link is taken by the next device");

    PhoneHub::Plug(untrusted, false);
    expect({{-1, DEVICE_EVENT_DISCONNECTED, Count(1)}}, "detach of a device no link holds");
    EXPECT_TRUE(link0->IsReady());
    EXPECT_EQ(link0->DeviceName(), u"Third");
    EXPECT_EQ(GetDeviceLink(1)->Device(), nullptr);
}

}  // namespace
