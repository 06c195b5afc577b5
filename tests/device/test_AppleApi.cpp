// Tests of the loader: the support directory, the registration test and loading the three libraries.
#include "AppleApi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A temporary support directory, filled with copies of the built libraries as a case needs.
class SupportDir : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("ruvo-support-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        setenv("RUVO_SUPPORT_DIR", dir.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("RUVO_SUPPORT_DIR");
        fs::remove_all(dir);
    }
    void CopyLibraries() {
        for (const char* name : {kMobileDeviceLibrary, kAirTrafficLibrary, kCoreFoundationLibrary})
            fs::copy_file(fs::path(RUVO_TEST_SUPPORT_DIR) / name, dir / name);
    }
    void Write(const fs::path& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }
    fs::path dir;
};

TEST_F(SupportDir, SupportDirectoryFromEnvironmentOrBesideTheProgram) {
    EXPECT_EQ(SupportDirectory(), dir.string());
    unsetenv("RUVO_SUPPORT_DIR");
    const fs::path program = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(SupportDirectory(), (program.parent_path() / "support").string());
}

TEST_F(SupportDir, RegistrationTable) {
    struct Case {
        const char* desc;
        const char* registration;  // null: no registration file
        const char* file;          // name of the file created beside it
        const char* content;
        bool expected;
    };
    const Case cases[] = {
        {"no registration file", nullptr, nullptr, nullptr, false},
        {"empty registration", "", nullptr, nullptr, false},
        {"names a missing file", "missing.bin\n", nullptr, nullptr, false},
        {"names an empty file", "empty.bin\n", "empty.bin", "", false},
        {"names a one-byte file", "one.bin\n", "one.bin", "x", true},
        {"CR LF line end", "one.bin\r\n", "one.bin", "x", true},
        {"names a directory", "sub\n", nullptr, nullptr, false},
    };
    for (const auto& c : cases) {
        fs::remove_all(dir);
        fs::create_directories(dir / "sub");
        if (c.registration) Write(dir / kRegistrationFile, c.registration);
        if (c.file) Write(dir / c.file, c.content);
        EXPECT_EQ(IsItunesInstalled(), c.expected) << c.desc;
    }
}

TEST_F(SupportDir, RegistrationWithAbsolutePath) {
    const fs::path elsewhere = dir / "elsewhere.bin";
    Write(elsewhere, "data");
    Write(dir / kRegistrationFile, elsewhere.string() + "\n");
    EXPECT_TRUE(IsItunesInstalled());
}

// The open flags of this process's descriptor that reads the file at path, once one is open
// (looked for within a bound); nothing when none appeared.
std::optional<long> ReaderFlags(const fs::path& path) {
    struct stat target {};
    if (::stat(path.c_str(), &target) != 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd", ec)) {
            struct stat opened {};
            if (::stat(entry.path().c_str(), &opened) != 0 || opened.st_dev != target.st_dev ||
                opened.st_ino != target.st_ino)
                continue;
            std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
            std::string field;
            long flags = -1;
            while (info >> field)
                if (field == "flags:" && info >> std::oct >> flags) break;
            if (flags >= 0 && (flags & O_ACCMODE) == O_RDONLY) return flags;
        }
        std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
}

// A descriptor writing to the FIFO at path, opened once a reader has it open (waited for within
// a bound); -1 when none came.
int OpenWriterOnceRead(const fs::path& path) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 || errno != ENXIO) return fd;
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

// The registration test's files are read through close-on-exec descriptors, so a program
// another thread starts meanwhile does not inherit them. Each file in turn is a FIFO, whose
// read waits with its descriptor open until the test has looked at the descriptor's flags.
TEST_F(SupportDir, RegistrationFilesAreReadCloseOnExec) {
    struct Case {
        const char* desc;
        const char* fifo;
        std::string content;
    };
    const Case cases[] = {
        {"registration file", kRegistrationFile, "package.bin\n"},
        {"the file it names", "package.bin", "x"},
    };
    for (const auto& c : cases) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        Write(dir / kRegistrationFile, "package.bin\n");
        Write(dir / "package.bin", "x");
        const fs::path fifo = dir / c.fifo;
        fs::remove(fifo);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << c.desc;

        auto installed = std::async(std::launch::async, IsItunesInstalled);
        const int writer = OpenWriterOnceRead(fifo);
        ASSERT_GE(writer, 0) << c.desc << ": the file was never opened";
        const auto flags = ReaderFlags(fifo);
        EXPECT_EQ(::write(writer, c.content.data(), c.content.size()), static_cast<ssize_t>(c.content.size()));
        ::close(writer);
        EXPECT_TRUE(installed.get()) << c.desc;
        ASSERT_TRUE(flags.has_value()) << c.desc << ": no descriptor reads the file";
        EXPECT_NE(*flags & O_CLOEXEC, 0) << c.desc << ": flags " << std::oct << *flags;
    }
}

TEST_F(SupportDir, BuiltSupportDirectoryIsRegistered) {
    setenv("RUVO_SUPPORT_DIR", RUVO_TEST_SUPPORT_DIR, 1);
    EXPECT_TRUE(IsItunesInstalled());
}

// Loading changes the process for good (libraries stay loaded, AppleApi stays filled), so each
// load runs in a child process of its own.
TEST_F(SupportDir, AllThreeLibrariesLoadAndResolve) {
    CopyLibraries();
    EXPECT_EXIT(
        {
            bool ok = LoadAppleLibraries() && AppleApi.AMDeviceNotificationSubscribe && AppleApi.AMDeviceConnect &&
                      AppleApi.AFCConnectionOpen && AppleApi.AFCRemovePath &&
                      AppleApi.ATHostConnectionCreateWithLibrary && AppleApi.ATCFMessageGetParam &&
                      AppleApi.CFRelease && AppleApi.CFPropertyListCreateFromXMLData && AppleApi.kCFBooleanTrue &&
                      *AppleApi.kCFBooleanTrue && AppleApi.kCFBooleanFalse &&
                      *AppleApi.kCFBooleanTrue != *AppleApi.kCFBooleanFalse && AppleApi.kCFTypeDictionaryKeyCallBacks &&
                      AppleApi.kCFTypeDictionaryValueCallBacks;
            // The table works: a constant string made and compared through it.
            if (ok) {
                apple::CFStringRef a = AppleApi.__CFStringMakeConstantString("Status");
                apple::CFStringRef b =
                    AppleApi.CFStringCreateWithCString(nullptr, "STATUS", apple::kCFStringEncodingUTF8);
                ok = a && b && AppleApi.CFStringCompare(a, b, apple::kCFCompareCaseInsensitive) == 0;
                AppleApi.CFRelease(b);
            }
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// The entries LoadAppleLibraries left null, each named on stderr.
int UnresolvedEntries() {
    int missing = 0;
#define RUVO_COUNT_MISSING(name, ...)                               \
    if (!AppleApi.name) {                                           \
        std::fprintf(stderr, "AppleApi." #name " is unresolved\n"); \
        ++missing;                                                  \
    }
    RUVO_MOBILEDEVICE_FUNCTIONS(RUVO_COUNT_MISSING)
    RUVO_AIRTRAFFIC_FUNCTIONS(RUVO_COUNT_MISSING)
    RUVO_COREFOUNDATION_FUNCTIONS(RUVO_COUNT_MISSING)
    RUVO_COREFOUNDATION_DATA(RUVO_COUNT_MISSING)
#undef RUVO_COUNT_MISSING
    return missing;
}

// Every entry of every list is found in the library it is listed under.
TEST_F(SupportDir, EveryEntryResolvesFromItsLibrary) {
    CopyLibraries();
    EXPECT_EXIT(std::exit(LoadAppleLibraries() && UnresolvedEntries() == 0 ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

// The containers made through the table with the library's own callback tables hold their
// values: a key and value released by the caller stay readable through the container.
TEST_F(SupportDir, ContainersMadeWithTheLibraryCallbacksRetainTheirValues) {
    CopyLibraries();
    EXPECT_EXIT(
        {
            if (!LoadAppleLibraries()) std::exit(2);
            const auto& api = AppleApi;
            auto text = [&](const char* s) {
                return api.CFStringCreateWithCString(nullptr, s, apple::kCFStringEncodingUTF8);
            };
            auto equal = [&](const void* value, const char* s) {
                apple::CFStringRef expected = text(s);
                const bool same = value && api.CFGetTypeID(value) == api.CFStringGetTypeID() &&
                                  api.CFStringCompare(static_cast<apple::CFStringRef>(value), expected, 0) == 0;
                api.CFRelease(expected);
                return same;
            };

            apple::CFMutableDictionaryRef dict = api.CFDictionaryCreateMutable(
                nullptr, 0, api.kCFTypeDictionaryKeyCallBacks, api.kCFTypeDictionaryValueCallBacks);
            apple::CFStringRef key = text("Name");
            apple::CFStringRef value = text("Ruvo");
            api.CFDictionarySetValue(dict, key, value);
            api.CFRelease(key);
            api.CFRelease(value);
            apple::CFStringRef lookup = text("Name");
            const bool dictOk =
                api.CFDictionaryGetCount(dict) == 1 && equal(api.CFDictionaryGetValue(dict, lookup), "Ruvo");
            api.CFRelease(lookup);
            api.CFRelease(dict);

            apple::CFMutableArrayRef array = api.CFArrayCreateMutable(nullptr, 0, api.kCFTypeArrayCallBacks);
            apple::CFStringRef item = text("item");
            api.CFArrayAppendValue(array, item);
            api.CFRelease(item);
            const bool arrayOk = api.CFArrayGetCount(array) == 1 && equal(api.CFArrayGetValueAtIndex(array, 0), "item");
            api.CFRelease(array);
            std::exit(dictOk && arrayOk ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(SupportDir, AnyLibraryMissingOrBrokenFails) {
    struct Case {
        const char* desc;
        const char* library;
        bool broken;  // replaced by a file that is not a library, instead of removed
    };
    const Case cases[] = {
        {"mobile-device library missing", kMobileDeviceLibrary, false},
        {"AirTraffic library missing", kAirTrafficLibrary, false},
        {"CoreFoundation library missing", kCoreFoundationLibrary, false},
        {"mobile-device library broken", kMobileDeviceLibrary, true},
        {"AirTraffic library broken", kAirTrafficLibrary, true},
        {"CoreFoundation library broken", kCoreFoundationLibrary, true},
    };
    for (const auto& c : cases) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        CopyLibraries();
        fs::remove(dir / c.library);
        if (c.broken) Write(dir / c.library, "not a shared library");
        EXPECT_EXIT(std::exit(LoadAppleLibraries() ? 0 : 1), ::testing::ExitedWithCode(1), "") << c.desc;
    }
}

TEST_F(SupportDir, EmptyDirectoryFails) {
    EXPECT_EXIT(std::exit(LoadAppleLibraries() ? 0 : 1), ::testing::ExitedWithCode(1), "");
}

TEST_F(SupportDir, SearchPathGetsTheDirectoryOnlyOnce) {
    CopyLibraries();
    struct Case {
        const char* desc;
        bool unset;
        std::string before;
        std::string expected;
    };
    const std::string d = dir.string();
    const Case cases[] = {
        {"unset path gets the directory alone", true, "", d},
        {"empty path gets the directory alone", false, "", d},
        {"other entries get it appended", false, "/opt/lib", "/opt/lib:" + d},
        {"already present is left alone", false, "/opt/lib:" + d, "/opt/lib:" + d},
        {"present inside a longer entry is left alone", false, d + "/extra", d + "/extra"},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(
            {
                if (c.unset)
                    unsetenv("LD_LIBRARY_PATH");
                else
                    setenv("LD_LIBRARY_PATH", c.before.c_str(), 1);
                bool loaded = LoadAppleLibraries();
                const char* after = std::getenv("LD_LIBRARY_PATH");
                std::exit(loaded && after && c.expected == after ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << c.desc;
    }
}

}  // namespace
