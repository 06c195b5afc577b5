// LinuxHostFacts against small fake system trees: which adapters are physical and their order, os-release, cpuinfo, the kernel release, DRM screens, the documents folder, and nl80211 scan entries.
#include "LinuxHostFacts.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/nl80211.h>
#include <netinet/in.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "TextEncoding.h"

namespace fs = std::filesystem;

namespace {

// A temporary directory laid out like the parts of a Linux root that the facts are read from.
// It sits in a folder named "pci-..." so that a root path which itself runs through "/pci"
// cannot make a device look like a PCI one.
class FakeSystem {
public:
    FakeSystem() {
        std::string pattern = (fs::temp_directory_path() / "ruvo-host-test-XXXXXX").string();
        if (::mkdtemp(pattern.data())) m_base = pattern;
        m_root = m_base / "pci-root";
        fs::create_directories(m_root);
    }
    ~FakeSystem() {
        std::error_code error;
        fs::remove_all(m_base, error);
    }
    FakeSystem(const FakeSystem&) = delete;
    FakeSystem& operator=(const FakeSystem&) = delete;

    const fs::path& Root() const { return m_root; }

    void File(const std::string& path, const std::string& content) const {
        fs::create_directories((m_root / path).parent_path());
        std::ofstream(m_root / path, std::ios::binary) << content;
    }
    void Link(const std::string& path, const std::string& target) const {
        fs::create_directories((m_root / path).parent_path());
        fs::create_directory_symlink(m_root / target, m_root / path);
    }

    // A device below sys/devices on the bus, bound to the driver.
    void Device(const std::string& path, const std::string& bus, const std::string& driver) const {
        fs::create_directories(m_root / path);
        fs::create_directories(m_root / "sys/bus" / bus / "drivers" / driver);
        Link(path + "/subsystem", "sys/bus/" + bus);
        Link(path + "/driver", "sys/bus/" + bus + "/drivers/" + driver);
    }

    // An interface of sys/class/net; device is its device's path or empty for a virtual one.
    void Interface(const std::string& name, int ifindex, const std::string& address, const std::string& device,
                   bool wireless = false) const {
        const std::string dir = "sys/class/net/" + name;
        File(dir + "/ifindex", std::to_string(ifindex) + "\n");
        File(dir + "/address", address + "\n");
        if (!device.empty()) Link(dir + "/device", device);
        if (wireless) fs::create_directories(m_root / dir / "wireless");
    }

    LinuxHostFacts Facts() const {
        LinuxHostFacts::Options options;
        options.root = m_root.string();
        return LinuxHostFacts(options);
    }

private:
    fs::path m_base;
    fs::path m_root;
};

std::u16string Text(const std::string& utf8) { return Utf8ToText(utf8); }

TEST(LinuxHostFactsTest, AdaptersInKernelOrderAndOnlyPciOnesArePhysical) {
    FakeSystem system;
    system.Device("sys/devices/pci0000:00/0000:00:1f.6", "pci", "e1000e");
    system.Device("sys/devices/pci0000:00/0000:00:14.3", "pci", "iwlwifi");
    system.Device("sys/devices/pci0000:00/0000:00:03.0/virtio2", "virtio", "virtio_net");
    system.Device("sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0", "usb", "cdc_ether");
    system.Device("sys/devices/platform/soc/ff540000.ethernet", "platform", "rk_gmac-dwmac");
    system.Device("sys/devices/platform/virtio-mmio.0/virtio0", "virtio", "virtio_net");
    // Made out of order: the list follows ifindex, not the directory.
    system.Interface("wlp0s20f3", 3, "f4:8c:50:01:a2:b3", "sys/devices/pci0000:00/0000:00:14.3", true);
    system.Interface("docker0", 6, "02:42:ac:11:00:01", "");
    system.Interface("enx001122334455", 5, "00:11:22:33:44:55", "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0");
    system.Interface("lo", 1, "00:00:00:00:00:00", "");
    system.Interface("enp0s31f6", 2, "00:1b:21:3a:4f:5c", "sys/devices/pci0000:00/0000:00:1f.6");
    system.Interface("ens3", 4, "52:54:00:12:34:56", "sys/devices/pci0000:00/0000:00:03.0/virtio2");
    system.Interface("eth1", 7, "7a:00:00:00:00:01", "sys/devices/platform/soc/ff540000.ethernet");
    system.Interface("eth2", 8, "7a:00:00:00:00:02", "sys/devices/platform/virtio-mmio.0/virtio0");
    system.File("sys/class/net/bonding_masters", "bond0\n");  // a file, not an interface

    struct Expected {
        std::string name;
        bool onPciBus;
        std::string driver;
        int32_t mediaSubType;
        std::vector<uint8_t> address;
    };
    const Expected expected[] = {
        {"lo", false, "", 1, {0, 0, 0, 0, 0, 0}},
        {"enp0s31f6", true, "e1000e", 1, {0x00, 0x1b, 0x21, 0x3a, 0x4f, 0x5c}},
        {"wlp0s20f3", true, "iwlwifi", 2, {0xf4, 0x8c, 0x50, 0x01, 0xa2, 0xb3}},
        {"ens3", true, "virtio_net", 1, {0x52, 0x54, 0x00, 0x12, 0x34, 0x56}},
        {"enx001122334455", false, "cdc_ether", 1, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
        {"docker0", false, "", 1, {0x02, 0x42, 0xac, 0x11, 0x00, 0x01}},
        {"eth1", false, "rk_gmac-dwmac", 1, {0x7a, 0, 0, 0, 0, 1}},
        {"eth2", false, "virtio_net", 1, {0x7a, 0, 0, 0, 0, 2}},
    };
    const std::vector<NetworkAdapterFacts> adapters = system.Facts().NetworkAdapters();
    ASSERT_EQ(adapters.size(), std::size(expected));
    for (size_t i = 0; i < adapters.size(); ++i) {
        const Expected& e = expected[i];
        EXPECT_EQ(adapters[i].name, Text(e.name)) << "position " << i;
        EXPECT_EQ(adapters[i].onPciBus, e.onPciBus) << e.name;
        EXPECT_EQ(adapters[i].description, Text(e.driver)) << e.name;
        EXPECT_EQ(adapters[i].mediaSubType, e.mediaSubType) << e.name;
        EXPECT_EQ(adapters[i].hardwareAddress, e.address) << e.name;
        // Another root's files: the live kernel's addresses and access points are not its own.
        EXPECT_EQ(adapters[i].ipAddress, u"") << e.name;
        EXPECT_TRUE(adapters[i].accessPoint.empty()) << e.name;
    }
}

TEST(LinuxHostFactsTest, HardwareAddressesAreParsedOrLeftEmpty) {
    struct Case {
        const char* desc;
        std::string text;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"upper case", "AB:CD:EF:01:23:45", {0xab, 0xcd, 0xef, 0x01, 0x23, 0x45}},
        {"a longer link-layer address", "80:00:02:08:fe:80:00:00:00:00", {0x80, 0, 2, 8, 0xfe, 0x80, 0, 0, 0, 0}},
        {"no address", "", {}},
        {"not hexadecimal", "zz:00:00:00:00:00", {}},
        {"a missing group", "00:11:22:33:44:", {}},
        {"single digits", "0:1:2:3:4:5", {}},
    };
    for (const Case& c : cases) {
        FakeSystem system;
        system.Device("sys/devices/pci0000:00/0000:00:1f.6", "pci", "e1000e");
        system.Interface("eth0", 2, c.text, "sys/devices/pci0000:00/0000:00:1f.6");
        const std::vector<NetworkAdapterFacts> adapters = system.Facts().NetworkAdapters();
        ASSERT_EQ(adapters.size(), 1u) << c.desc;
        EXPECT_EQ(adapters[0].hardwareAddress, c.bytes) << c.desc;
    }
}

TEST(LinuxHostFactsTest, NoNetworkClassMeansNoAdapters) {
    FakeSystem system;
    EXPECT_TRUE(system.Facts().NetworkAdapters().empty());
}

TEST(LinuxHostFactsTest, ProductNameIsPrettyNameOfOsRelease) {
    struct Case {
        const char* desc;
        std::optional<std::string> etc;
        std::optional<std::string> usrLib;
        std::string name;
    };
    const Case cases[] = {
        {"double quotes", "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n",
         std::nullopt, "Debian GNU/Linux 12 (bookworm)"},
        {"single quotes keep backslashes", "PRETTY_NAME='Fedora Linux 39 \\(Workstation\\)'\n", std::nullopt,
         "Fedora Linux 39 \\(Workstation\\)"},
        {"no quotes", "ID=alpine\nPRETTY_NAME=Alpine\n", std::nullopt, "Alpine"},
        {"escaped quote and backslash", "PRETTY_NAME=\"Ruvo \\\"Test\\\" OS \\\\ 1\"\n", std::nullopt,
         "Ruvo \"Test\" OS \\ 1"},
        {"comments and similar keys are skipped",
         "# PRETTY_NAME=\"Commented\"\nXPRETTY_NAME=\"Other\"\nPRETTY_NAMES=\"Plural\"\n  PRETTY_NAME=\"Indented\"\n",
         std::nullopt, "Indented"},
        {"the last assignment counts", "PRETTY_NAME=\"First\"\nPRETTY_NAME=\"Second\"\n", std::nullopt, "Second"},
        {"UTF-8 text", "PRETTY_NAME=\"深度操作系统 23\"\n", std::nullopt, "深度操作系统 23"},
        {"line ending in CR LF", "PRETTY_NAME=\"Windows-edited\"\r\n", std::nullopt, "Windows-edited"},
        {"only /usr/lib has the file", std::nullopt, "PRETTY_NAME=\"Arch Linux\"\n", "Arch Linux"},
        {"/etc comes first", "PRETTY_NAME=\"From etc\"\n", "PRETTY_NAME=\"From usr\"\n", "From etc"},
        {"a file without the key", "NAME=Gentoo\n", "PRETTY_NAME=\"From usr\"\n", ""},
        {"no file at all", std::nullopt, std::nullopt, ""},
    };
    for (const Case& c : cases) {
        FakeSystem system;
        if (c.etc) system.File("etc/os-release", *c.etc);
        if (c.usrLib) system.File("usr/lib/os-release", *c.usrLib);
        EXPECT_EQ(system.Facts().OsProductName(), Text(c.name)) << c.desc;
    }
}

TEST(LinuxHostFactsTest, ServicePackIsTheKernelRelease) {
    FakeSystem system;
    EXPECT_EQ(system.Facts().OsServicePack(), u"") << "another root without the file";
    system.File("proc/sys/kernel/osrelease", "6.1.0-13-amd64\n");
    EXPECT_EQ(system.Facts().OsServicePack(), u"6.1.0-13-amd64");
}

TEST(LinuxHostFactsTest, ProcessorNameAndOnlineCount) {
    const std::string intel =
        "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Core(TM) i7-1185G7 @ 3.00GHz\n\n"
        "processor\t: 1\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Core(TM) i7-1185G7 @ 3.00GHz\n\n"
        "processor\t: 2\nmodel name\t: Intel(R) Core(TM) i7-1185G7 @ 3.00GHz\n";
    struct Case {
        const char* desc;
        std::optional<std::string> cpuinfo;
        std::optional<std::string> online;
        std::string name;
        int count;
    };
    const Case cases[] = {
        {"model name and an online range", intel, "0-7\n", "Intel(R) Core(TM) i7-1185G7 @ 3.00GHz", 8},
        {"ranges and single processors", intel, "0-3,6,9-10\n", "Intel(R) Core(TM) i7-1185G7 @ 3.00GHz", 7},
        {"one processor", intel, "0\n", "Intel(R) Core(TM) i7-1185G7 @ 3.00GHz", 1},
        {"no online list: the cpuinfo entries", intel, std::nullopt, "Intel(R) Core(TM) i7-1185G7 @ 3.00GHz", 3},
        {"a malformed online list: the cpuinfo entries", intel, "0-x\n", "Intel(R) Core(TM) i7-1185G7 @ 3.00GHz", 3},
        {"a reversed range: the cpuinfo entries", intel, "3-1\n", "Intel(R) Core(TM) i7-1185G7 @ 3.00GHz", 3},
        {"older ARM kernels", "Processor\t: ARMv7 Processor rev 4 (v7l)\nprocessor\t: 0\nprocessor\t: 1\n",
         std::nullopt, "ARMv7 Processor rev 4 (v7l)", 2},
        {"no name at all", "processor\t: 0\nhart\t\t: 0\nisa\t\t: rv64imafdc\n", "0\n", "", 1},
        {"no files", std::nullopt, std::nullopt, "", 0},
    };
    for (const Case& c : cases) {
        FakeSystem system;
        if (c.cpuinfo) system.File("proc/cpuinfo", *c.cpuinfo);
        if (c.online) system.File("sys/devices/system/cpu/online", *c.online);
        LinuxHostFacts facts = system.Facts();
        EXPECT_EQ(facts.ProcessorName(), Text(c.name)) << c.desc;
        EXPECT_EQ(facts.ProcessorCount(), c.count) << c.desc;
    }
}

TEST(LinuxHostFactsTest, ScreenFromTheFirstConnectedConnectorWithoutADisplay) {
    struct Connector {
        std::string name;
        std::string status;
        std::string modes;
    };
    struct Case {
        const char* desc;
        std::string display;
        std::vector<Connector> connectors;
        int width;
        int height;
    };
    const Case cases[] = {
        {"the connected one, its preferred mode",
         "",
         {{"card0-eDP-1", "disconnected", ""}, {"card0-HDMI-A-1", "connected", "2560x1440\n1920x1080\n1280x720\n"}},
         2560,
         1440},
        {"the first connected one in name order",
         "",
         {{"card1-DP-2", "connected", "1920x1200\n"}, {"card0-DP-1", "connected", "3840x2160\n"}},
         3840,
         2160},
        {"an interlaced mode", "", {{"card0-VGA-1", "connected", "1920x1080i\n"}}, 1920, 1080},
        {"a connected connector without modes is passed over",
         "",
         {{"card0-DP-1", "connected", ""}, {"card0-DP-2", "connected", "1366x768\n"}},
         1366,
         768},
        {"nothing connected", "", {{"card0-eDP-1", "disconnected", "1920x1080\n"}}, 0, 0},
        {"no DRM devices", "", {}, 0, 0},
        {"a display that cannot be reached", ":31999", {{"card0-DP-1", "connected", "1600x900\n"}}, 1600, 900},
    };
    for (const Case& c : cases) {
        FakeSystem system;
        for (const Connector& connector : c.connectors) {
            system.File("sys/class/drm/" + connector.name + "/status", connector.status + "\n");
            system.File("sys/class/drm/" + connector.name + "/modes", connector.modes);
        }
        system.File("sys/class/drm/version", "drm 1.1.0 20060810\n");
        LinuxHostFacts::Options options;
        options.root = system.Root().string();
        options.display = c.display;
        const ScreenSize size = LinuxHostFacts(options).PrimaryScreenSize();
        EXPECT_EQ(size.width, c.width) << c.desc;
        EXPECT_EQ(size.height, c.height) << c.desc;
    }
}

// A real X server without a screen (Xvfb) of the given size, on a display number it picks.
class VirtualDisplay {
public:
    static constexpr const char* kServer = "/usr/bin/Xvfb";

    VirtualDisplay(int width, int height) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        const std::string fd = std::to_string(fds[1]);
        const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
        std::vector<std::string> args = {kServer, "-displayfd", fd, "-screen", "0", screen, "-nolisten", "tcp"};
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&m_pid, kServer, &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        // The server writes its display number once it accepts connections.
        std::string number;
        pollfd ready{fds[0], POLLIN, 0};
        char c;
        while (m_pid > 0 && ::poll(&ready, 1, 20000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        ::close(fds[0]);
        if (!number.empty()) m_display = ":" + number;
    }
    ~VirtualDisplay() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // Empty when the server did not start.
    const std::string& Display() const { return m_display; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

// A screen connected through DRM as well, of another size, so the test can tell who answered.
LinuxHostFacts::Options OptionsWithMonitor(const FakeSystem& system, const std::string& display) {
    system.File("sys/class/drm/card0-DP-1/status", "connected\n");
    system.File("sys/class/drm/card0-DP-1/modes", "1600x900\n");
    LinuxHostFacts::Options options;
    options.root = system.Root().string();
    options.display = display;
    return options;
}

TEST(LinuxHostFactsTest, ScreenOfAnAnsweringXDisplay) {
    if (!fs::exists(VirtualDisplay::kServer)) GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh)";
    constexpr int kWidth = 1280, kHeight = 800;
    VirtualDisplay display(kWidth, kHeight);
    ASSERT_FALSE(display.Display().empty()) << "Xvfb did not start";
    FakeSystem system;
    const ScreenSize size = LinuxHostFacts(OptionsWithMonitor(system, display.Display())).PrimaryScreenSize();
    EXPECT_EQ(size.width, kWidth);
    EXPECT_EQ(size.height, kHeight);
}

// A display that accepts the connection and never answers must not hold the start-up: the
// query gives up and the DRM connector answers.
TEST(LinuxHostFactsTest, ASilentXDisplayCountsAsNone) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    // X display n listens on TCP port 6000 + n.
    const int port = ntohs(address.sin_port);
    ASSERT_GT(port, 6000) << "an ephemeral port above the X range";

    FakeSystem system;
    const ScreenSize size =
        LinuxHostFacts(OptionsWithMonitor(system, "127.0.0.1:" + std::to_string(port - 6000))).PrimaryScreenSize();
    EXPECT_EQ(size.width, 1600);
    EXPECT_EQ(size.height, 900);
    // Refuses the waiting connection, so the abandoned query ends too.
    ::close(listener);
}

TEST(LinuxHostFactsTest, DocumentsFolderFromTheXdgUserDirectories) {
    struct Case {
        const char* desc;
        std::string configHome;  // below the fake root; empty: not set
        std::optional<std::string> userDirs;
        std::string folder;  // below home
    };
    const Case cases[] = {
        {"no user-dirs file", "", std::nullopt, "Documents"},
        {"a folder below home", "", "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n",
         "Dokumente"},
        {"escapes in the name", "", "XDG_DOCUMENTS_DIR=\"$HOME/My \\\"Docs\\\"\"\n", "My \"Docs\""},
        {"a trailing separator is dropped", "", "XDG_DOCUMENTS_DIR=\"$HOME/Docs/\"\n", "Docs"},
        {"home itself means turned off", "", "XDG_DOCUMENTS_DIR=\"$HOME/\"\n", "Documents"},
        {"home without separator too", "", "XDG_DOCUMENTS_DIR=\"$HOME\"\n", "Documents"},
        {"a relative path is not valid", "", "XDG_DOCUMENTS_DIR=\"Docs\"\n", "Documents"},
        {"another variable is not home", "", "XDG_DOCUMENTS_DIR=\"$HOMEDIR/Docs\"\n", "Documents"},
        {"a commented-out line", "", "# XDG_DOCUMENTS_DIR=\"$HOME/Old\"\n", "Documents"},
        {"XDG_CONFIG_HOME elsewhere", "cfg", "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n", "Papers"},
    };
    for (const Case& c : cases) {
        FakeSystem system;
        const fs::path home = system.Root() / "home/user";
        fs::create_directories(home);
        const fs::path config = c.configHome.empty() ? home / ".config" : system.Root() / c.configHome;
        if (c.userDirs) system.File(config.lexically_relative(system.Root()).string() + "/user-dirs.dirs", *c.userDirs);
        LinuxHostFacts::Options options;
        options.root = system.Root().string();
        options.home = home.string() + "/";
        if (!c.configHome.empty()) options.configHome = config.string();
        const fs::path expected = home / c.folder;
        EXPECT_EQ(LinuxHostFacts(options).DocumentsFolder(), Text(expected.string())) << c.desc;
        EXPECT_TRUE(fs::is_directory(expected)) << c.desc << ": made when missing";
    }
}

TEST(LinuxHostFactsTest, DocumentsFolderSpecialCases) {
    FakeSystem system;
    const fs::path home = system.Root() / "home/user";
    const fs::path absolute = system.Root() / "srv/documents";
    system.File("home/user/.config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"" + absolute.string() + "\"\n");
    LinuxHostFacts::Options options;
    options.root = system.Root().string();
    options.home = home.string();
    EXPECT_EQ(LinuxHostFacts(options).DocumentsFolder(), Text(absolute.string())) << "an absolute path";
    EXPECT_TRUE(fs::is_directory(absolute));

    options.configHome = "relative/config";
    fs::remove_all(home / "Documents");
    EXPECT_EQ(LinuxHostFacts(options).DocumentsFolder(), Text(absolute.string()))
        << "a relative XDG_CONFIG_HOME is ignored, as the XDG rules say";

    system.File("home/user/Documents", "a file where the folder should be");
    options.configHome = (system.Root() / "empty-config").string();
    EXPECT_EQ(LinuxHostFacts(options).DocumentsFolder(), u"") << "no folder can be made";

    options.home.clear();
    EXPECT_EQ(LinuxHostFacts(options).DocumentsFolder(), u"") << "no home";
}

// nl80211 scan entries as the kernel sends them, written with libnl.
std::vector<uint8_t> ScanEntry(bool withBss, std::optional<uint32_t> status, const std::vector<uint8_t>& bssid) {
    std::unique_ptr<nl_msg, decltype(&nlmsg_free)> message(nlmsg_alloc(), &nlmsg_free);
    genlmsg_put(message.get(), 0, 0, 0x1c, 0, NLM_F_MULTI, NL80211_CMD_NEW_SCAN_RESULTS, 1);
    nla_put_u32(message.get(), NL80211_ATTR_IFINDEX, 3);
    if (withBss) {
        nlattr* bss = nla_nest_start(message.get(), NL80211_ATTR_BSS);
        nla_put_u32(message.get(), NL80211_BSS_FREQUENCY, 5180);
        if (!bssid.empty()) nla_put(message.get(), NL80211_BSS_BSSID, static_cast<int>(bssid.size()), bssid.data());
        if (status) nla_put_u32(message.get(), NL80211_BSS_STATUS, *status);
        nla_nest_end(message.get(), bss);
    }
    const nlmsghdr* header = nlmsg_hdr(message.get());
    const auto* bytes = reinterpret_cast<const uint8_t*>(header);
    return std::vector<uint8_t>(bytes, bytes + header->nlmsg_len);
}

TEST(LinuxHostFactsTest, BssidOnlyOfTheAssociatedScanEntry) {
    const std::vector<uint8_t> bssid = {0xc8, 0x3a, 0x35, 0x0d, 0xe1, 0xff};
    struct Case {
        const char* desc;
        std::vector<uint8_t> message;
        size_t cut;  // bytes taken off the end
        std::vector<uint8_t> expected;
    };
    const Case cases[] = {
        {"associated", ScanEntry(true, NL80211_BSS_STATUS_ASSOCIATED, bssid), 0, bssid},
        {"joined ad-hoc network", ScanEntry(true, NL80211_BSS_STATUS_IBSS_JOINED, bssid), 0, bssid},
        {"only authenticated", ScanEntry(true, NL80211_BSS_STATUS_AUTHENTICATED, bssid), 0, {}},
        {"seen, not connected", ScanEntry(true, std::nullopt, bssid), 0, {}},
        {"a BSSID of the wrong length", ScanEntry(true, NL80211_BSS_STATUS_ASSOCIATED, {1, 2, 3, 4}), 0, {}},
        {"no BSSID", ScanEntry(true, NL80211_BSS_STATUS_ASSOCIATED, {}), 0, {}},
        {"no BSS at all", ScanEntry(false, std::nullopt, {}), 0, {}},
        {"cut short", ScanEntry(true, NL80211_BSS_STATUS_ASSOCIATED, bssid), 4, {}},
        {"less than the headers", std::vector<uint8_t>(12, 0), 0, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LinuxHostFacts::AssociatedBssid(c.message.data(), c.message.size() - c.cut), c.expected) << c.desc;
    }
    EXPECT_TRUE(LinuxHostFacts::AssociatedBssid(nullptr, 64).empty());
}

TEST(LinuxHostFactsTest, BrowserComponentIsAVersionNumber) {
    const std::u16string version = LinuxHostFacts(LinuxHostFacts::Options{}).BrowserComponentVersion();
    ASSERT_FALSE(version.empty());
    EXPECT_EQ(version.find_first_not_of(u"0123456789."), std::u16string::npos) << TextToUtf8(version);
}

}  // namespace
