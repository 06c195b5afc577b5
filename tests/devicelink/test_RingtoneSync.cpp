// The ringtone operations end to end: the device link's ListRingtones, AddRingtone and
// DeleteRingtones against a virtual phone's sync agent through the loaded libraries. The phone's
// catalogue and the sync lists the host writes are read back with Python's plistlib.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DeviceLink.h"
#include "DeviceManager.h"
#include "DeviceTestSupport.h"
#include "Medias.h"

namespace fs = std::filesystem;
using device_test::EventLog;
using device_test::PhoneHub;

namespace {

// Runs a command line and returns what it printed; exit status in *status.
std::string Shell(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int rc = ::pclose(pipe);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::string Quote(const std::string& text) { return "'" + text + "'"; }

std::string FileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t ThreadCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++count;
    return count;
}

struct Ringtone {
    long long pid;
    std::string title;
    std::string file;
    long long totalTime;
    bool operator==(const Ringtone&) const = default;
};

class RingtoneSync : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_hub = new PhoneHub;
        s_phone = s_hub->MakePhone("Ringer");
        StartDeviceManager(&EventLog::Callback, nullptr);
        PhoneHub::Plug(s_phone, true);
        const auto deadline = std::chrono::steady_clock::now() + device_test::kEventWait;
        while (!(GetDeviceLink(-1) && GetDeviceLink(-1)->IsReady()) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    static void TearDownTestSuite() {
        delete s_hub;
        s_hub = nullptr;
    }
    void SetUp() override {
        m_link = GetDeviceLink(-1);
        ASSERT_TRUE(m_link && m_link->IsReady());
    }

    static fs::path Media() { return ruvo::phone::MediaRoot(s_phone); }
    static std::string Phone(const std::string& args, int* status = nullptr) {
        return Shell(std::string(RUVO_TEST_PHONE_TOOL) + " " + args + " 2>&1", status);
    }

    // The catalogue as the phone has it, read by plistlib: one ringtone per file name.
    static std::map<std::string, Ringtone> Catalogue() {
        const fs::path file = Media() / "iTunes_Control" / "iTunes" / "Ringtones.plist";
        std::map<std::string, Ringtone> tones;
        if (!fs::exists(file)) return tones;
        const std::string lines = Shell("python3 -c " + Quote(R"(import plistlib, sys
d = plistlib.load(open(sys.argv[1], "rb"))
for name, t in sorted(d["Ringtones"].items()):
    print(t["PID"], t["Name"], name, t["Total Time"], sep="\t")
)") + " " + Quote(file.string()));
        std::istringstream in(lines);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            Ringtone tone;
            std::string pid, time;
            std::getline(fields, pid, '\t');
            std::getline(fields, tone.title, '\t');
            std::getline(fields, tone.file, '\t');
            std::getline(fields, time, '\t');
            tone.pid = std::stoll(pid);
            tone.totalTime = std::stoll(time);
            tones[tone.file] = tone;
        }
        return tones;
    }

    // What a failed session must leave exactly as it was: the catalogue's bytes and every file
    // of the ringtone folder.
    static std::map<std::string, std::string> Snapshot() {
        std::map<std::string, std::string> files;
        const fs::path catalogue = Media() / "iTunes_Control" / "iTunes" / "Ringtones.plist";
        files["Ringtones.plist"] = fs::exists(catalogue) ? FileBytes(catalogue) : "<none>";
        for (const auto& entry : fs::directory_iterator(Media() / "iTunes_Control" / "Ringtones"))
            if (entry.is_regular_file()) files[entry.path().filename().string()] = FileBytes(entry.path());
        return files;
    }

    int Add(const std::string& audio, const char* title, int seconds) {
        return m_link->AddRingtone(reinterpret_cast<const unsigned char*>(audio.data()), static_cast<int>(audio.size()),
                                   title, seconds);
    }

    // Waits until the threads of finished sessions (the agent's, the reader) have ended.
    static bool SettlesTo(size_t threads) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (ThreadCount() > threads && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return ThreadCount() <= threads;
    }

    static inline PhoneHub* s_hub = nullptr;
    static inline std::string s_phone;
    DeviceLink* m_link = nullptr;
};

TEST_F(RingtoneSync, AddedRingtoneIsInTheCatalogueWithItsBytes) {
    const auto before = Catalogue();
    std::string audio(70000, '\0');
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<char>(i * 7 + 3);
    ASSERT_EQ(Add(audio, "Morning Bell", 30), 1);

    const auto after = Catalogue();
    ASSERT_EQ(after.size(), before.size() + 1);
    const Ringtone* added = nullptr;
    for (const auto& [file, tone] : after)
        if (!before.contains(file)) added = &after.at(file);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->title, "Morning Bell");
    EXPECT_EQ(added->totalTime, 30000);
    EXPECT_GE(added->pid, 100000);
    EXPECT_LE(added->pid, 999999 + static_cast<long long>(before.size()));
    ASSERT_EQ(added->file.size(), 8u);
    EXPECT_EQ(added->file.substr(4), ".m4r");
    for (char c : added->file.substr(0, 4)) EXPECT_TRUE(c >= 'A' && c <= 'Z') << added->file;
    EXPECT_EQ(FileBytes(Media() / "iTunes_Control" / "Ringtones" / added->file), audio);

    // The list sees it too.
    std::unique_ptr<CJson> list(m_link->ListRingtones());
    EXPECT_NE(list->ToString().find(u"Morning Bell"), std::u16string::npos);
}

TEST_F(RingtoneSync, TwoIdsAreDeletedInOneCall) {
    ASSERT_EQ(Add("one", "First", 1), 1);
    ASSERT_EQ(Add("two", "Second", 2), 1);
    ASSERT_EQ(Add("three", "Third", 3), 1);
    std::map<std::string, long long> pids;
    for (const auto& [file, tone] : Catalogue()) pids[tone.title] = tone.pid;
    ASSERT_TRUE(pids.contains("First") && pids.contains("Second") && pids.contains("Third"));

    const std::string json =
        "{\"PID\":[\"" + std::to_string(pids["First"]) + "\",\"" + std::to_string(pids["Third"]) + "\"]}";
    ASSERT_EQ(m_link->DeleteRingtones(std::u16string(json.begin(), json.end())), 1);
    std::map<std::string, std::string> titles;
    for (const auto& [file, tone] : Catalogue()) titles[tone.title] = file;
    EXPECT_FALSE(titles.contains("First"));
    EXPECT_FALSE(titles.contains("Third"));
    ASSERT_TRUE(titles.contains("Second"));
    EXPECT_EQ(FileBytes(Media() / "iTunes_Control" / "Ringtones" / titles["Second"]), "two");
    // The deleted tones' files are gone: only catalogued files remain.
    for (const auto& entry : fs::directory_iterator(Media() / "iTunes_Control" / "Ringtones"))
        if (entry.is_regular_file()) {
            EXPECT_TRUE(Catalogue().contains(entry.path().filename().string()));
        }

    const std::u16string noPid = u"{\"Other\":[\"1\"]}";
    EXPECT_EQ(m_link->DeleteRingtones(noPid), 0) << "no PID member: false before any session";
}

TEST_F(RingtoneSync, PersistentIdsAvoidEveryDigitRunOfTheCatalogue) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const long long first = Medias::ChoosePersistentId(u"");
        const std::string digits = std::to_string(first);
        // The candidate's digits inside a longer number and inside a title both count.
        const std::u16string text = u"{\"PID\":\"9" + std::u16string(digits.begin(), digits.end()) + u"9\"}";
        EXPECT_EQ(Medias::ChoosePersistentId(text, first), first + 1);
        const std::string next = std::to_string(first + 1);
        const std::u16string both = text + u"x" + std::u16string(next.begin(), next.end());
        EXPECT_EQ(Medias::ChoosePersistentId(both, first), first + 2);
    }
}

// Additions one right after another (several within one second) each draw their own guid and
// file name.
TEST_F(RingtoneSync, AdditionsWithinOneSecondDrawTheirOwnIds) {
    const auto before = Catalogue();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(Add("quick " + std::to_string(i), "Quick", 1), 1) << i;
    const fs::path file = Media() / "iTunes_Control" / "iTunes" / "Ringtones.plist";
    const std::string lines = Shell("python3 -c " + Quote(R"(import plistlib, sys
d = plistlib.load(open(sys.argv[1], "rb"))
for name, t in sorted(d["Ringtones"].items()):
    if t["Name"] == "Quick": print(name, t["GUID"], t["PID"])
)") + " " + Quote(file.string()));
    std::istringstream in(lines);
    std::set<std::string> files, guids;
    std::set<long long> pids;
    std::string name, guid;
    long long pid = 0;
    while (in >> name >> guid >> pid) {
        files.insert(name);
        guids.insert(guid);
        pids.insert(pid);
        EXPECT_EQ(guid.size(), 16u) << guid;
        EXPECT_EQ(guid.substr(0, 6), "43MRZ4") << guid;
    }
    EXPECT_EQ(files.size(), 5u) << lines;
    EXPECT_EQ(guids.size(), 5u) << lines;
    EXPECT_EQ(pids.size(), 5u) << lines;
    EXPECT_EQ(Catalogue().size(), before.size() + 5);
}

// A catalogue larger than the reader's bound (or one whose stated size is) is not read: the list
// is empty and an addition fails before any session, as the new ids could not be checked.
TEST_F(RingtoneSync, OversizedCatalogueIsNotRead) {
    const fs::path file = Media() / "iTunes_Control" / "iTunes" / "Ringtones.plist";
    const fs::path kept = file.string() + ".kept";
    const bool had = fs::exists(file);
    if (had) fs::rename(file, kept);
    // Prefs of a library id of their own: the phone records it with a session's sync request.
    const fs::path prefs = Media() / "iTunes_Control" / "iTunes" / "iTunesPrefs";
    const std::optional<std::string> keptPrefs =
        fs::exists(prefs) ? std::optional<std::string>(FileBytes(prefs)) : std::nullopt;
    int status = -1;
    Phone("prefs " + Quote(s_phone) + " 12340000 0000ABCD", &status);
    ASSERT_EQ(status, 0);
    // The tones' files (the catalogue itself is too large to read here).
    const auto toneFiles = [] {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::directory_iterator(Media() / "iTunes_Control" / "Ringtones"))
            if (entry.is_regular_file()) files[entry.path().filename().string()] = FileBytes(entry.path());
        return files;
    };
    const std::uintmax_t sizes[] = {static_cast<std::uintmax_t>(Medias::kMaxCatalogueBytes) + 1,
                                    std::uintmax_t{5} << 30};  // beyond 32 bits
    for (const std::uintmax_t size : sizes) {
        // Sparse: the phone states the size without the disk holding it.
        {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            out << "bplist00";
        }
        fs::resize_file(file, size);
        const auto tones = toneFiles();
        std::unique_ptr<CJson> list(m_link->ListRingtones());
        ASSERT_NE(list, nullptr) << size;
        EXPECT_EQ(list->GetChildCount(), 0) << size;
        EXPECT_EQ(Add("big", "Too Big", 3), 0) << size;
        const std::string state = Phone("status " + Quote(s_phone));
        EXPECT_EQ(state.find("000000001234ABCD"), std::string::npos) << size << ": a session was opened\n" << state;
        EXPECT_EQ(fs::file_size(file), size);
        EXPECT_EQ(toneFiles(), tones) << size;
    }
    if (had)
        fs::rename(kept, file);
    else
        fs::remove(file);
    if (keptPrefs)
        std::ofstream(prefs, std::ios::binary | std::ios::trunc) << *keptPrefs;
    else
        fs::remove(prefs);
    // The catalogue back, additions go through again.
    EXPECT_EQ(Add("small", "Fits", 3), 1);
}

TEST_F(RingtoneSync, FaultsLeaveTheLibraryAsItWas) {
    // Something to delete, so a deletion has something to leave alone.
    ASSERT_EQ(Add("keep", "Keeper", 4), 1);
    long long keeper = 0;
    for (const auto& [file, tone] : Catalogue())
        if (tone.title == "Keeper") keeper = tone.pid;
    const std::string deleteJson = "{\"PID\":[\"" + std::to_string(keeper) + "\"]}";
    const size_t threads = ThreadCount();

    struct Row {
        const char* operation;
        const char* step;
    };
    const Row rows[] = {{"add", "allowed"},    {"add", "ready"},    {"add", "manifest"},   {"add", "finished"},
                        {"delete", "allowed"}, {"delete", "ready"}, {"delete", "finished"}};
    for (const auto& row : rows) {
        for (const char* action : {"sync-failed", "drop", "silent"}) {
            const std::string desc = std::string(row.operation) + " " + row.step + " " + action;
            int status = -1;
            Phone("fault " + Quote(s_phone) + " " + row.step + " " + action, &status);
            ASSERT_EQ(status, 0) << desc;
            const auto before = Snapshot();
            const int result = std::string(row.operation) == "add"
                                   ? Add("fault", "Faulty", 5)
                                   : m_link->DeleteRingtones(std::u16string(deleteJson.begin(), deleteJson.end()));
            EXPECT_EQ(result, 0) << desc;
            EXPECT_EQ(Snapshot(), before) << desc;
            EXPECT_TRUE(SettlesTo(threads)) << desc << ": a session's thread is left behind";
        }
    }
    // The faults were used up: the next session goes through.
    ASSERT_EQ(m_link->DeleteRingtones(std::u16string(deleteJson.begin(), deleteJson.end())), 1);
    for (const auto& [file, tone] : Catalogue()) {
        EXPECT_NE(tone.title, "Keeper");
    }
}

TEST_F(RingtoneSync, HostSyncListsReadBackWithAnIndependentReader) {
    // A session stopped before the phone takes the lists leaves them where the host wrote them.
    int status = -1;
    Phone("fault " + Quote(s_phone) + " manifest sync-failed", &status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(Add("x", "Sunny Tone", 30), 0);
    const fs::path list = Media() / "iTunes_Control" / "Ringtones" / "Sync" / "Sync_00000000.plist";
    const std::string fields = Shell("python3 -c " + Quote(R"(import plistlib, sys
d = plistlib.load(open(sys.argv[1], "rb"))
op = d["operations"][0]
print(d["revision"], d["timestamp"], len(d["operations"]), op["operation"], op["item"]["title"],
      op["item"]["sort_name"], op["item"]["total_time_ms"], op["avformat_info"]["duration"],
      op["avformat_info"]["audio_format"], op["item"]["is_ringtone"], op["location"]["kind"],
      len(op["ringtone_info"]["guid"]), op["ringtone_info"]["guid"][:6], 100000 <= op["pid"] <= 999999,
      sep="|")
)") + " " + Quote(list.string()));
    EXPECT_EQ(fields, "0|0|1|insert_track|Sunny Tone|Sunny Tone|30000|30000|502|True|Ringtone|16|43MRZ4|True\n");
    const fs::path media = Media() / "iTunes_Control" / "Media" / "Sync";
    EXPECT_TRUE(fs::exists(media / "Sync_00000000.plist.cig"));
    EXPECT_EQ(fs::file_size(media / "Sync_00000000.plist.cig"), 0u);
    EXPECT_EQ(Shell("python3 -c " + Quote(R"(import plistlib, sys
d = plistlib.load(open(sys.argv[1], "rb"))
print(d["operations"][0]["operation"], d["operations"][0]["db_info"]["primary_container_pid"], d["revision"])
)") + " " + Quote((media / "Sync_00000000.plist").string())),
              "update_db_info 0 0\n");
}

TEST_F(RingtoneSync, LibraryIdComesFromThePrefs) {
    struct Case {
        const char* desc;
        const char* prefs;
        const char* id;
    };
    const Case cases[] = {
        {"two words", "11111111 22222222", "0000000033333333"},
        {"upper-case words", "DEADBEEF 0000FFFF", "00000000DEAD4110"},
        {"equal words", "12345678 12345678", "0000000000000000"},
        {"no prefs", "absent", "0000000000000000"},
        {"prefs too short for the words", "short", "0000000000000000"},
    };
    for (const auto& c : cases) {
        int status = -1;
        Phone("prefs " + Quote(s_phone) + " " + c.prefs, &status);
        ASSERT_EQ(status, 0) << c.desc;
        // A deletion of nothing runs a whole session.
        ASSERT_EQ(m_link->DeleteRingtones(u"{\"PID\":[]}"), 1) << c.desc;
        const std::string state = Phone("status " + Quote(s_phone));
        EXPECT_NE(state.find(c.id), std::string::npos) << c.desc << ": " << state;
    }
}

// Only the words the id is made of are read: prefs whose stated size is beyond 32 bits still give
// the id of their words, at once.
TEST_F(RingtoneSync, LibraryIdReadsOnlyTheWordsOfLargePrefs) {
    int status = -1;
    Phone("prefs " + Quote(s_phone) + " 0000F00D 12345678", &status);
    ASSERT_EQ(status, 0);
    fs::resize_file(Media() / "iTunes_Control" / "iTunes" / "iTunesPrefs", std::uintmax_t{5} << 30);
    ASSERT_EQ(m_link->DeleteRingtones(u"{\"PID\":[]}"), 1);
    const std::string state = Phone("status " + Quote(s_phone));
    EXPECT_NE(state.find("last sync library: 000000001234A675"), std::string::npos) << state;
    Phone("prefs " + Quote(s_phone) + " absent", &status);
    EXPECT_EQ(status, 0);
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything reads them: short bounds for the host's waits and the agent's.
    ::setenv("RUVO_SYNC_TIMEOUT_MS", "2000", 1);
    ::setenv("RUVO_RECEIVE_TIMEOUT_MS", "4000", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
