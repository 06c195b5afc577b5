// LinuxHostFacts: reads the host facts from the files and services a Linux desktop has.
#include "LinuxHostFacts.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <linux/nl80211.h>
#include <netinet/in.h>
#include <netlink/genl/ctrl.h>
#include <netlink/genl/genl.h>
#include <netlink/netlink.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>

#include "TextEncoding.h"

namespace fs = std::filesystem;

namespace {

// System files are small; anything larger than this is not what it claims to be.
constexpr std::uintmax_t kMaxFileSize = 4 * 1024 * 1024;
// The display is asked while the program starts, before its window exists; a display server
// that does not answer within this time counts as none.
constexpr auto kDisplayQueryBound = std::chrono::seconds(2);
// How long the kernel may take to answer the Wi-Fi question.
constexpr int kNetlinkReceiveSeconds = 2;
// "MediaSubType" tells Wi-Fi adapters (2) from all others (1); sysfs marks a wireless interface
// with its "wireless" directory or "phy80211" link.
constexpr int32_t kMediaSubTypeWireless = 2;
constexpr int32_t kMediaSubTypeWired = 1;
constexpr size_t kBssidLength = 6;

std::optional<std::string> ReadText(const fs::path& path) {
    std::error_code error;
    // sysfs and procfs files report a size of 0 or 4096 whatever they hold, so the size check
    // applies to regular files only and reading is bounded as well.
    if (fs::is_regular_file(path, error) && fs::file_size(path, error) > kMaxFileSize && !error) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text;
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        text.append(chunk, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxFileSize) return std::nullopt;
    }
    return text;
}

std::string Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Linux hands out bytes; they are UTF-8 on any current system, and the ANSI code page is the
// fallback for anything else.
std::u16string TextOf(std::string_view bytes) { return Utf8OrAnsiToText(bytes); }

std::optional<long> ParseNumber(const std::string& text) {
    const std::string trimmed = Trim(text);
    if (trimmed.empty() || trimmed.size() > 9) return std::nullopt;
    long value = 0;
    for (char c : trimmed) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// "aa:bb:cc:dd:ee:ff" (any number of two-digit groups) into bytes; empty when malformed.
std::vector<uint8_t> ParseHardwareAddress(const std::string& text) {
    const std::string trimmed = Trim(text);
    std::vector<uint8_t> bytes;
    size_t pos = 0;
    while (pos < trimmed.size()) {
        if (pos + 2 > trimmed.size() || !std::isxdigit(static_cast<unsigned char>(trimmed[pos])) ||
            !std::isxdigit(static_cast<unsigned char>(trimmed[pos + 1])))
            return {};
        auto digit = [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10;
        };
        bytes.push_back(static_cast<uint8_t>(digit(trimmed[pos]) << 4 | digit(trimmed[pos + 1])));
        pos += 2;
        if (pos == trimmed.size()) break;
        if (trimmed[pos] != ':') return {};
        ++pos;
        if (pos == trimmed.size()) return {};
    }
    return bytes;
}

// A value of a shell-style assignment as os-release and user-dirs.dirs write them: single
// quotes keep everything, double quotes and bare text take backslash escapes, and bare
// whitespace ends the value.
std::string ParseShellValue(std::string_view raw) {
    std::string value;
    size_t i = 0;
    while (i < raw.size()) {
        const char c = raw[i];
        if (c == '\'') {
            const size_t end = raw.find('\'', i + 1);
            const size_t stop = end == std::string_view::npos ? raw.size() : end;
            value.append(raw.substr(i + 1, stop - i - 1));
            i = stop + 1;
        } else if (c == '"') {
            ++i;
            while (i < raw.size() && raw[i] != '"') {
                if (raw[i] == '\\' && i + 1 < raw.size() && std::strchr("\"\\$`", raw[i + 1])) ++i;
                value += raw[i++];
            }
            ++i;
        } else if (c == '\\' && i + 1 < raw.size()) {
            value += raw[i + 1];
            i += 2;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            break;
        } else {
            value += c;
            ++i;
        }
    }
    return value;
}

// The value of the last assignment to key in a file of shell-style assignments.
std::optional<std::string> AssignedValue(const std::string& text, std::string_view key) {
    std::optional<std::string> value;
    for (const std::string& line : Lines(text)) {
        const std::string_view rest =
            std::string_view(line).substr(std::min(line.size(), line.find_first_not_of(" \t")));
        if (rest.size() <= key.size() || rest.substr(0, key.size()) != key || rest[key.size()] != '=') continue;
        value = ParseShellValue(rest.substr(key.size() + 1));
    }
    return value;
}

// The number of processors in a kernel CPU list such as "0-3,6"; nothing when malformed.
std::optional<int> CountCpuList(const std::string& text) {
    const std::string list = Trim(text);
    if (list.empty()) return std::nullopt;
    int count = 0;
    std::istringstream in(list);
    for (std::string range; std::getline(in, range, ',');) {
        const size_t dash = range.find('-');
        const std::optional<long> first = ParseNumber(range.substr(0, dash));
        const std::optional<long> last = dash == std::string::npos ? first : ParseNumber(range.substr(dash + 1));
        if (!first || !last || *last < *first) return std::nullopt;
        count += static_cast<int>(*last - *first + 1);
    }
    return count;
}

// "key<tabs> : value" lines of /proc/cpuinfo: the value of the first line with that key.
std::optional<std::string> CpuInfoValue(const std::vector<std::string>& lines, std::string_view key) {
    for (const std::string& line : lines) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos && Trim(std::string_view(line).substr(0, colon)) == key)
            return Trim(std::string_view(line).substr(colon + 1));
    }
    return std::nullopt;
}

// The first IPv4 address of every interface that has one, by interface name.
std::map<std::string, std::string> Ipv4Addresses() {
    std::map<std::string, std::string> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return addresses;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_name || !entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        if (addresses.count(entry->ifa_name)) continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text)) addresses[entry->ifa_name] = text;
    }
    freeifaddrs(list);
    return addresses;
}

// The BSSID of the access point the interface is associated with, asked of nl80211 the way
// "iw dev IF link" does: a dump of the interface's scan results, of which the associated one
// carries a status.
std::vector<uint8_t> QueryAssociatedBssid(int ifindex) {
    std::unique_ptr<nl_sock, decltype(&nl_socket_free)> socket(nl_socket_alloc(), &nl_socket_free);
    if (!socket || genl_connect(socket.get()) < 0) return {};
    const int family = genl_ctrl_resolve(socket.get(), "nl80211");
    if (family < 0) return {};
    timeval bound{kNetlinkReceiveSeconds, 0};
    setsockopt(nl_socket_get_fd(socket.get()), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);

    std::unique_ptr<nl_msg, decltype(&nlmsg_free)> request(nlmsg_alloc(), &nlmsg_free);
    if (!request ||
        !genlmsg_put(request.get(), NL_AUTO_PORT, NL_AUTO_SEQ, family, 0, NLM_F_DUMP, NL80211_CMD_GET_SCAN, 0) ||
        nla_put_u32(request.get(), NL80211_ATTR_IFINDEX, static_cast<uint32_t>(ifindex)) < 0)
        return {};

    std::vector<uint8_t> bssid;
    auto onEntry = [](nl_msg* message, void* arg) -> int {
        auto* found = static_cast<std::vector<uint8_t>*>(arg);
        const nlmsghdr* header = nlmsg_hdr(message);
        if (found->empty()) *found = LinuxHostFacts::AssociatedBssid(header, header->nlmsg_len);
        return NL_OK;
    };
    nl_socket_modify_cb(socket.get(), NL_CB_VALID, NL_CB_CUSTOM, onEntry, &bssid);
    if (nl_send_auto(socket.get(), request.get()) < 0) return {};
    // One call reads the whole dump, up to its end marker, an error or the receive bound.
    nl_recvmsgs_default(socket.get());
    return bssid;
}

// Xlib reports a protocol error by ending the process unless a handler says otherwise; a
// failed screen query is only a missing fact. (The query runs in a child process of its own.)
int IgnoreXError(Display*, XErrorEvent*) { return 0; }
// A broken connection ends the query's process at once, without the exit handlers it shares
// with the program.
int EndOnXIOError(Display*) { _exit(1); }

// The primary monitor's size from the X server: the CRTC that shows RandR's primary output, or
// the one at the origin (where the primary monitor sits when none is marked), or the whole
// screen when RandR cannot tell.
ScreenSize QueryX11Screen(const std::string& displayName) {
    XSetIOErrorHandler(&EndOnXIOError);
    Display* display = XOpenDisplay(displayName.c_str());
    if (!display) return {};
    XSetErrorHandler(&IgnoreXError);
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    ScreenSize size{DisplayWidth(display, screen), DisplayHeight(display, screen)};
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (XRRQueryExtension(display, &eventBase, &errorBase) && XRRQueryVersion(display, &major, &minor) &&
        (major > 1 || (major == 1 && minor >= 3))) {
        if (XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root)) {
            RRCrtc chosen = None;
            const RROutput primary = XRRGetOutputPrimary(display, root);
            if (primary != None) {
                if (XRROutputInfo* output = XRRGetOutputInfo(display, resources, primary)) {
                    chosen = output->crtc;
                    XRRFreeOutputInfo(output);
                }
            }
            for (int i = 0; chosen == None && i < resources->ncrtc; ++i) {
                if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, resources->crtcs[i])) {
                    if (crtc->x == 0 && crtc->y == 0 && crtc->width > 0 && crtc->height > 0)
                        chosen = resources->crtcs[i];
                    XRRFreeCrtcInfo(crtc);
                }
            }
            if (chosen != None) {
                if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, chosen)) {
                    if (crtc->width > 0 && crtc->height > 0)
                        size = {static_cast<int>(crtc->width), static_cast<int>(crtc->height)};
                    XRRFreeCrtcInfo(crtc);
                }
            }
            XRRFreeScreenResources(resources);
        }
    }
    XCloseDisplay(display);
    return size;
}

// Xlib has no time limit of its own and ends the process when its connection breaks, so the
// query runs in a child process that is waited for at most kDisplayQueryBound and killed after
// that: the program itself never holds an X connection nor changes Xlib's process-wide state.
ScreenSize BoundedX11Screen(const std::string& displayName) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        const ScreenSize size = QueryX11Screen(displayName);
        const int answer[2] = {size.width, size.height};
        const ssize_t written = write(fds[1], answer, sizeof answer);
        _exit(written == static_cast<ssize_t>(sizeof answer) ? 0 : 1);
    }
    close(fds[1]);
    if (child < 0) {
        close(fds[0]);
        return {};
    }
    int answer[2] = {};
    size_t received = 0;
    const auto deadline = std::chrono::steady_clock::now() + kDisplayQueryBound;
    while (received < sizeof answer) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd readable{fds[0], POLLIN, 0};
        const int ready = left > 0 ? poll(&readable, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        const ssize_t n = read(fds[0], reinterpret_cast<char*>(answer) + received, sizeof answer - received);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        received += static_cast<size_t>(n);
    }
    close(fds[0]);
    if (received < sizeof answer) kill(child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {}
    if (received < sizeof answer) return {};
    return {answer[0], answer[1]};
}

// "1920x1080" (an interlaced mode may end in "i"): width and height.
std::optional<ScreenSize> ParseMode(const std::string& line) {
    const size_t x = line.find('x');
    if (x == std::string::npos) return std::nullopt;
    std::string height = Trim(line.substr(x + 1));
    if (!height.empty() && height.back() == 'i') height.pop_back();
    const std::optional<long> w = ParseNumber(line.substr(0, x));
    const std::optional<long> h = ParseNumber(height);
    if (!w || !h || *w <= 0 || *h <= 0) return std::nullopt;
    return ScreenSize{static_cast<int>(*w), static_cast<int>(*h)};
}

}  // namespace

LinuxHostFacts::Options LinuxHostFacts::OptionsFromEnvironment() {
    Options options;
    if (const char* home = std::getenv("HOME"); home && *home) {
        options.home = home;
    } else {
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
            options.home = found->pw_dir;
    }
    if (const char* config = std::getenv("XDG_CONFIG_HOME")) options.configHome = config;
    if (const char* display = std::getenv("DISPLAY")) options.display = display;
    return options;
}

LinuxHostFacts& LinuxHostFacts::ThisComputer() {
    static LinuxHostFacts facts(OptionsFromEnvironment());
    return facts;
}

LinuxHostFacts::LinuxHostFacts(Options options) : m_options(std::move(options)) {
    if (m_options.root.empty()) m_options.root = "/";
}

std::string LinuxHostFacts::Path(const std::string& absolute) const {
    if (m_options.root == "/") return absolute;
    std::string root = m_options.root;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root + absolute;
}

bool LinuxHostFacts::IsLiveSystem() const {
    std::error_code error;
    return fs::equivalent(m_options.root, "/", error);
}

std::vector<NetworkAdapterFacts> LinuxHostFacts::NetworkAdapters() {
    const bool live = IsLiveSystem();
    const std::map<std::string, std::string> addresses = live ? Ipv4Addresses() : std::map<std::string, std::string>();
    std::error_code error;
    const fs::path root = fs::canonical(m_options.root, error);
    if (error) return {};

    // An adapter is physical when its device is a PCI function, or a virtio device carried by
    // one (a virtual machine's network card), and sits below a PCI host bridge. The device's own
    // bus decides, so a USB adapter behind a PCI USB controller is not one.
    auto onPciBus = [&root](const fs::path& interfaceDir) {
        std::error_code e;
        const fs::path device = fs::canonical(interfaceDir / "device", e);
        if (e) return false;
        const fs::path below = device.lexically_relative(root);
        if (below.empty() || *below.begin() == "..") return false;
        if (("/" + below.string()).find("/pci") == std::string::npos) return false;
        const fs::path subsystem = fs::canonical(device / "subsystem", e);
        if (e) return false;
        const std::string bus = subsystem.filename().string();
        return bus == "pci" || bus == "virtio";
    };

    std::vector<std::pair<long, NetworkAdapterFacts>> found;
    const fs::path net = Path("/sys/class/net");
    for (fs::directory_iterator it(net, error), end; !error && it != end; it.increment(error)) {
        const fs::path dir = it->path();
        const std::string name = dir.filename().string();
        const std::optional<std::string> ifindexText = ReadText(dir / "ifindex");
        const std::optional<long> ifindex = ifindexText ? ParseNumber(*ifindexText) : std::nullopt;
        if (!ifindex) continue;

        NetworkAdapterFacts adapter;
        adapter.name = TextOf(name);
        adapter.hardwareAddress = ParseHardwareAddress(ReadText(dir / "address").value_or(""));
        // sysfs names the driver, not the product; the driver says what the card is well enough
        // without a hardware database.
        std::error_code e;
        const fs::path driver = fs::canonical(dir / "device" / "driver", e);
        if (!e) adapter.description = TextOf(driver.filename().string());
        adapter.onPciBus = onPciBus(dir);
        const bool wireless = fs::exists(dir / "wireless", e) || fs::exists(dir / "phy80211", e);
        adapter.mediaSubType = wireless ? kMediaSubTypeWireless : kMediaSubTypeWired;
        if (live) {
            if (auto ip = addresses.find(name); ip != addresses.end()) adapter.ipAddress = TextOf(ip->second);
            if (wireless) adapter.accessPoint = QueryAssociatedBssid(static_cast<int>(*ifindex));
        }
        found.emplace_back(*ifindex, std::move(adapter));
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<NetworkAdapterFacts> adapters;
    for (auto& entry : found) adapters.push_back(std::move(entry.second));
    return adapters;
}

std::u16string LinuxHostFacts::ProcessorName() {
    const std::optional<std::string> cpuinfo = ReadText(Path("/proc/cpuinfo"));
    if (!cpuinfo) return {};
    const std::vector<std::string> lines = Lines(*cpuinfo);
    // x86 and most others say "model name"; older ARM kernels "Processor", MIPS "cpu model".
    for (const char* key : {"model name", "Processor", "cpu model"}) {
        if (std::optional<std::string> name = CpuInfoValue(lines, key)) return TextOf(*name);
    }
    return {};
}

int LinuxHostFacts::ProcessorCount() {
    // The processors that are online, as the kernel lists them; failing that, the entries of
    // /proc/cpuinfo, which lists the online ones too.
    if (std::optional<std::string> online = ReadText(Path("/sys/devices/system/cpu/online"))) {
        if (std::optional<int> count = CountCpuList(*online)) return *count;
    }
    const std::optional<std::string> cpuinfo = ReadText(Path("/proc/cpuinfo"));
    if (!cpuinfo) return 0;
    int count = 0;
    for (const std::string& line : Lines(*cpuinfo)) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos && Trim(std::string_view(line).substr(0, colon)) == "processor") ++count;
    }
    return count;
}

std::u16string LinuxHostFacts::OsProductName() {
    // os-release(5): /etc/os-release, or /usr/lib/os-release where /etc has none.
    for (const char* file : {"/etc/os-release", "/usr/lib/os-release"}) {
        const std::optional<std::string> text = ReadText(Path(file));
        if (!text) continue;
        return TextOf(AssignedValue(*text, "PRETTY_NAME").value_or(""));
    }
    return {};
}

std::u16string LinuxHostFacts::OsServicePack() {
    // The kernel release stands for the service pack: what changes beneath the same product
    // name. The file holds what uname reports, and can be read below another root.
    if (std::optional<std::string> release = ReadText(Path("/proc/sys/kernel/osrelease"))) {
        const std::string trimmed = Trim(*release);
        if (!trimmed.empty()) return TextOf(trimmed);
    }
    if (!IsLiveSystem()) return {};
    utsname names{};
    if (uname(&names) != 0) return {};
    return TextOf(names.release);
}

std::u16string LinuxHostFacts::BrowserComponentVersion() {
    // libcurl carries the program's web traffic, as the browser component did where reports
    // were first sent, so its version stands in that place.
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (!info || !info->version) return {};
    return TextOf(info->version);
}

ScreenSize LinuxHostFacts::PrimaryScreenSize() {
    // The window does not exist yet and no toolkit may start for this, so the X server is asked
    // directly; it knows which monitor is primary and its current mode. Without an X display
    // (a Wayland session without Xwayland, a console) the first connected DRM connector's
    // preferred mode is the best answer; a machine with neither has no screen: 0 by 0.
    if (!m_options.display.empty()) {
        const ScreenSize size = BoundedX11Screen(m_options.display);
        if (size.width > 0 && size.height > 0) return size;
    }
    std::error_code error;
    std::vector<fs::path> connectors;
    for (fs::directory_iterator it(Path("/sys/class/drm"), error), end; !error && it != end; it.increment(error))
        connectors.push_back(it->path());
    std::sort(connectors.begin(), connectors.end());
    for (const fs::path& connector : connectors) {
        if (Trim(ReadText(connector / "status").value_or("")) != "connected") continue;
        // The kernel lists the preferred mode first.
        const std::vector<std::string> modes = Lines(ReadText(connector / "modes").value_or(""));
        if (modes.empty()) continue;
        if (std::optional<ScreenSize> size = ParseMode(modes.front())) return *size;
    }
    return {};
}

std::u16string LinuxHostFacts::DocumentsFolder() {
    std::string home = m_options.home;
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (home.empty()) return {};
    // user-dirs.dirs of the XDG user directories: an absolute path or one that starts with
    // "$HOME"; a documents directory equal to home means the user turned it off.
    const std::string configHome =
        !m_options.configHome.empty() && m_options.configHome.front() == '/' ? m_options.configHome : home + "/.config";
    std::string folder;
    if (std::optional<std::string> dirs = ReadText(configHome + "/user-dirs.dirs")) {
        if (std::optional<std::string> value = AssignedValue(*dirs, "XDG_DOCUMENTS_DIR")) {
            if (value->rfind("$HOME", 0) == 0 && (value->size() == 5 || (*value)[5] == '/'))
                folder = home + value->substr(5);
            else if (!value->empty() && value->front() == '/')
                folder = *value;
        }
    }
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder.empty() || folder == home) folder = home + "/Documents";
    std::error_code error;
    fs::create_directories(folder, error);
    if (!fs::is_directory(folder, error)) return {};
    return TextOf(folder);
}

std::vector<uint8_t> LinuxHostFacts::AssociatedBssid(const void* message, size_t length) {
    if (!message || length < NLMSG_HDRLEN + GENL_HDRLEN) return {};
    auto* header = static_cast<nlmsghdr*>(const_cast<void*>(message));
    if (header->nlmsg_len < NLMSG_HDRLEN + GENL_HDRLEN || header->nlmsg_len > length) return {};
    nlattr* attributes[NL80211_ATTR_MAX + 1] = {};
    if (genlmsg_parse(header, 0, attributes, NL80211_ATTR_MAX, nullptr) < 0 || !attributes[NL80211_ATTR_BSS]) return {};
    nla_policy policy[NL80211_BSS_MAX + 1] = {};
    policy[NL80211_BSS_STATUS].type = NLA_U32;
    nlattr* bss[NL80211_BSS_MAX + 1] = {};
    if (nla_parse_nested(bss, NL80211_BSS_MAX, attributes[NL80211_ATTR_BSS], policy) < 0) return {};
    if (!bss[NL80211_BSS_STATUS] || !bss[NL80211_BSS_BSSID]) return {};
    const uint32_t status = nla_get_u32(bss[NL80211_BSS_STATUS]);
    if (status != NL80211_BSS_STATUS_ASSOCIATED && status != NL80211_BSS_STATUS_IBSS_JOINED) return {};
    if (nla_len(bss[NL80211_BSS_BSSID]) != static_cast<int>(kBssidLength)) return {};
    const auto* bytes = static_cast<const uint8_t*>(nla_data(bss[NL80211_BSS_BSSID]));
    return std::vector<uint8_t>(bytes, bytes + kBssidLength);
}
