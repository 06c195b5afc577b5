// The device description with a virtual phone connected, disconnected and connected again, through the device manager and the current link's copy functions.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
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

// The phone's values for one connection, written into its folder while it is unplugged.
struct Model {
    std::string type;
    std::string version;
    std::string baseband;
};

void SetModel(const std::string& phone, const Model& model) {
    std::optional<ruvo::phone::PhoneConfig> config = ruvo::phone::LoadPhone(phone);
    ASSERT_TRUE(config);
    config->productType = model.type;
    config->productVersion = model.version;
    config->basebandVersion = model.baseband;
    ASSERT_TRUE(ruvo::phone::SavePhone(phone, *config));
}

TEST(DeviceDescriptionTest, EachConnectionReplacesTheDescriptionWithThePhonesModelAndVersions) {
    PhoneHub hub;
    const std::string phone = hub.MakePhone("Described");
    // Longer than the copy buffers: a value keeps its first 49 bytes.
    const Model first{"iPhone15,3", "17.2.1", std::string(30, '1') + "." + std::string(29, '2')};
    SetModel(phone, first);
    const std::u16string connected = Group(first.type, first.version, first.baseband.substr(0, 49));

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
    EXPECT_EQ(GetDeviceDescription(), Group("", "", "")) << "no ready phone: empty values, and nothing of the last one";

    PhoneHub::Plug(phone, true);
    ASSERT_TRUE(WaitReady(true));
    AppendDeviceDescription();
    EXPECT_EQ(GetDeviceDescription(), connected) << "the phone plugged in again is described once";

    // Replugs of other phones: the description is always exactly the last phone's one triple,
    // however many connections came before.
    const Model others[] = {
        {"iPhone8,1", "12.5.7", "7.80.04"},
        {"iPhone8,1", "12.5.7", "7.80.04"},
        {"iPad7,5", "16.7", ""},
        {"iPhone16,2", "18.0", "2.00.01"},
    };
    for (const Model& model : others) {
        SCOPED_TRACE(model.type + " " + model.version);
        PhoneHub::Plug(phone, false);
        ASSERT_TRUE(WaitReady(false));
        SetModel(phone, model);
        PhoneHub::Plug(phone, true);
        ASSERT_TRUE(WaitReady(true));
        AppendDeviceDescription();
        EXPECT_EQ(GetDeviceDescription(), Group(model.type, model.version, model.baseband));
    }
}

}  // namespace
