// The device layer on a virtual phone served in this process: AFC file transfer against a plain
// socket-and-file copy of the same bytes, and a ringtone's addition and deletion with their sync
// sessions. The phones live in a private folder with a hub of their own, removed at exit.
#include <benchmark/benchmark.h>
#include <plist/plist.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>

#include "AFCStandarFileSystem.h"
#include "DeviceLink.h"
#include "DeviceManager.h"
#include "UniqueFd.h"
#include "VirtualPhone.h"

namespace fs = std::filesystem;
using ruvo::UniqueFd;

namespace {

// The size of one transfer: a large ringtone upload, several of the AFC client's 1 MiB pieces.
constexpr int kTransferBytes = 8 << 20;
// The pieces the plain copy moves at a time: the AFC client's piece size.
constexpr size_t kPieceBytes = 1 << 20;
// The size of the ringtone added and deleted.
constexpr int kRingtoneBytes = 1000000;
// The driver looks at the hub every 200 ms; a phone that is not served within this is an error.
constexpr auto kPlugWait = std::chrono::seconds(20);

int IgnoreEvent(int, const char*, int, void*, int) { return 0; }

// The private folder, its hub and the phones made in it; the device manager serves the phone
// plugged last.
class Phones {
public:
    static Phones& Instance() {
        static Phones phones;
        return phones;
    }

    // The phone being served, made and plugged on first use; empty when it could not be.
    const std::string& Current() {
        if (m_current.empty()) PlugFresh();
        return m_current;
    }

    // Unplugs the phone served so far and plugs a new, empty one in its place; false when the
    // device manager did not serve the new phone in time.
    bool PlugFresh() {
        DeviceLink* link = GetDeviceLink(-1);
        if (!m_current.empty()) {
            ruvo::phone::SetPlugged(m_current, false, nullptr);
            if (!WaitUntil([&] { return !link->IsReady(); })) return Fail("the old phone was not released");
            std::error_code error;
            fs::remove_all(m_current, error);
            m_current.clear();
        }
        ruvo::phone::PhoneConfig config;
        config.deviceName = "Bench " + std::to_string(m_made);
        config.userApps = {ruvo::phone::kDefaultCompanionApp};
        config.systemApps = ruvo::phone::kDefaultSystemApps;
        const std::string dir = m_root + "/phone" + std::to_string(m_made++);
        std::string error;
        if (!ruvo::phone::CreatePhone(dir, config, &error)) return Fail("no phone: " + error);
        const std::string id = ruvo::phone::LoadPhone(dir)->uniqueDeviceId;
        if (!ruvo::phone::SetPlugged(dir, true, &error)) return Fail("not plugged: " + error);
        link = WaitForLink();
        if (!link || !WaitUntil([&] { return link->IsReady() && link->DeviceIdentifier() == id; }))
            return Fail("the new phone was not served");
        m_current = dir;
        return true;
    }

    std::string Media() { return ruvo::phone::MediaRoot(Current()); }

private:
    Phones() {
        std::string pattern = (fs::temp_directory_path() / "ruvo-bench-device-XXXXXX").string();
        if (::mkdtemp(pattern.data())) m_root = pattern;
        // Read by the device manager's driver thread: set before it starts.
        ::setenv("RUVO_PHONE_HUB", (m_root + "/hub").c_str(), 1);
        ::setenv("RUVO_SUPPORT_DIR", RUVO_BENCH_SUPPORT_DIR, 1);
        ::setenv("RUVO_DEVICE_DRIVER", "virtual", 1);
        StartDeviceManager(&IgnoreEvent, nullptr);
    }
    ~Phones() {
        if (!m_current.empty()) ruvo::phone::SetPlugged(m_current, false, nullptr);
        std::error_code error;
        if (!m_root.empty()) fs::remove_all(m_root, error);
    }

    template <typename Condition>
    static bool WaitUntil(Condition condition) {
        const auto deadline = std::chrono::steady_clock::now() + kPlugWait;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    static DeviceLink* WaitForLink() {
        DeviceLink* link = nullptr;
        WaitUntil([&] { return (link = GetDeviceLink(-1)) != nullptr; });
        return link;
    }
    static bool Fail(const std::string& why) {
        std::fprintf(stderr, "bench_device: %s\n", why.c_str());
        return false;
    }

    std::string m_root;
    std::string m_current;
    int m_made = 0;
};

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + 7) >> 3);
    return bytes;
}

// The media area of the current phone, connected; null (and the benchmark skipped) when the
// phone is not served.
std::unique_ptr<AFCStandarFileSystem> ConnectMedia(benchmark::State& state) {
    if (Phones::Instance().Current().empty()) {
        state.SkipWithError("no phone");
        return nullptr;
    }
    auto media = std::make_unique<AFCStandarFileSystem>(GetDeviceLink(-1)->Snapshot().device);
    if (!media->EnsureConnected()) {
        state.SkipWithError("no AFC connection");
        return nullptr;
    }
    return media;
}

void AfcUp(benchmark::State& state) {
    auto media = ConnectMedia(state);
    if (!media) return;
    const std::string bytes = Pattern(kTransferBytes);
    for (auto _ : state) {
        if (!media->WriteFile("/bench-afc.bin", bytes.data(), kTransferBytes)) {
            state.SkipWithError("WriteFile failed");
            break;
        }
    }
    media->CloseConnection();
    media->Close();
    state.SetBytesProcessed(state.iterations() * kTransferBytes);
}

void AfcDown(benchmark::State& state) {
    auto media = ConnectMedia(state);
    if (!media) return;
    const std::string bytes = Pattern(kTransferBytes);
    if (!media->WriteFile("/bench-afc.bin", bytes.data(), kTransferBytes)) state.SkipWithError("WriteFile failed");
    for (auto _ : state) {
        std::string back;
        if (!media->ReadFile("/bench-afc.bin", back) || back.size() != bytes.size()) {
            state.SkipWithError("ReadFile failed");
            break;
        }
        benchmark::DoNotOptimize(back.data());
    }
    media->CloseConnection();
    media->Close();
    state.SetBytesProcessed(state.iterations() * kTransferBytes);
}

bool SendAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        const ssize_t sent = ::send(fd, bytes, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

// Up to length bytes, as many as one call brings; 0 at the end, -1 on an error.
ssize_t ReceiveSome(int fd, char* bytes, size_t length) {
    for (;;) {
        const ssize_t got = ::recv(fd, bytes, length, 0);
        if (got < 0 && errno == EINTR) continue;
        return got;
    }
}

bool WriteAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, bytes, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// The same bytes and the same file work without the device layer: this thread sends the block
// through a socket pair in 1 MiB pieces, a second thread receives it and writes each piece to a
// file in the phone's media folder as it arrives.
void PlainUp(benchmark::State& state) {
    if (Phones::Instance().Current().empty()) {
        state.SkipWithError("no phone");
        return;
    }
    const std::string file = Phones::Instance().Media() + "/bench-plain.bin";
    const std::string bytes = Pattern(kTransferBytes);
    std::vector<char> piece(kPieceBytes);
    for (auto _ : state) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            state.SkipWithError("socketpair failed");
            break;
        }
        UniqueFd host(ends[0]), phone(ends[1]);
        bool stored = false;
        std::thread receiver([&] {
            UniqueFd out(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
            if (!out.Valid()) return;
            size_t total = 0;
            while (total < bytes.size()) {
                const ssize_t got = ReceiveSome(phone.Get(), piece.data(), piece.size());
                if (got <= 0 || !WriteAll(out.Get(), piece.data(), static_cast<size_t>(got))) return;
                total += static_cast<size_t>(got);
            }
            stored = true;
        });
        bool sent = true;
        for (size_t done = 0; sent && done < bytes.size(); done += kPieceBytes)
            sent = SendAll(host.Get(), bytes.data() + done, std::min(kPieceBytes, bytes.size() - done));
        if (!sent) ::shutdown(host.Get(), SHUT_RDWR);
        receiver.join();
        if (!sent || !stored) {
            state.SkipWithError("plain copy up failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kTransferBytes);
}

// The reverse: a second thread reads the file from the phone's media folder in 1 MiB pieces and
// sends each through the socket pair; this thread receives the whole block.
void PlainDown(benchmark::State& state) {
    if (Phones::Instance().Current().empty()) {
        state.SkipWithError("no phone");
        return;
    }
    const std::string file = Phones::Instance().Media() + "/bench-plain.bin";
    {
        const std::string bytes = Pattern(kTransferBytes);
        std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<char> piece(kPieceBytes);
    for (auto _ : state) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            state.SkipWithError("socketpair failed");
            break;
        }
        UniqueFd host(ends[0]), phone(ends[1]);
        std::thread sender([&] {
            UniqueFd in(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
            if (in.Valid()) {
                for (;;) {
                    const ssize_t got = ::read(in.Get(), piece.data(), piece.size());
                    if (got < 0 && errno == EINTR) continue;
                    if (got <= 0 || !SendAll(phone.Get(), piece.data(), static_cast<size_t>(got))) break;
                }
            }
            ::shutdown(phone.Get(), SHUT_WR);
        });
        std::string back(kTransferBytes, '\0');
        size_t total = 0;
        while (total < back.size()) {
            const ssize_t got = ReceiveSome(host.Get(), back.data() + total, back.size() - total);
            if (got <= 0) break;
            total += static_cast<size_t>(got);
        }
        sender.join();
        benchmark::DoNotOptimize(back.data());
        if (total != back.size()) {
            state.SkipWithError("plain copy down failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kTransferBytes);
}

// The persistent ids in the phone's catalogue, read from the file the sync agent keeps.
std::vector<uint64_t> CataloguePids(const std::string& phone) {
    std::vector<uint64_t> pids;
    std::ifstream in(ruvo::phone::MediaRoot(phone) + "/iTunes_Control/iTunes/Ringtones.plist", std::ios::binary);
    std::stringstream data;
    data << in.rdbuf();
    const std::string bytes = data.str();
    plist_t root = nullptr;
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) return pids;
    if (plist_t tones = plist_dict_get_item(root, "Ringtones"); tones && plist_get_node_type(tones) == PLIST_DICT) {
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(tones, &it);
        for (;;) {
            char* key = nullptr;
            plist_t tone = nullptr;
            plist_dict_next_item(tones, it, &key, &tone);
            if (!tone) break;
            std::free(key);
            uint64_t pid = 0;
            if (plist_t item = plist_dict_get_item(tone, "PID"); item && plist_get_node_type(item) == PLIST_UINT) {
                plist_get_uint_val(item, &pid);
                pids.push_back(pid);
            }
        }
        std::free(it);
    }
    plist_free(root);
    return pids;
}

// One addition of a 1 MB ringtone and its deletion, each a whole ringtone operation with its
// sync session, on a phone plugged fresh for the pair: the phone change and the look at the
// catalogue between the two are not timed.
void AddAndDeleteRingtone(benchmark::State& state) {
    const std::string audio = Pattern(kRingtoneBytes);
    for (auto _ : state) {
        state.PauseTiming();
        const bool fresh = Phones::Instance().PlugFresh();
        DeviceLink* link = GetDeviceLink(-1);
        state.ResumeTiming();
        if (!fresh) {
            state.SkipWithError("no fresh phone");
            break;
        }
        if (link->AddRingtone(reinterpret_cast<const unsigned char*>(audio.data()), kRingtoneBytes, "Bench Bell", 30) !=
            1) {
            state.SkipWithError("AddRingtone failed");
            break;
        }
        state.PauseTiming();
        const std::vector<uint64_t> pids = CataloguePids(Phones::Instance().Current());
        const std::string json = pids.size() == 1 ? "{\"PID\":[\"" + std::to_string(pids[0]) + "\"]}" : "";
        state.ResumeTiming();
        if (json.empty()) {
            state.SkipWithError("the added ringtone is not in the catalogue");
            break;
        }
        if (link->DeleteRingtones(std::u16string(json.begin(), json.end())) != 1) {
            state.SkipWithError("DeleteRingtones failed");
            break;
        }
    }
}

}  // namespace

BENCHMARK(AfcUp)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(PlainUp)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(AfcDown)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(PlainDown)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(AddAndDeleteRingtone)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK_MAIN();
