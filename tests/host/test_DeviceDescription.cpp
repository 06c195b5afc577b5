// The device description with a virtual phone connected, disconnected and connected again, through the device manager and the current link's copy functions.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "../device/DeviceTestSupport.h"
#include "DeviceManager.h"
#include "HostDescription.h"
#include "TextEncoding.h"

using device_test::EventLog;
using device_test::PhoneHub;

namespace {

bool WaitReady(bool ready) {
    const auto deadline = std::chrono::steady_clock::now() + device_test::kEventWait;
    for (;;) {
        DeviceLink* link = GetDeviceLink(-1);
        if (link && link->IsReady() == ready) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::u16string Group(const std::string& type, const std::string& version, const std::string& baseband) {
    return u"|ProductType:" + Utf8ToText(type) + u"|SystemVersion:" + Utf8ToText(version) + u"|BasebandVersion:" +
           Utf8ToText(baseband);
}

TEST(DeviceDescriptionTest, EachConnectionAppendsThePhonesModelAndVersions) {
    PhoneHub hub;
    const std::string phone = hub.MakePhone("Described");
    std::optional<ruvo::phone::PhoneConfig> config = ruvo::phone::LoadPhone(phone);
    ASSERT_TRUE(config);
    config->productType = "iPhone15,3";
    config->productVersion = "17.2.1";
    // Longer than the copy buffers: a value keeps its first 49 bytes.
    config->basebandVersion = std::string(30, '1') + "." + std::string(29, '2');
    ASSERT_TRUE(ruvo::phone::SavePhone(phone, *config));
    const std::u16string connected =
        Group(config->productType, config->productVersion, config->basebandVersion.substr(0, 49));

    StartDeviceManager(&EventLog::Callback, nullptr);
    const std::u16string before = GetDeviceDescription();
    EXPECT_EQ(before, u"") << "empty until a phone connects";

    PhoneHub::Plug(phone, true);
    ASSERT_TRUE(WaitReady(true));
    AppendDeviceDescription();
    EXPECT_EQ(GetDeviceDescription(), connected);

    PhoneHub::Plug(phone, false);
    ASSERT_TRUE(WaitReady(false));
    AppendDeviceDescription();
    EXPECT_EQ(GetDeviceDescription(), connected + Group("", "", "")) << "no ready phone: empty values";

    PhoneHub::Plug(phone, true);
    ASSERT_TRUE(WaitReady(true));
    AppendDeviceDescription();
    EXPECT_EQ(GetDeviceDescription(), connected + Group("", "", "") + connected) << "a second connection adds a group";
}

}  // namespace
