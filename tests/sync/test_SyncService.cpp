// SyncService's session events against a stand-in AirTraffic library in the table of entry
// points (messages are real dictionaries of the CoreFoundation stand-in): which messages set
// which flag, merge into one signal, or are ignored; bounded waits; closing while the reader is
// blocked.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AppleApi.h"
#include "CoreFoundation.h"
#include "DeviceInfo.h"
#include "RealCoreFoundation.h"
#include "SyncService.h"

namespace {

// The stand-in's one connection: a queue of messages the test hands in, read by the reader.
struct FakeAirTraffic {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<CFDictionaryRef> queue;
    bool destroyed = false;
    bool readerInside = false;
    std::string libraryId;
    std::string deviceId;
    std::vector<std::string> sent;

    void Push(CFDictionaryRef message) {
        std::scoped_lock lock(mutex);
        queue.push_back(message);
        changed.notify_all();
    }
};
FakeAirTraffic* g_at = nullptr;
apple::ATHostConnectionRef const kConnection = reinterpret_cast<apple::ATHostConnectionRef>(0x5000);

std::string Text(CFStringRef s) {
    char buffer[256] = {};
    if (s) CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8);
    return buffer;
}

apple::ATHostConnectionRef FakeCreate(apple::CFStringRef library, apple::CFStringRef device, unsigned int) {
    g_at->libraryId = Text(reinterpret_cast<CFStringRef>(library));
    g_at->deviceId = Text(reinterpret_cast<CFStringRef>(device));
    return kConnection;
}

void FakeDestroy(apple::ATHostConnectionRef) {
    std::unique_lock lock(g_at->mutex);
    g_at->destroyed = true;
    g_at->changed.notify_all();
    // As the library promises: the connection goes only once no reader is inside.
    g_at->changed.wait(lock, [] { return !g_at->readerInside; });
}

apple::ATCFMessageRef FakeRead(apple::ATHostConnectionRef) {
    std::unique_lock lock(g_at->mutex);
    g_at->readerInside = true;
    g_at->changed.notify_all();
    g_at->changed.wait(lock, [] { return g_at->destroyed || !g_at->queue.empty(); });
    CFDictionaryRef message = nullptr;
    if (!g_at->destroyed) {
        message = g_at->queue.front();
        g_at->queue.pop_front();
    }
    g_at->readerInside = false;
    g_at->changed.notify_all();
    return reinterpret_cast<apple::ATCFMessageRef>(message);
}

apple::CFStringRef FakeGetName(apple::ATCFMessageRef message) {
    return reinterpret_cast<apple::CFStringRef>(
        CFDictionaryGetValue(reinterpret_cast<CFDictionaryRef>(message), CFSTR("Command")));
}

apple::CFTypeRef FakeGetParam(apple::ATCFMessageRef message, apple::CFStringRef name) {
    const void* params = CFDictionaryGetValue(reinterpret_cast<CFDictionaryRef>(message), CFSTR("Params"));
    return params ? CFDictionaryGetValue(static_cast<CFDictionaryRef>(params), name) : nullptr;
}

int FakePower(apple::ATHostConnectionRef, apple::CFBooleanRef) {
    g_at->sent.emplace_back("PowerAssertion");
    return 0;
}

// A message {"Command": name, "Params": params}.
CFDictionaryRef Message(const char* name, CFTypeRef params = nullptr) {
    CFMutableDictionaryRef message =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFStringRef command = CFStringCreateWithCString(nullptr, name, kCFStringEncodingUTF8);
    CFDictionarySetValue(message, CFSTR("Command"), command);
    CFRelease(command);
    if (params) CFDictionarySetValue(message, CFSTR("Params"), params);
    return message;
}

// {"AssetManifest": {"Ringtone": [{"AssetID": id}, ...]}} as a manifest message; ids may be empty.
CFDictionaryRef Manifest(const std::vector<const char*>& ids) {
    CFMutableArrayRef list = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    for (const char* id : ids) {
        CFMutableDictionaryRef entry =
            CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        CFStringRef text = CFStringCreateWithCString(nullptr, id, kCFStringEncodingUTF8);
        CFDictionarySetValue(entry, CFSTR("AssetID"), text);
        CFArrayAppendValue(list, entry);
        CFRelease(text);
        CFRelease(entry);
    }
    CFMutableDictionaryRef manifest =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(manifest, CFSTR("Ringtone"), list);
    CFMutableDictionaryRef params =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(params, CFSTR("AssetManifest"), manifest);
    CFDictionaryRef message = Message("AssetManifest", params);
    CFRelease(list);
    CFRelease(manifest);
    CFRelease(params);
    return message;
}

class SyncSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        UseRealCoreFoundation();
        AppleApi.ATHostConnectionCreateWithLibrary = &FakeCreate;
        AppleApi.ATHostConnectionDestroy = &FakeDestroy;
        AppleApi.ATHostConnectionReadMessage = &FakeRead;
        AppleApi.ATCFMessageGetName = &FakeGetName;
        AppleApi.ATCFMessageGetParam = &FakeGetParam;
        AppleApi.ATHostConnectionSendPowerAssertion = &FakePower;
    }

    void SetUp() override {
        g_at = &m_at;
        m_info.deviceIdentifier = "00008030-001A2B3C4D5E6F70";
        m_service.Bind({nullptr, nullptr, nullptr, &m_info, nullptr});
        m_service.CreateSignal();
        ASSERT_TRUE(m_service.OpenSession());
    }
    void TearDown() override {
        m_service.CloseSession();
        for (CFDictionaryRef left : m_at.queue) CFRelease(left);
        g_at = nullptr;
    }

    FakeAirTraffic m_at;
    DeviceInfo m_info{nullptr};
    SyncService m_service;
};

TEST_F(SyncSession, TheSessionNamesTheDeviceAndALibrary) {
    EXPECT_EQ(m_at.deviceId, "00008030-001A2B3C4D5E6F70");
    // Without a media file system there are no prefs to read.
    EXPECT_EQ(m_at.libraryId, "0000000000000000");
}

TEST_F(SyncSession, EachEventSignalsOnceAndRepeatsAreMerged) {
    m_at.Push(Message("SyncAllowed"));
    ASSERT_TRUE(m_service.WaitForSignal());
    EXPECT_TRUE(m_service.SyncAllowed());

    // A repeat, an ignored name and metrics release nothing; the ready event that follows does.
    m_at.Push(Message("SyncAllowed"));
    m_at.Push(Message("AssetMetrics"));
    m_at.Push(Message("Ping"));
    m_at.Push(Message("ReadyForSync"));
    ASSERT_TRUE(m_service.WaitForSignal());
    EXPECT_TRUE(m_service.ReadyForSync());

    m_at.Push(Manifest({"1111111111111111111", "2222222222222222222"}));
    ASSERT_TRUE(m_service.WaitForSignal());
    EXPECT_TRUE(m_service.ManifestReceived());
    EXPECT_EQ(m_service.AssetIds(), (std::vector<std::string>{"1111111111111111111", "2222222222222222222"}));

    // A second manifest adds nothing and releases nothing: the next signal is the end.
    m_at.Push(Manifest({"3333333333333333333"}));
    m_at.Push(Message("SyncFinished"));
    ASSERT_TRUE(m_service.WaitForSignal());
    EXPECT_TRUE(m_service.SyncFinished());
    EXPECT_FALSE(m_service.SyncFailed());
    EXPECT_EQ(m_service.AssetIds().size(), 2u);
}

TEST_F(SyncSession, ManifestsThatCannotBeReadReleaseNothing) {
    CFStringRef notADictionary = CFSTR("text");
    // {"AssetManifest": {}}: a manifest without a "Ringtone" entry.
    CFMutableDictionaryRef empty =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFMutableDictionaryRef withoutRingtone =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(withoutRingtone, CFSTR("AssetManifest"), empty);
    CFRelease(empty);
    m_at.Push(Message("AssetManifest", withoutRingtone));
    CFMutableDictionaryRef wrongType =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(wrongType, CFSTR("AssetManifest"), notADictionary);
    m_at.Push(Message("AssetManifest", wrongType));
    m_at.Push(Message("AssetManifest"));
    CFRelease(withoutRingtone);
    CFRelease(wrongType);
    // None of them counts: the next signal is the empty manifest, which does.
    m_at.Push(Manifest({}));
    ASSERT_TRUE(m_service.WaitForSignal());
    EXPECT_TRUE(m_service.ManifestReceived());
    EXPECT_TRUE(m_service.AssetIds().empty());
}

TEST_F(SyncSession, FailureOrALostLinkEndsTheReader) {
    m_at.Push(Message("ConnectionInvalid"));
    ASSERT_TRUE(m_service.WaitForSignal());
    EXPECT_TRUE(m_service.SyncFailed());
    // The reader has stopped: later messages are not taken.
    m_at.Push(Message("SyncFinished"));
    EXPECT_FALSE(m_service.WaitForSignal()) << "nothing more is signalled; the bound ends the wait";
    EXPECT_FALSE(m_service.SyncFinished());
}

TEST_F(SyncSession, AnExpiredWaitIsAFailedSync) {
    EXPECT_FALSE(m_service.WaitForSignal());
    EXPECT_TRUE(m_service.SyncFailed());
}

TEST_F(SyncSession, ClosingStopsAReaderBlockedInTheLibrary) {
    // The reader is blocked in the stand-in's read; closing must wake it, wait for it and only
    // then let the connection and the signal go.
    {
        std::unique_lock lock(m_at.mutex);
        ASSERT_TRUE(m_at.changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_at.readerInside; }));
    }
    m_service.CloseSession();
    EXPECT_TRUE(m_at.destroyed);
    EXPECT_FALSE(m_at.readerInside);
    EXPECT_EQ(m_service.SetPowerAssertion(true), SyncService::kNoConnection);
}

TEST(SyncServiceAlone, PowerAssertionWithoutASession) {
    SyncService service;
    EXPECT_EQ(service.SetPowerAssertion(true), -1001);
    EXPECT_EQ(service.SetPowerAssertion(false), -1001);
}

}  // namespace

int main(int argc, char** argv) {
    // Before the first wait: the bound is read once.
    ::setenv("RUVO_SYNC_TIMEOUT_MS", "300", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
