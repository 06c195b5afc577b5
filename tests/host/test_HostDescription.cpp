// The host description from a fixture of facts (its pairs, their order, MAC and BSSID, the Base64 header value and the cache) and the device description without a phone.
#include "HostDescription.h"

#include <gtest/gtest.h>

#include <thread>

#include "../formats/CodePageSupport.h"
#include "HostTestSupport.h"
#include "TextEncoding.h"

using host_test::Adapter;
using host_test::DecodeBase64;
using host_test::FakeHostFacts;

namespace {

const std::vector<uint8_t> kWiredMac = {0x00, 0x1b, 0x21, 0x3a, 0x4f, 0x5c};
const std::vector<uint8_t> kWirelessMac = {0xf4, 0x8c, 0x50, 0x01, 0xa2, 0xb3};
const std::vector<uint8_t> kOtherWirelessMac = {0xf4, 0x8c, 0x50, 0x01, 0xa2, 0xb4};
const std::vector<uint8_t> kAccessPoint = {0xc8, 0x3a, 0x35, 0x0d, 0xe1, 0xff};
const std::vector<uint8_t> kOtherAccessPoint = {0x00, 0x0c, 0x42, 0x11, 0x22, 0x33};
const std::u16string kWiredText = u"00:1B:21:3A:4F:5C";
const std::u16string kWirelessText = u"F4:8C:50:01:A2:B3";
const std::u16string kAccessPointText = u"C8:3A:35:0D:E1:FF";

std::u16string ValueOf(const std::vector<HostDescriptionPair>& pairs, const std::u16string& key) {
    for (const HostDescriptionPair& pair : pairs)
        if (pair.key == key) return pair.value;
    return u"<missing>";
}

// What the description must read for the fixture's facts, written out pair by pair.
std::u16string ExpectedText(const FakeHostFacts& facts, const std::u16string& mac, const std::u16string& bssid) {
    return u"sid=" + mac + u"&mtype=&lang=&mac=" + mac + u"&osver=" + facts.osProductName + u" " + facts.osServicePack +
           u"&bssid=" + bssid + u"&screen=2560*1440&processor=" + facts.processorName + u" 8&memory=&mboard=&ie=" +
           facts.browserVersion + u"&pid=40&pt=4&ch=&ver=7&";
}

TEST(HostDescriptionTest, PairsComeInTheReportsOrder) {
    FakeHostFacts facts;
    facts.adapters = {Adapter(u"eth0", kWiredMac, true)};
    std::vector<std::u16string> keys;
    for (const HostDescriptionPair& pair : CollectHostDescription(facts, u"7")) keys.push_back(pair.key);
    EXPECT_EQ(keys,
              (std::vector<std::u16string>{u"sid", u"mtype", u"lang", u"mac", u"osver", u"bssid", u"screen",
                                           u"processor", u"memory", u"mboard", u"ie", u"pid", u"pt", u"ch", u"ver"}));
}

TEST(HostDescriptionTest, TheWholeTextForAWiredAndAWirelessAdapter) {
    FakeHostFacts facts;
    facts.adapters = {Adapter(u"enp0s31f6", kWiredMac, true), Adapter(u"wlp0s20f3", kWirelessMac, true, kAccessPoint)};
    EXPECT_EQ(JoinHostDescription(CollectHostDescription(facts, u"7")),
              ExpectedText(facts, kWiredText, kAccessPointText));
}

TEST(HostDescriptionTest, MacIsTheFirstListedAdapterAndBssidTheFirstOneFound) {
    struct Case {
        const char* desc;
        std::vector<NetworkAdapterFacts> adapters;
        std::u16string mac;
        std::u16string bssid;
    };
    const Case cases[] = {
        {"wired first, wireless with an access point second",
         {Adapter(u"enp0s31f6", kWiredMac, true), Adapter(u"wlp0s20f3", kWirelessMac, true, kAccessPoint)},
         kWiredText,
         kAccessPointText},
        {"adapters that are not listed count for nothing, their access point neither",
         {Adapter(u"lo", {0, 0, 0, 0, 0, 0}, false),
          Adapter(u"wlx0011", {0, 0x11, 0, 0, 0, 1}, false, kOtherAccessPoint),
          Adapter(u"wlp0s20f3", kWirelessMac, true)},
         kWirelessText,
         u""},
        {"two access points: the first adapter's",
         {Adapter(u"wlp1", kWirelessMac, true, kAccessPoint),
          Adapter(u"wlp2", kOtherWirelessMac, true, kOtherAccessPoint)},
         kWirelessText,
         kAccessPointText},
        {"the access point of a later adapter after one without",
         {Adapter(u"wlp1", kWirelessMac, true), Adapter(u"wlp2", kOtherWirelessMac, true),
          Adapter(u"wlp3", kWiredMac, true, kAccessPoint)},
         kWirelessText,
         kAccessPointText},
        {"virtual and USB adapters only",
         {Adapter(u"docker0", kWiredMac, false), Adapter(u"usb0", kWirelessMac, false)},
         u"",
         u""},
        {"no adapters at all", {}, u"", u""},
    };
    for (const Case& c : cases) {
        FakeHostFacts facts;
        facts.adapters = c.adapters;
        const std::vector<HostDescriptionPair> pairs = CollectHostDescription(facts, u"7");
        EXPECT_EQ(ValueOf(pairs, u"sid"), c.mac) << c.desc;
        EXPECT_EQ(ValueOf(pairs, u"mac"), c.mac) << c.desc;
        EXPECT_EQ(ValueOf(pairs, u"bssid"), c.bssid) << c.desc;
        EXPECT_EQ(JoinHostDescription(pairs), ExpectedText(facts, c.mac, c.bssid)) << c.desc;
    }
}

TEST(HostDescriptionTest, MissingFactsLeaveTheirPartsEmpty) {
    struct Case {
        const char* desc;
        void (*change)(FakeHostFacts&);
        std::u16string key;
        std::u16string value;
    };
    const Case cases[] = {
        {"no service pack: the product name and one space", [](FakeHostFacts& f) { f.osServicePack.clear(); }, u"osver",
         u"Fixture Linux 12 (bookworm) "},
        {"no product name: one space and the service pack", [](FakeHostFacts& f) { f.osProductName.clear(); }, u"osver",
         u" 6.1.0-13-amd64"},
        {"no processor name: one space and the count", [](FakeHostFacts& f) { f.processorName.clear(); }, u"processor",
         u" 8"},
        {"no display", [](FakeHostFacts& f) { f.screen = {}; }, u"screen", u"0*0"},
        {"no browser component", [](FakeHostFacts& f) { f.browserVersion.clear(); }, u"ie", u""},
    };
    for (const Case& c : cases) {
        FakeHostFacts facts;
        c.change(facts);
        EXPECT_EQ(ValueOf(CollectHostDescription(facts, u"7"), c.key), c.value) << c.desc;
    }
}

TEST(HostDescriptionTest, DescriptionIsTheHeaderNameZeroAndTheBase64OfTheText) {
    FakeHostFacts facts;
    facts.adapters = {Adapter(u"enp0s31f6", kWiredMac, true), Adapter(u"wlp0s20f3", kWirelessMac, true, kAccessPoint)};
    std::u16string cache;
    const std::u16string description = GetHostDescription(cache, u"7", facts);

    const std::u16string prefix = u"User-Agent1:0";
    ASSERT_EQ(description.substr(0, prefix.size()), prefix);
    const std::u16string base64 = description.substr(prefix.size());
    EXPECT_EQ(base64.find_first_of(u"\r\n"), std::u16string::npos) << "a header value is one line";
    EXPECT_EQ(DecodeBase64(base64), TextToUtf8(ExpectedText(facts, kWiredText, kAccessPointText)));
    EXPECT_EQ(HostDescriptionHeaderValue(JoinHostDescription(CollectHostDescription(facts, u"7"))),
              description.substr(std::u16string(kHostDescriptionHeader).size() + 1));
}

// The text is sent in the ANSI code page: a processor name outside ASCII travels as that code
// page's bytes.
TEST(HostDescriptionTest, Base64CarriesTheTextsAnsiBytes) {
    REQUIRE_KNOWN_PAGE(page);
    FakeHostFacts facts;
    facts.processorName = u"龙芯";
    std::u16string cache;
    const std::u16string description = GetHostDescription(cache, u"7", facts);
    const std::string decoded = DecodeBase64(description.substr(std::u16string(u"User-Agent1:0").size()));
    const std::string name = *page == Page::Utf8 ? "\xE9\xBE\x99\xE8\x8A\xAF" : "\xC1\xFA\xD0\xBE";
    EXPECT_NE(decoded.find("&processor=" + name + " 8&"), std::string::npos) << decoded;
}

TEST(HostDescriptionTest, BuiltOnceThenTakenFromTheCache) {
    FakeHostFacts facts;
    facts.adapters = {Adapter(u"eth0", kWiredMac, true)};
    std::u16string cache;
    const std::u16string first = GetHostDescription(cache, u"7", facts);
    EXPECT_EQ(cache, first);
    const int queries = facts.queries;
    EXPECT_GT(queries, 0);

    facts.adapters.clear();
    EXPECT_EQ(GetHostDescription(cache, u"7", facts), first);
    EXPECT_EQ(facts.queries, queries) << "the second call asks nothing";

    std::u16string given = u"User-Agent1:0given";
    EXPECT_EQ(GetHostDescription(given, u"7", facts), u"User-Agent1:0given");
    EXPECT_EQ(GetHostDescription(given, u"7"), u"User-Agent1:0given") << "nor does the computer's own form";
    EXPECT_EQ(facts.queries, queries);
}

TEST(HostDescriptionTest, ProtocolVersionIsTheLastPair) {
    FakeHostFacts facts;
    const std::vector<HostDescriptionPair> pairs = CollectHostDescription(facts, u"12");
    ASSERT_FALSE(pairs.empty());
    EXPECT_EQ(pairs.back().key, u"ver");
    EXPECT_EQ(pairs.back().value, u"12");
}

// No device manager runs in this process, so the copy functions leave their buffers as they
// are: a connection describes the phone with three empty fields, and a further connection
// replaces that description instead of adding to it.
TEST(DeviceDescriptionTest, WithoutAPhoneEachCallHoldsThreeEmptyFieldsOnce) {
    const std::u16string group = u"|ProductType:|SystemVersion:|BasebandVersion:";
    AppendDeviceDescription();
    EXPECT_EQ(GetDeviceDescription(), group);
    AppendDeviceDescription();
    EXPECT_EQ(GetDeviceDescription(), group);
}

// The ringtone commands read the text on their threads while a connection replaces it
// (run under ThreadSanitizer): a reader sees one whole group, never a half-written one.
TEST(DeviceDescriptionTest, ReadersSeeWholeGroups) {
    const std::u16string group = u"|ProductType:|SystemVersion:|BasebandVersion:";
    constexpr int kAppends = 200;
    std::thread reader([&] {
        for (int i = 0; i < kAppends; ++i) {
            const std::u16string text = GetDeviceDescription();
            ASSERT_TRUE(text.empty() || text == group) << "a group was seen half written";
        }
    });
    for (int i = 0; i < kAppends; ++i) AppendDeviceDescription();
    reader.join();
    EXPECT_EQ(GetDeviceDescription(), group);
}

}  // namespace
