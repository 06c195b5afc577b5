// Tests of the phone's sync agent ("com.apple.atc") driven over its socket by a small host that
// speaks the AirTraffic wire: adds, deletes, stored faults at every step, silent and departing
// hosts, refused asset paths and lists, garbage framing, the library id and sessions taking turns.
// The catalogue is read back with Python's plistlib, which shares no code with libplist.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PhoneServices.h"
#include "PlistHolder.h"
#include "SyncFault.h"
#include "UniqueFd.h"
#include "VirtualPhone.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ruvo::PlistHolder;
using ruvo::UniqueFd;
using ruvo::phone::PhoneServices;
using ruvo::phone::StartError;

namespace {

// The agent's bound on each wait for the host, shortened for the whole test process before any
// session reads it. The host below gives each expected reply kReplyWaitMs, less than the bound:
// an agent that stays silent where it should have closed shows as silence, not as a late close.
constexpr const char* kAgentBoundMs = "4000";
constexpr int kReplyWaitMs = 3000;
// How long a host listens to be sure that the agent says nothing (a silent fault).
constexpr int kQuietWindowMs = 400;
// Longer than the agent's bound, for waits that outlast it (a silent host's failure).
constexpr int kBeyondBoundMs = 20000;
const bool kBoundShortened = [] { return ::setenv("RUVO_RECEIVE_TIMEOUT_MS", kAgentBoundMs, 1) == 0; }();

// ---- The host side of the wire ----

struct AgentMessage {
    std::string command;
    uint64_t type = 99;
    uint64_t id = 0;
    uint64_t session = 0;
    bool binary = false;
    PlistHolder params;
};

enum class Heard { Message, Closed, Nothing };

uint64_t UintMember(plist_t dict, const char* key, uint64_t fallback = ~uint64_t{0}) {
    plist_t item = dict ? plist_dict_get_item(dict, key) : nullptr;
    if (!item || plist_get_node_type(item) != PLIST_UINT) return fallback;
    uint64_t value = 0;
    plist_get_uint_val(item, &value);
    return value;
}

std::string StringOf(plist_t dict, const char* key) {
    return ruvo::PlistString(dict ? plist_dict_get_item(dict, key) : nullptr).value_or("<none>");
}

std::string ToBinary(plist_t node) {
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    std::string out(bytes, length);
    plist_to_bin_free(bytes);
    return out;
}

std::string Frame(const std::string& body) {
    std::string frame;
    const auto length = static_cast<uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) frame.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
    return frame + body;
}

// One connection to the agent, as the host library holds it.
class TestHost {
public:
    explicit TestHost(int fd) : m_fd(fd) {}

    bool Valid() const { return m_fd.Valid(); }
    void Close() { m_fd.Reset(); }

    void SendRaw(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(m_fd.Get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }

    static std::string Message(const char* command, plist_t params, uint64_t session, uint64_t id) {
        PlistHolder message(plist_new_dict());
        plist_dict_set_item(message.get(), "Command", plist_new_string(command));
        plist_dict_set_item(message.get(), "Type", plist_new_uint(0));
        plist_dict_set_item(message.get(), "Id", plist_new_uint(id));
        plist_dict_set_item(message.get(), "Session", plist_new_uint(session));
        plist_dict_set_item(message.get(), "Params", params ? params : plist_new_dict());
        return Frame(ToBinary(message.get()));
    }

    // Sends one message; params are taken over.
    void Send(const char* command, plist_t params = nullptr) {
        SendRaw(Message(command, params, m_session, m_nextId++));
    }

    Heard Receive(AgentMessage& out, int waitMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            if (m_buffer.size() >= 4) {
                uint32_t length = 0;
                for (int i = 3; i >= 0; --i) length = (length << 8) | static_cast<unsigned char>(m_buffer[i]);
                if (m_buffer.size() >= 4 + length) {
                    const std::string body = m_buffer.substr(4, length);
                    m_buffer.erase(0, 4 + length);
                    plist_t root = nullptr;
                    plist_from_memory(body.data(), static_cast<uint32_t>(body.size()), &root);
                    PlistHolder holder(root);
                    out.binary = body.starts_with("bplist00");
                    out.command = StringOf(root, "Command");
                    out.type = UintMember(root, "Type");
                    out.id = UintMember(root, "Id");
                    out.session = UintMember(root, "Session");
                    plist_t params = root ? plist_dict_get_item(root, "Params") : nullptr;
                    out.params = PlistHolder(params ? plist_copy(params) : nullptr);
                    return Heard::Message;
                }
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return Heard::Nothing;
            pollfd p{m_fd.Get(), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[4096];
            const ssize_t got = ::recv(m_fd.Get(), chunk, sizeof chunk, 0);
            if (got <= 0) return Heard::Closed;
            m_buffer.append(chunk, static_cast<size_t>(got));
        }
    }

    void SetSession(uint64_t session) { m_session = session; }

private:
    UniqueFd m_fd;
    std::string m_buffer;
    uint64_t m_session = 0;
    uint64_t m_nextId = 1;
};

// ---- Sync lists, catalogue and files as the host and the phone keep them ----

struct Track {
    bool insert = true;
    uint64_t pid = 0;
    std::string title;
    std::string guid;
    uint64_t totalTimeMs = 0;
};

Track Deletion(uint64_t pid) { return Track{false, pid, "", "", 0}; }

std::string SyncList(const std::vector<Track>& tracks) {
    PlistHolder list(plist_new_dict());
    plist_t operations = plist_new_array();
    for (const Track& track : tracks) {
        plist_t op = plist_new_dict();
        if (track.insert) {
            plist_dict_set_item(op, "operation", plist_new_string("insert_track"));
            plist_t item = plist_new_dict();
            plist_dict_set_item(item, "title", plist_new_string(track.title.c_str()));
            plist_dict_set_item(item, "sort_name", plist_new_string(track.title.c_str()));
            plist_dict_set_item(item, "total_time_ms", plist_new_uint(track.totalTimeMs));
            plist_dict_set_item(item, "is_ringtone", plist_new_bool(1));
            plist_dict_set_item(op, "item", item);
            plist_t info = plist_new_dict();
            plist_dict_set_item(info, "guid", plist_new_string(track.guid.c_str()));
            plist_dict_set_item(op, "ringtone_info", info);
            plist_t location = plist_new_dict();
            plist_dict_set_item(location, "kind", plist_new_string("Ringtone"));
            plist_dict_set_item(op, "location", location);
        } else {
            plist_dict_set_item(op, "operation", plist_new_string("delete_track"));
        }
        plist_dict_set_item(op, "pid", plist_new_uint(track.pid));
        plist_array_append_item(operations, op);
    }
    plist_dict_set_item(list.get(), "operations", operations);
    plist_dict_set_item(list.get(), "revision", plist_new_uint(0));
    plist_dict_set_item(list.get(), "timestamp", plist_new_uint(0));
    return ToBinary(list.get());
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Shell(const std::string& command) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return "<no shell>";
    std::string output;
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) output.append(chunk.data(), n);
    const int status = ::pclose(pipe);
    if (status != 0) output += "<exit " + std::to_string(status) + ">";
    return output;
}

// The catalogue as plistlib reads it: one line per tone, by file name.
std::string CatalogueSeenByPython(const fs::path& media) {
    static const char* const kReader =
        "import plistlib, sys, os\n"
        "p = sys.argv[1]\n"
        "if not os.path.exists(p): print(\"<missing>\"); sys.exit(0)\n"
        "d = plistlib.load(open(p, \"rb\"))[\"Ringtones\"]\n"
        "for k in sorted(d):\n"
        "    e = d[k]\n"
        "    print(\"\\t\".join([k, e[\"Name\"], e[\"GUID\"], str(e[\"PID\"]), str(e[\"Total Time\"]),\n"
        "                     str(e[\"Protected Content\"])]))\n";
    return Shell(std::string("python3 -c '") + kReader + "' '" +
                 (media / "iTunes_Control/iTunes/Ringtones.plist").string() + "'");
}

// Every file beneath a folder with its content ("<dir>" for folders).
std::map<std::string, std::string> Files(const fs::path& dir) {
    std::map<std::string, std::string> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        const std::string rel = it->path().lexically_relative(dir).string();
        files[rel] = it->is_directory() ? "<dir>" : ReadFile(it->path());
    }
    return files;
}

// ---- A whole session as the host library runs it ----

// What the host does differently from a well-behaved host.
enum class HostDeparts {
    Never,
    SilentBeforeRequest,   // says nothing after "SyncAllowed"
    SilentBeforeMetadata,  // says nothing after "ReadyForSync"
    SilentBeforeComplete,  // uploads, then says nothing
    ClosesBeforeRequest,   // closes instead of the messages above
    ClosesBeforeMetadata,
    ClosesBeforeComplete,
};

struct Script {
    std::vector<Track> tracks;
    std::vector<std::string> assetPaths;  // one per insertion, in order
    std::string libraryId = "00000000C0FFEE42";
    HostDeparts departs = HostDeparts::Never;
    bool wrongSession = false;
    bool upload = true;
    // The message where the agent is expected to stay silent, listened to for kQuietWindowMs only.
    std::string quietAt;
    // Runs where the host departs from the flow, before it goes quiet or closes.
    std::function<void()> onDeparture;
};

struct Outcome {
    std::string trace;  // the agent's messages in order, then "<closed>" or "<nothing>"
    std::vector<std::string> assetIds;
    std::vector<AgentMessage> messages;
};

class SessionDriver {
public:
    SessionDriver(TestHost& host, fs::path media) : m_host(host), m_media(std::move(media)) {}

    // Runs the script until the agent ends the session or departs from the flow.
    Outcome Run(const Script& script) {
        Outcome out;
        if (!Expect("SyncAllowed", script, out)) return out;
        if (script.departs == HostDeparts::SilentBeforeRequest) {
            AwaitEnd(script, out);
            return out;
        }
        if (script.departs == HostDeparts::ClosesBeforeRequest) {
            Close(script, out);
            return out;
        }

        plist_t hostInfo = plist_new_dict();
        plist_dict_set_item(hostInfo, "LibraryID", plist_new_string(script.libraryId.c_str()));
        plist_dict_set_item(hostInfo, "Version", plist_new_string("11.1.0.126"));
        plist_dict_set_item(hostInfo, "SyncHostName", plist_new_string("ruvo-test"));
        plist_t params = plist_new_dict();
        plist_dict_set_item(params, "HostInfo", hostInfo);
        plist_t dataclasses = plist_new_array();
        plist_array_append_item(dataclasses, plist_new_string("Ringtone"));
        plist_dict_set_item(params, "Dataclasses", dataclasses);
        m_host.Send("PowerAssertion", nullptr);
        m_host.Send("RequestingSync", params);
        if (!Expect("ReadyForSync", script, out)) return out;
        const uint64_t session = out.messages.back().session;
        m_host.SetSession(script.wrongSession ? session + 1 : session);

        WriteFile(m_media / "iTunes_Control/Ringtones/Sync/Sync_00000000.plist", SyncList(script.tracks));
        if (script.departs == HostDeparts::SilentBeforeMetadata) {
            AwaitEnd(script, out);
            return out;
        }
        if (script.departs == HostDeparts::ClosesBeforeMetadata) {
            Close(script, out);
            return out;
        }
        m_host.Send("FinishedSyncingMetadata", nullptr);

        size_t inserts = 0;
        for (const Track& track : script.tracks) inserts += track.insert ? 1 : 0;
        if (inserts > 0) {
            if (!Expect("AssetManifest", script, out)) return out;
            plist_t manifest = plist_dict_get_item(out.messages.back().params.get(), "AssetManifest");
            plist_t assets = manifest ? plist_dict_get_item(manifest, "Ringtone") : nullptr;
            for (uint32_t i = 0; assets && i < plist_array_get_size(assets); ++i)
                out.assetIds.push_back(StringOf(plist_array_get_item(assets, i), "AssetID"));
            for (size_t i = 0; i < out.assetIds.size(); ++i) {
                const std::string& id = out.assetIds[i];
                if (script.upload) WriteFile(m_media / "Airlock/Ringtone" / id, "tone " + std::to_string(i));
                plist_t progress = plist_new_dict();
                plist_dict_set_item(progress, "Dataclass", plist_new_string("Ringtone"));
                plist_dict_set_item(progress, "AssetID", plist_new_string(id.c_str()));
                plist_dict_set_item(progress, "AssetProgress", plist_new_real(1.0));
                plist_dict_set_item(progress, "OverallProgress", plist_new_real(1.0));
                m_host.Send("FileProgress", progress);
            }
            if (script.departs == HostDeparts::SilentBeforeComplete) {
                AwaitEnd(script, out);
                return out;
            }
            if (script.departs == HostDeparts::ClosesBeforeComplete) {
                Close(script, out);
                return out;
            }
            for (size_t i = 0; i < out.assetIds.size(); ++i) {
                plist_t complete = plist_new_dict();
                plist_dict_set_item(complete, "Dataclass", plist_new_string("Ringtone"));
                plist_dict_set_item(complete, "AssetID", plist_new_string(out.assetIds[i].c_str()));
                const std::string path = i < script.assetPaths.size() ? script.assetPaths[i] : "";
                plist_dict_set_item(complete, "AssetPath", plist_new_string(path.c_str()));
                m_host.Send("FileComplete", complete);
            }
        }
        Expect("SyncFinished", script, out);
        return out;
    }

private:
    // Listens for the agent's next message; false (with the trace ended) unless it is the one named.
    bool Expect(const std::string& command, const Script& script, Outcome& out) {
        AgentMessage message;
        switch (m_host.Receive(message, command == script.quietAt ? kQuietWindowMs : kReplyWaitMs)) {
        case Heard::Closed: Append(out, "<closed>"); return false;
        case Heard::Nothing: Append(out, "<nothing>"); return false;
        case Heard::Message: break;
        }
        Append(out, Entry(message));
        const bool expected = message.command == command;
        out.messages.push_back(std::move(message));
        return expected;
    }

    // The agent's answer to a host that went quiet: beyond its bound.
    void AwaitEnd(const Script& script, Outcome& out) {
        if (script.onDeparture) script.onDeparture();
        AgentMessage message;
        Heard heard;
        while ((heard = m_host.Receive(message, kBeyondBoundMs)) == Heard::Message) Append(out, Entry(message));
        Append(out, heard == Heard::Closed ? "<closed>" : "<nothing>");
    }

    void Close(const Script& script, Outcome& out) {
        if (script.onDeparture) script.onDeparture();
        m_host.Close();
        Append(out, "<host closed>");
    }

    // A message as the trace shows it; a failure with its error code.
    static std::string Entry(const AgentMessage& message) {
        if (message.command != "SyncFailed") return message.command;
        const auto code = static_cast<int64_t>(UintMember(message.params.get(), "ErrorCode"));
        return message.command + "(" + std::to_string(code) + ")";
    }

    static void Append(Outcome& out, const std::string& entry) { out.trace += (out.trace.empty() ? "" : " ") + entry; }

    TestHost& m_host;
    fs::path m_media;
};

// ---- The fixture: a phone, its services, and its state before and after ----

class SyncAgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kBoundShortened);
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/ruvo-sync-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        ::setenv("RUVO_PHONE_HUB", (m_dir / "hub").c_str(), 1);
    }
    void TearDown() override {
        m_services.reset();
        std::error_code error;
        fs::remove_all(m_dir, error);
    }

    // A fresh phone with its services; with tones > 0 a catalogue of that many tones written by
    // plistlib (files AAAA.m4r, AAAB.m4r, ...) and their files.
    void MakePhone(int tones = 0) {
        m_services.reset();
        m_phone = (m_dir / ("phone" + std::to_string(m_phones++))).string();
        std::string error;
        ASSERT_TRUE(ruvo::phone::CreatePhone(m_phone, {}, &error)) << error;
        m_services = std::make_unique<PhoneServices>(m_phone);
        if (tones > 0) {
            const std::string catalogue = Media() / "iTunes_Control/iTunes/Ringtones.plist";
            ASSERT_EQ(
                Shell("python3 '" RUVO_RINGTONE_CATALOGUE_TOOL "' " + std::to_string(tones) + " > '" + catalogue + "'"),
                "");
            for (int i = 0; i < tones; ++i)
                WriteFile(Media() / "iTunes_Control/Ringtones" / ToneFile(i), "old tone " + std::to_string(i));
        }
    }

    // The file name and persistent id of tone i of ringtone_catalogue.py.
    static std::string ToneFile(int i) { return std::string("AAA") + static_cast<char>('A' + i) + ".m4r"; }
    static uint64_t TonePid(int i) { return 0x1234567800000000ull + static_cast<uint64_t>(i) * 7919; }

    fs::path Media() const { return fs::path(m_phone) / "media"; }

    TestHost Connect() {
        const auto started = m_services->Start("com.apple.atc");
        EXPECT_EQ(started.error, StartError::None);
        return TestHost(started.fd);
    }

    // Waits (bounded) until the agent has ended every session of the phone.
    bool AllSessionsEnded() {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (m_services->ActiveConnections() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return m_services->ActiveConnections() == 0;
    }

    // The tones' files and the catalogue as plistlib reads it.
    std::string State() {
        std::string state = CatalogueSeenByPython(Media());
        for (const auto& [name, content] : Files(Media() / "iTunes_Control/Ringtones"))
            if (!name.starts_with("Sync")) state += name + "=" + content + "\n";
        return state;
    }

    std::map<std::string, std::string> Airlock() { return Files(Media() / "Airlock/Ringtone"); }

    Outcome RunSession(const Script& script) {
        TestHost host = Connect();
        SessionDriver driver(host, Media());
        Outcome outcome = driver.Run(script);
        host.Close();
        EXPECT_TRUE(AllSessionsEnded());
        return outcome;
    }

    fs::path m_dir;
    std::string m_phone;
    int m_phones = 0;
    std::unique_ptr<PhoneServices> m_services;
};

const Track kBell{true, 123456, "Bell \u266b", "43MRZ4ABCDEF0123", 30000};
const Track kChime{true, 654321, "Chime", "43MRZ40123456789", 12000};

// ---- Adding and deleting ----

TEST_F(SyncAgentTest, AddFilesEachUploadUnderItsNameAndListsIt) {
    struct Case {
        const char* desc;
        int tones;  // tones the phone has before
        std::string before;
    };
    const std::string oldTones =
        "AAAA.m4r\tTone 0 \u266b\t5E4C1B2A00000000\t1311768464867721216\t20000\tTrue\n"
        "AAAB.m4r\tTone 1\t5E4C1B2A00000001\t1311768464867729135\t20001\tFalse\n";
    const Case cases[] = {
        {"no catalogue yet", 0, ""},
        {"beside the tones the phone has", 2, oldTones},
    };
    for (const auto& c : cases) {
        MakePhone(c.tones);
        Script script;
        script.tracks = {kBell, kChime};
        script.assetPaths = {"/iTunes_Control/Ringtones/ABCD.m4r", "/iTunes_Control/Ringtones/WXYZ.m4r"};
        const Outcome outcome = RunSession(script);
        EXPECT_EQ(outcome.trace, "SyncAllowed ReadyForSync AssetManifest SyncFinished") << c.desc;

        // Each tone is the upload made for the asset id announced in its insertion's place.
        EXPECT_EQ(CatalogueSeenByPython(Media()), c.before +
                                                      "ABCD.m4r\tBell \u266b\t43MRZ4ABCDEF0123\t123456\t30000\tFalse\n"
                                                      "WXYZ.m4r\tChime\t43MRZ40123456789\t654321\t12000\tFalse\n")
            << c.desc;
        EXPECT_EQ(ReadFile(Media() / "iTunes_Control/Ringtones/ABCD.m4r"), "tone 0") << c.desc;
        EXPECT_EQ(ReadFile(Media() / "iTunes_Control/Ringtones/WXYZ.m4r"), "tone 1") << c.desc;
        EXPECT_TRUE(Airlock().empty()) << c.desc;
        EXPECT_FALSE(fs::exists(Media() / "iTunes_Control/Ringtones/Sync/Sync_00000000.plist")) << c.desc;
    }
    // The listing command reads the catalogue the agent wrote.
    EXPECT_EQ(Shell("'" RUVO_TEST_PHONE_TOOL "' ringtones '" + m_phone + "'"),
              "1311768464867721216\tTone 0 \u266b\tAAAA.m4r\t20000\n"
              "1311768464867729135\tTone 1\tAAAB.m4r\t20001\n"
              "123456\tBell \u266b\tABCD.m4r\t30000\n"
              "654321\tChime\tWXYZ.m4r\t12000\n");
}

TEST_F(SyncAgentTest, MessagesHaveTheWireShape) {
    MakePhone();
    Script script;
    script.tracks = {kBell, kChime};
    script.assetPaths = {"/iTunes_Control/Ringtones/ABCD.m4r", "/iTunes_Control/Ringtones/WXYZ.m4r"};
    const Outcome outcome = RunSession(script);
    ASSERT_EQ(outcome.messages.size(), 4u) << outcome.trace;
    const uint64_t session = outcome.messages[1].session;
    EXPECT_GT(session, 0u);
    for (size_t i = 0; i < outcome.messages.size(); ++i) {
        const AgentMessage& m = outcome.messages[i];
        EXPECT_TRUE(m.binary) << m.command;
        EXPECT_EQ(m.type, 0u) << m.command;
        EXPECT_EQ(m.id, i + 1) << m.command;
        EXPECT_EQ(m.session, i == 0 ? 0 : session) << m.command;
        ASSERT_TRUE(m.params && plist_get_node_type(m.params.get()) == PLIST_DICT) << m.command;
    }
    EXPECT_EQ(plist_dict_get_size(outcome.messages[0].params.get()), 0u);
    plist_t anchors = plist_dict_get_item(outcome.messages[1].params.get(), "DataclassAnchors");
    EXPECT_EQ(StringOf(anchors, "Ringtone"), "1");
    ASSERT_EQ(outcome.assetIds.size(), 2u);
    for (const std::string& id : outcome.assetIds) {
        EXPECT_EQ(id.size(), 19u) << id;
        EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
    }
    EXPECT_NE(outcome.assetIds[0], outcome.assetIds[1]);
    plist_t assets =
        plist_dict_get_item(plist_dict_get_item(outcome.messages[2].params.get(), "AssetManifest"), "Ringtone");
    EXPECT_EQ(StringOf(plist_array_get_item(assets, 0), "Dataclass"), "Ringtone");
    plist_t finished = plist_dict_get_item(outcome.messages[3].params.get(), "Dataclasses");
    ASSERT_TRUE(finished && plist_get_node_type(finished) == PLIST_ARRAY);
    EXPECT_EQ(ruvo::PlistString(plist_array_get_item(finished, 0)).value_or(""), "Ringtone");
}

TEST_F(SyncAgentTest, DeleteRemovesTheTonesAndTheirFiles) {
    MakePhone(3);
    Script script;
    // Two tones of the phone, and an id it does not have (nothing to remove for it).
    script.tracks = {Deletion(TonePid(0)), Deletion(999), Deletion(TonePid(2))};
    const Outcome outcome = RunSession(script);
    EXPECT_EQ(outcome.trace, "SyncAllowed ReadyForSync SyncFinished");
    EXPECT_EQ(State(), "AAAB.m4r\tTone 1\t5E4C1B2A00000001\t1311768464867729135\t20001\tFalse\nAAAB.m4r=old tone 1\n");
    EXPECT_FALSE(fs::exists(Media() / "iTunes_Control/Ringtones/Sync/Sync_00000000.plist"));
}

// ---- Stored faults ----

TEST_F(SyncAgentTest, FaultsActOutAtTheirStepChangeNothingAndAreUsedUp) {
    struct Operation {
        const char* name;
        std::vector<Track> tracks;
        // The steps the operation's session reaches, with the agent's messages before each.
        std::vector<std::pair<const char*, const char*>> steps;
    };
    const Operation operations[] = {
        {"add",
         {kBell},
         {{"allowed", ""},
          {"ready", "SyncAllowed"},
          {"manifest", "SyncAllowed ReadyForSync"},
          {"finished", "SyncAllowed ReadyForSync AssetManifest"}}},
        {"delete",
         {Deletion(TonePid(0)), Deletion(TonePid(1))},
         {{"allowed", ""}, {"ready", "SyncAllowed"}, {"finished", "SyncAllowed ReadyForSync"}}},
    };
    const std::pair<const char*, const char*> actions[] = {
        {"sync-failed", "SyncFailed(-1)"},
        {"drop", "<closed>"},
        {"silent", "<nothing>"},
    };
    const std::map<std::string, std::string> messageOf = {{"allowed", "SyncAllowed"},
                                                          {"ready", "ReadyForSync"},
                                                          {"manifest", "AssetManifest"},
                                                          {"finished", "SyncFinished"}};
    for (const Operation& operation : operations) {
        for (const auto& [step, before] : operation.steps) {
            for (const auto& [action, instead] : actions) {
                const std::string desc = std::string(operation.name) + " " + step + " " + action;
                MakePhone(2);
                const std::string state = State();
                // Stored by another process, as a tester would.
                ASSERT_EQ(Shell("'" RUVO_TEST_PHONE_TOOL "' fault '" + m_phone + "' " + step + " " + action), "")
                    << desc;
                Script script;
                script.tracks = operation.tracks;
                script.assetPaths = {"/iTunes_Control/Ringtones/ABCD.m4r"};
                if (std::string(action) == "silent") script.quietAt = messageOf.at(step);
                const Outcome outcome = RunSession(script);
                EXPECT_EQ(outcome.trace, std::string(before) + (*before ? " " : "") + instead) << desc;
                EXPECT_EQ(State(), state) << desc;
                EXPECT_TRUE(Airlock().empty()) << desc;
                EXPECT_FALSE(fs::exists(fs::path(m_phone) / ruvo::phone::SyncFault::kFileName)) << desc;

                // Used up: the next session runs through and changes the tones.
                script.quietAt.clear();
                const Outcome again = RunSession(script);
                EXPECT_EQ(again.trace, operation.tracks[0].insert
                                           ? "SyncAllowed ReadyForSync AssetManifest SyncFinished"
                                           : "SyncAllowed ReadyForSync SyncFinished")
                    << desc;
                EXPECT_NE(State(), state) << desc;
            }
        }
    }
}

TEST_F(SyncAgentTest, AFaultWhoseStepNeverComesIsUsedUpAllTheSame) {
    MakePhone(2);
    ASSERT_TRUE(ruvo::phone::SyncFault(ruvo::phone::SyncStep::Manifest, ruvo::phone::SyncFaultAction::Drop)
                    .Store(m_phone, nullptr));
    Script script;
    script.tracks = {Deletion(TonePid(0))};
    EXPECT_EQ(RunSession(script).trace, "SyncAllowed ReadyForSync SyncFinished");
    EXPECT_FALSE(fs::exists(fs::path(m_phone) / ruvo::phone::SyncFault::kFileName));
    // Cleared before any session: nothing is acted out.
    ASSERT_TRUE(ruvo::phone::SyncFault(ruvo::phone::SyncStep::Allowed, ruvo::phone::SyncFaultAction::Drop)
                    .Store(m_phone, nullptr));
    ASSERT_TRUE(ruvo::phone::SyncFault::Clear(m_phone, nullptr));
    script.tracks = {Deletion(TonePid(1))};
    EXPECT_EQ(RunSession(script).trace, "SyncAllowed ReadyForSync SyncFinished");
}

TEST_F(SyncAgentTest, ASilentFaultEndsWithinTheAgentsBoundWhenTheHostStays) {
    MakePhone();
    ASSERT_TRUE(ruvo::phone::SyncFault(ruvo::phone::SyncStep::Ready, ruvo::phone::SyncFaultAction::Silent)
                    .Store(m_phone, nullptr));
    TestHost host = Connect();
    SessionDriver driver(host, Media());
    Script script;
    script.tracks = {kBell};
    script.quietAt = "ReadyForSync";
    EXPECT_EQ(driver.Run(script).trace, "SyncAllowed <nothing>");
    // The host keeps the connection; the agent closes it once its own bound has passed.
    AgentMessage message;
    EXPECT_EQ(host.Receive(message, kBeyondBoundMs), Heard::Closed);
}

// ---- Hosts that go quiet or leave ----

TEST_F(SyncAgentTest, AHostThatGoesQuietOrLeavesAtAnyWaitChangesNothing) {
    struct Case {
        HostDeparts departs;
        const char* trace;
    };
    const Case cases[] = {
        {HostDeparts::SilentBeforeRequest, "SyncAllowed SyncFailed(-2) <closed>"},
        {HostDeparts::SilentBeforeMetadata, "SyncAllowed ReadyForSync SyncFailed(-2) <closed>"},
        {HostDeparts::SilentBeforeComplete, "SyncAllowed ReadyForSync AssetManifest SyncFailed(-2) <closed>"},
        {HostDeparts::ClosesBeforeRequest, "SyncAllowed <host closed>"},
        {HostDeparts::ClosesBeforeMetadata, "SyncAllowed ReadyForSync <host closed>"},
        {HostDeparts::ClosesBeforeComplete, "SyncAllowed ReadyForSync AssetManifest <host closed>"},
    };
    for (const auto& c : cases) {
        MakePhone(2);
        const std::string state = State();
        Script script;
        script.tracks = {kBell, Deletion(TonePid(0))};
        script.assetPaths = {"/iTunes_Control/Ringtones/ABCD.m4r"};
        script.departs = c.departs;
        EXPECT_EQ(RunSession(script).trace, c.trace);
        EXPECT_EQ(State(), state) << c.trace;
        // The uploads the host made before it went are gone with the session.
        EXPECT_TRUE(Airlock().empty()) << c.trace;
    }
}

TEST_F(SyncAgentTest, UnplugEndsASessionWithoutChanges) {
    MakePhone(2);
    const std::string state = State();
    Script script;
    script.tracks = {kBell};
    script.departs = HostDeparts::SilentBeforeComplete;
    // The cable is pulled while the agent waits for the upload to complete.
    script.onDeparture = [this] { m_services->Unplug(); };
    TestHost host = Connect();
    EXPECT_EQ(SessionDriver(host, Media()).Run(script).trace, "SyncAllowed ReadyForSync AssetManifest <closed>");
    EXPECT_TRUE(AllSessionsEnded());
    EXPECT_EQ(State(), state);
    EXPECT_TRUE(Airlock().empty());
}

// ---- What the agent refuses ----

TEST_F(SyncAgentTest, AssetPathsOutsideTheToneFolderAreRefused) {
    const char* const paths[] = {
        "/../../outside.m4r",
        "/iTunes_Control/Ringtones/../../../outside.m4r",
        "/iTunes_Control/../../outside.m4r",
        "/iTunes_Control/Ringtones/../outside.m4r",
        "/Airlock/outside.m4r",
        "/iTunes_Control/Ringtones/",
        "/iTunes_Control/Ringtones/Sub/outside.m4r",
        "",
    };
    for (const char* path : paths) {
        MakePhone(2);
        const std::string state = State();
        Script script;
        script.tracks = {kBell};
        script.assetPaths = {path};
        EXPECT_EQ(RunSession(script).trace, "SyncAllowed ReadyForSync AssetManifest SyncFailed(-7)") << path;
        EXPECT_EQ(State(), state) << path;
        EXPECT_TRUE(Airlock().empty()) << path;
        for (const auto& [name, content] : Files(m_dir))
            EXPECT_TRUE(name.find("outside") == std::string::npos) << path << ": " << name;
    }
}

TEST_F(SyncAgentTest, SessionsThatCannotBeAppliedFailAndChangeNothing) {
    struct Case {
        const char* desc;
        std::vector<Track> tracks;
        std::string list;  // replaces the written sync list when not empty
        bool wrongSession = false;
        bool upload = true;
        const char* brokenCatalogue = nullptr;
        const char* trace;
    };
    const std::string xmlList =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>operations</key><array/></dict></plist>";
    const std::string valid = SyncList({kBell});
    PlistHolder notArray(plist_new_dict());
    plist_dict_set_item(notArray.get(), "operations", plist_new_string("insert_track"));
    PlistHolder noGuid(plist_new_dict());
    {
        plist_t ops = plist_new_array();
        plist_t op = plist_new_dict();
        plist_dict_set_item(op, "operation", plist_new_string("insert_track"));
        plist_dict_set_item(op, "pid", plist_new_uint(5));
        plist_t item = plist_new_dict();
        plist_dict_set_item(item, "title", plist_new_string("No guid"));
        plist_dict_set_item(item, "total_time_ms", plist_new_uint(1000));
        plist_dict_set_item(op, "item", item);
        plist_array_append_item(ops, op);
        plist_dict_set_item(noGuid.get(), "operations", ops);
    }
    const Case cases[] = {
        {"the session named wrongly", {kBell}, "", true, true, nullptr, "SyncAllowed ReadyForSync SyncFailed(-3)"},
        {"an XML list", {kBell}, xmlList, false, true, nullptr, "SyncAllowed ReadyForSync SyncFailed(-4)"},
        {"a cut list",
         {kBell},
         valid.substr(0, valid.size() - 10),
         false,
         true,
         nullptr,
         "SyncAllowed ReadyForSync SyncFailed(-4)"},
        {"operations not an array",
         {kBell},
         ToBinary(notArray.get()),
         false,
         true,
         nullptr,
         "SyncAllowed ReadyForSync SyncFailed(-4)"},
        {"an insertion without guid",
         {kBell},
         ToBinary(noGuid.get()),
         false,
         true,
         nullptr,
         "SyncAllowed ReadyForSync SyncFailed(-4)"},
        {"a broken catalogue", {kBell}, "", false, true, "bplist00garbage", "SyncAllowed ReadyForSync SyncFailed(-5)"},
        {"a persistent id the catalogue has",
         {{true, TonePid(1), "Again", "G", 1000}},
         "",
         false,
         true,
         nullptr,
         "SyncAllowed ReadyForSync SyncFailed(-6)"},
        {"one persistent id twice",
         {kBell, kBell},
         "",
         false,
         true,
         nullptr,
         "SyncAllowed ReadyForSync SyncFailed(-6)"},
        {"an asset never uploaded",
         {kBell},
         "",
         false,
         false,
         nullptr,
         "SyncAllowed ReadyForSync AssetManifest SyncFailed(-8)"},
    };
    for (const auto& c : cases) {
        MakePhone(2);
        if (c.brokenCatalogue) WriteFile(Media() / "iTunes_Control/iTunes/Ringtones.plist", c.brokenCatalogue);
        const std::string state = State();
        TestHost host = Connect();
        SessionDriver driver(host, Media());
        Script script;
        script.tracks = c.tracks;
        script.assetPaths = {"/iTunes_Control/Ringtones/ABCD.m4r", "/iTunes_Control/Ringtones/EFGH.m4r"};
        script.wrongSession = c.wrongSession;
        script.upload = c.upload;
        if (!c.list.empty()) {
            // The case's list beside an empty one of the host's own.
            script.tracks = {};
            WriteFile(Media() / "iTunes_Control/Ringtones/Sync/Sync_00000001.plist", c.list);
        }
        EXPECT_EQ(driver.Run(script).trace, c.trace) << c.desc;
        host.Close();
        EXPECT_TRUE(AllSessionsEnded()) << c.desc;
        EXPECT_EQ(State(), state) << c.desc;
        EXPECT_TRUE(Airlock().empty()) << c.desc;
    }
}

TEST_F(SyncAgentTest, AMoveThatFailsPutsBackTheMovesBeforeIt) {
    MakePhone(2);
    // A file the catalogue does not list holds the second tone's name: its move fails, the first
    // tone's move is undone, and the file keeps its bytes.
    WriteFile(Media() / "iTunes_Control/Ringtones/TAKE.m4r", "not listed");
    const std::string state = State();
    Script script;
    script.tracks = {kBell, kChime};
    script.assetPaths = {"/iTunes_Control/Ringtones/FREE.m4r", "/iTunes_Control/Ringtones/TAKE.m4r"};
    EXPECT_EQ(RunSession(script).trace, "SyncAllowed ReadyForSync AssetManifest SyncFailed(-9)");
    EXPECT_EQ(State(), state);
    EXPECT_TRUE(Airlock().empty());
}

// ---- Framing ----

TEST_F(SyncAgentTest, MessagesAreReadAcrossAndWithinReads) {
    MakePhone();
    TestHost host = Connect();
    AgentMessage message;
    ASSERT_EQ(host.Receive(message, kReplyWaitMs), Heard::Message);
    // A message the agent ignores and the request in one write, the request split byte by byte.
    plist_t hostInfo = plist_new_dict();
    plist_dict_set_item(hostInfo, "LibraryID", plist_new_string("0000000011112222"));
    plist_t params = plist_new_dict();
    plist_dict_set_item(params, "HostInfo", hostInfo);
    const std::string request = TestHost::Message("RequestingSync", params, 0, 2);
    host.SendRaw(TestHost::Message("HostInfo", nullptr, 0, 1) + request.substr(0, 3));
    for (size_t i = 3; i < request.size(); ++i) {
        host.SendRaw(request.substr(i, 1));
        if (i % 16 == 0) std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(host.Receive(message, kReplyWaitMs), Heard::Message);
    EXPECT_EQ(message.command, "ReadyForSync");
    // An XML message is accepted as well.
    const std::string xml =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Command</key><string>FinishedSyncingMetadata"
        "</string><key>Session</key><integer>" +
        std::to_string(message.session) + "</integer><key>Params</key><dict/></dict></plist>";
    host.SendRaw(Frame(xml));
    ASSERT_EQ(host.Receive(message, kReplyWaitMs), Heard::Message);
    EXPECT_EQ(message.command, "SyncFinished");
}

TEST_F(SyncAgentTest, GarbageEndsOnlyItsOwnConnection) {
    std::string deep;
    for (int i = 0; i < 200000; ++i) deep += "<array>";
    struct Case {
        const char* desc;
        std::string bytes;
    };
    const Case cases[] = {
        {"zero length", std::string(4, '\0')},
        {"longer than 16 MiB", std::string("\x01\x00\x00\x01", 4) + "bplist00"},
        {"not a property list", Frame("hello, phone")},
        {"an array", Frame(ToBinary(PlistHolder(plist_new_array()).get()))},
        {"XML holding NUL", Frame(std::string("<?xml version=\"1.0\"?><plist><dict><key>Command</key><string>A") +
                                  std::string(1, '\0') + "</string></dict></plist>")},
        {"nested deeper than any parser may go", Frame("<?xml version=\"1.0\"?><plist>" + deep)},
        {"a binary list that lies about its objects", Frame(std::string("bplist00\xd0", 9) + std::string(32, '\xff'))},
    };
    for (const auto& c : cases) {
        MakePhone(2);
        const std::string state = State();
        TestHost bystander = Connect();
        TestHost sender = Connect();
        AgentMessage message;
        ASSERT_EQ(bystander.Receive(message, kReplyWaitMs), Heard::Message) << c.desc;
        ASSERT_EQ(sender.Receive(message, kReplyWaitMs), Heard::Message) << c.desc;
        sender.SendRaw(c.bytes);
        // The sender's connection ends without another word ...
        EXPECT_EQ(sender.Receive(message, kBeyondBoundMs), Heard::Closed) << c.desc;
        // ... while the other session of the phone runs through.
        plist_t params = plist_new_dict();
        plist_dict_set_item(params, "HostInfo", plist_new_dict());
        bystander.Send("RequestingSync", params);
        ASSERT_EQ(bystander.Receive(message, kReplyWaitMs), Heard::Message) << c.desc;
        bystander.SetSession(message.session);
        WriteFile(Media() / "iTunes_Control/Ringtones/Sync/Sync_00000000.plist", SyncList({Deletion(TonePid(0))}));
        bystander.Send("FinishedSyncingMetadata");
        ASSERT_EQ(bystander.Receive(message, kReplyWaitMs), Heard::Message) << c.desc;
        EXPECT_EQ(message.command, "SyncFinished") << c.desc;
        bystander.Close();
        sender.Close();
        EXPECT_TRUE(AllSessionsEnded()) << c.desc;
        EXPECT_NE(State(), state) << c.desc;
    }
}

// ---- The library id and sessions side by side ----

TEST_F(SyncAgentTest, TheLibraryIdOfTheLastRequestIsRecorded) {
    MakePhone();
    EXPECT_FALSE(ruvo::phone::LoadPhone(m_phone)->lastSyncLibraryId);
    struct Case {
        std::string sent;
        std::string recorded;
    };
    const Case cases[] = {
        {"00000000C0FFEE42", "00000000C0FFEE42"},
        {"0000000000000000", "0000000000000000"},
        {"", ""},
        // Not one printable word: the id before stays.
        {"two words", ""},
        {std::string(65, 'A'), ""},
    };
    for (const auto& c : cases) {
        Script script;
        script.libraryId = c.sent;
        EXPECT_EQ(RunSession(script).trace, "SyncAllowed ReadyForSync SyncFinished") << c.sent;
        EXPECT_EQ(ruvo::phone::LoadPhone(m_phone)->lastSyncLibraryId, c.recorded) << c.sent;
    }
    Script script;
    script.libraryId = "000000001234ABCD";
    EXPECT_EQ(RunSession(script).trace, "SyncAllowed ReadyForSync SyncFinished");
    const std::string status = Shell("'" RUVO_TEST_PHONE_TOOL "' status '" + m_phone + "'");
    EXPECT_NE(status.find("\nlast sync library: 000000001234ABCD\n"), std::string::npos) << status;
}

TEST_F(SyncAgentTest, SessionsOfOnePhoneTakeTurnsAtItsTones) {
    MakePhone();
    const fs::path syncFolder = Media() / "iTunes_Control/Ringtones/Sync";
    TestHost first = Connect();
    TestHost second = Connect();
    AgentMessage message;
    // Both sessions ready; the first one's list is written and its metadata phase ends.
    for (TestHost* host : {&first, &second}) {
        ASSERT_EQ(host->Receive(message, kReplyWaitMs), Heard::Message);
        plist_t params = plist_new_dict();
        plist_dict_set_item(params, "HostInfo", plist_new_dict());
        host->Send("RequestingSync", params);
        ASSERT_EQ(host->Receive(message, kReplyWaitMs), Heard::Message);
        ASSERT_EQ(message.command, "ReadyForSync");
        host->SetSession(message.session);
    }
    WriteFile(syncFolder / "Sync_A.plist", SyncList({kBell}));
    first.Send("FinishedSyncingMetadata");
    ASSERT_EQ(first.Receive(message, kReplyWaitMs), Heard::Message);
    ASSERT_EQ(message.command, "AssetManifest");
    const std::string firstAsset =
        StringOf(plist_array_get_item(
                     plist_dict_get_item(plist_dict_get_item(message.params.get(), "AssetManifest"), "Ringtone"), 0),
                 "AssetID");

    // The second session's list arrives while the first still uploads: the second waits.
    WriteFile(syncFolder / "Sync_B.plist", SyncList({kChime}));
    second.Send("FinishedSyncingMetadata");
    EXPECT_EQ(second.Receive(message, kQuietWindowMs), Heard::Nothing);

    WriteFile(Media() / "Airlock/Ringtone" / firstAsset, "first");
    plist_t complete = plist_new_dict();
    plist_dict_set_item(complete, "AssetID", plist_new_string(firstAsset.c_str()));
    plist_dict_set_item(complete, "AssetPath", plist_new_string("/iTunes_Control/Ringtones/AAAA.m4r"));
    first.Send("FileComplete", complete);

    // The second session now reads its list, and only its own.
    ASSERT_EQ(second.Receive(message, kReplyWaitMs), Heard::Message);
    ASSERT_EQ(message.command, "AssetManifest");
    plist_t assets = plist_dict_get_item(plist_dict_get_item(message.params.get(), "AssetManifest"), "Ringtone");
    ASSERT_EQ(plist_array_get_size(assets), 1u);
    const std::string secondAsset = StringOf(plist_array_get_item(assets, 0), "AssetID");
    ASSERT_EQ(first.Receive(message, kReplyWaitMs), Heard::Message);
    EXPECT_EQ(message.command, "SyncFinished");

    WriteFile(Media() / "Airlock/Ringtone" / secondAsset, "second");
    complete = plist_new_dict();
    plist_dict_set_item(complete, "AssetID", plist_new_string(secondAsset.c_str()));
    plist_dict_set_item(complete, "AssetPath", plist_new_string("/iTunes_Control/Ringtones/BBBB.m4r"));
    second.Send("FileComplete", complete);
    ASSERT_EQ(second.Receive(message, kReplyWaitMs), Heard::Message);
    EXPECT_EQ(message.command, "SyncFinished");
    first.Close();
    second.Close();
    ASSERT_TRUE(AllSessionsEnded());
    EXPECT_EQ(State(),
              "AAAA.m4r\tBell \u266b\t43MRZ4ABCDEF0123\t123456\t30000\tFalse\n"
              "BBBB.m4r\tChime\t43MRZ40123456789\t654321\t12000\tFalse\n"
              "AAAA.m4r=first\nBBBB.m4r=second\n");
}

}  // namespace
