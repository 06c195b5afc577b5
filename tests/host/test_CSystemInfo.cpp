// CSystemInfo over a fixture of facts: the adapter list's tree layout, which adapters it lists, and the host texts.
#include "CSystemInfo.h"

#include <gtest/gtest.h>

#include "HostTestSupport.h"

using host_test::Adapter;
using host_test::FakeHostFacts;

namespace {

struct Child {
    std::u16string key;
    std::u16string value;
};

std::vector<Child> ChildrenOf(CJson* node) {
    std::vector<Child> children;
    for (int i = 0; i < node->GetChildCount(); ++i)
        children.push_back({node->GetChild(i)->GetKey(), node->GetChild(i)->GetValue()});
    return children;
}

void ExpectChildren(CJson* node, const std::vector<Child>& expected, const char* desc) {
    const std::vector<Child> got = ChildrenOf(node);
    ASSERT_EQ(got.size(), expected.size()) << desc;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].key, expected[i].key) << desc << ", child " << i;
        EXPECT_EQ(got[i].value, expected[i].value) << desc << ", child " << i;
    }
}

TEST(CSystemInfoTest, AdapterListHasOneNodePerPhysicalAdapterWithItsFiveValuesInOrder) {
    FakeHostFacts facts;
    facts.adapters = {
        Adapter(u"lo", {0, 0, 0, 0, 0, 0}, false),
        Adapter(u"enp0s31f6", {0x00, 0x1b, 0x21, 0x3a, 0x4f, 0x5c}, true),
        Adapter(u"docker0", {0x02, 0x42, 0xac, 0x11, 0x00, 0x01}, false, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60}),
        Adapter(u"wlp0s20f3", {0xf4, 0x8c, 0x50, 0x01, 0xa2, 0xb3}, true, {0xc8, 0x3a, 0x35, 0x0d, 0xe1, 0xff}),
    };
    facts.adapters[3].ipAddress = u"";
    facts.adapters[3].description = u"Intel Wi-Fi 6 AX201";

    const std::unique_ptr<CJson> root = CSystemInfo(facts).GetNetworkAdapters();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->GetKey(), u"");
    ExpectChildren(root.get(), {{u"AdapterName", u"enp0s31f6"}, {u"AdapterName", u"wlp0s20f3"}}, "root");
    ExpectChildren(root->GetChild(0),
                   {{u"Address", u"00:1B:21:3A:4F:5C"},
                    {u"Description", u"enp0s31f6 driver"},
                    {u"IpAddress", u"192.168.1.20"},
                    {u"MediaSubType", u"1"},
                    {u"BSSID", u""}},
                   "wired adapter");
    ExpectChildren(root->GetChild(1),
                   {{u"Address", u"F4:8C:50:01:A2:B3"},
                    {u"Description", u"Intel Wi-Fi 6 AX201"},
                    {u"IpAddress", u""},
                    {u"MediaSubType", u"2"},
                    {u"BSSID", u"C8:3A:35:0D:E1:FF"}},
                   "wireless adapter");
    for (int i = 0; i < root->GetChildCount(); ++i)
        EXPECT_EQ(root->GetChild(i)->GetChildCount(), 5) << "an adapter's values have no children of their own";
}

TEST(CSystemInfoTest, WithoutPhysicalAdaptersTheListIsAnEmptyRoot) {
    struct Case {
        const char* desc;
        std::vector<NetworkAdapterFacts> adapters;
    };
    const Case cases[] = {
        {"no adapters at all", {}},
        {"virtual and USB adapters only",
         {Adapter(u"lo", {0, 0, 0, 0, 0, 0}, false),
          Adapter(u"enx001122334455", {0, 0x11, 0x22, 0x33, 0x44, 0x55}, false),
          Adapter(u"virbr0", {0x52, 0x54, 0, 0x12, 0x34, 0x56}, false, {1, 2, 3, 4, 5, 6})}},
    };
    for (const Case& c : cases) {
        FakeHostFacts facts;
        facts.adapters = c.adapters;
        const std::unique_ptr<CJson> root = CSystemInfo(facts).GetNetworkAdapters();
        ASSERT_NE(root, nullptr) << c.desc;
        EXPECT_EQ(root->GetChildCount(), 0) << c.desc;
    }
}

TEST(CSystemInfoTest, HardwareAddressesShowTheirFirstSixBytes) {
    struct Case {
        const char* desc;
        std::vector<uint8_t> address;
        std::u16string text;
    };
    const Case cases[] = {
        {"six bytes, upper-case hex", {0xab, 0xcd, 0xef, 0x01, 0x23, 0x45}, u"AB:CD:EF:01:23:45"},
        {"a longer address is cut to six bytes", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, u"01:02:03:04:05:06"},
        {"a shorter address is filled with zeros", {0xff, 0xee}, u"FF:EE:00:00:00:00"},
        {"no address", {}, u"00:00:00:00:00:00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CSystemInfo::FormatHardwareAddress(c.address), c.text) << c.desc;
        FakeHostFacts facts;
        facts.adapters = {Adapter(u"eth0", c.address, true, c.address)};
        const std::unique_ptr<CJson> root = CSystemInfo(facts).GetNetworkAdapters();
        ASSERT_EQ(root->GetChildCount(), 1) << c.desc;
        EXPECT_EQ(root->GetChild(0)->FindChild(u"Address", u"")->GetValue(), c.text) << c.desc;
        // An access point is formatted alike; without one the BSSID stays empty.
        EXPECT_EQ(root->GetChild(0)->FindChild(u"BSSID", u"")->GetValue(), c.address.empty() ? u"" : c.text) << c.desc;
    }
}

TEST(CSystemInfoTest, TextsComeFromTheFacts) {
    FakeHostFacts facts;
    CSystemInfo info(facts);
    EXPECT_EQ(info.GetProcessorName(), facts.processorName);
    EXPECT_EQ(info.GetOsProductName(), facts.osProductName);
    EXPECT_EQ(info.GetOsServicePack(), facts.osServicePack);
    EXPECT_EQ(info.GetIeVersion(), facts.browserVersion);
    EXPECT_EQ(info.GetDocumentsFolder(), facts.documentsFolder);
}

}  // namespace
