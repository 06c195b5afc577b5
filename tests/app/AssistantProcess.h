// Shared by the assistant's black-box tests: a private folder with a hub, a home and a virtual phone, the
// assistant running as its own process, and the phone app's side of the link files.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FileTestSupport.h"

namespace assistant_test {

namespace fs = std::filesystem;

inline constexpr char kCompanionApp[] = "com.mrz4.ringtone.pid40ch1";

using file_test::ReadFile;
using file_test::WaitFor;
using file_test::WriteFile;

// Runs a command with /bin/sh; its standard output.
inline std::string Capture(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
        ::pclose(pipe);
    }
    return out;
}

inline std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The test's private world and at most one running assistant in it.
class AssistantFixture : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ruvo-assistant-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        m_phone = m_root / "phone";
        fs::create_directories(m_root / "home");
    }

    void TearDown() override {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        std::error_code error;
        fs::remove_all(m_root, error);
    }

    // ruvo-phone with the test's hub; its standard output.
    std::string Phone(const std::string& arguments) {
        return Capture(Environment() + " " + Quote(RUVO_TEST_PHONE_TOOL) + " " + arguments + " 2>&1");
    }

    std::string Environment() const {
        return "RUVO_PHONE_HUB=" + Quote((m_root / "hub").string()) + " HOME=" + Quote((m_root / "home").string()) +
               " XDG_CONFIG_HOME= XDG_STATE_HOME=";
    }

    // Starts the assistant with the arguments (the phone folder is the test's unless given).
    void Start(std::vector<std::string> arguments = {"--headless", "--no-report"}, bool withPhone = true) {
        if (withPhone) {
            arguments.push_back("--virtual-phone");
            arguments.push_back(m_phone.string());
        }
        const std::string out = (m_root / "stdout").string();
        const std::string err = (m_root / "stderr").string();
        const std::string hub = (m_root / "hub").string();
        const std::string home = (m_root / "home").string();
        m_pid = ::fork();
        ASSERT_GE(m_pid, 0);
        if (m_pid == 0) {
            ::setenv("RUVO_PHONE_HUB", hub.c_str(), 1);
            ::setenv("HOME", home.c_str(), 1);
            ::unsetenv("XDG_CONFIG_HOME");
            ::unsetenv("XDG_STATE_HOME");
            ::unsetenv("RUVO_REPORT_URL");
            // No display: a run without --headless runs headless, as on a machine without one.
            ::unsetenv("DISPLAY");
            ::unsetenv("WAYLAND_DISPLAY");
            for (const auto& [name, value] : m_environment) ::setenv(name.c_str(), value.c_str(), 1);
            if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr)) ::_exit(127);
            std::vector<char*> argv;
            std::string program = RUVO_TEST_ASSISTANT;
            argv.push_back(program.data());
            for (std::string& argument : arguments) argv.push_back(argument.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
    }

    // Sends the signal and waits for the end; the wait status, or -1 when it did not end.
    int Stop(int signal = SIGTERM) {
        if (m_pid <= 0) return -1;
        ::kill(m_pid, signal);
        int status = -1;
        const bool ended = WaitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; });
        if (!ended) return -1;
        m_pid = -1;
        return status;
    }

    // The assistant's standard error, and its lines without their times.
    std::string Stderr() const { return ReadFile(m_root / "stderr").value_or(""); }
    std::vector<std::string> ChangeLines() const {
        std::vector<std::string> lines;
        std::istringstream in(Stderr());
        static const std::regex timed(R"(^\d\d:\d\d:\d\d\.\d\d\d (.*)$)");
        for (std::string line; std::getline(in, line);) {
            std::smatch match;
            lines.push_back(std::regex_match(line, match, timed) ? match[1].str() : "untimed: " + line);
        }
        return lines;
    }
    bool StderrHasLine(const std::string& line) const {
        for (const std::string& l : ChangeLines())
            if (l == line) return true;
        return false;
    }

    fs::path LinkFolder(const std::string& app = kCompanionApp) const {
        return m_phone / "containers" / app / "Documents" / "PCConnection";
    }
    fs::path Documents(const std::string& app = kCompanionApp) const {
        return m_phone / "containers" / app / "Documents";
    }
    void Request(const std::string& text, const std::string& app = kCompanionApp) {
        WriteFile(LinkFolder(app) / "Request", text);
    }
    std::optional<std::string> Response(const std::string& app = kCompanionApp) const {
        return ReadFile(LinkFolder(app) / "Respone");
    }
    // The heartbeat counter the app's heartbeat file shows, -1 without one. The phone rewrites
    // the file in place, so a read may meet it half-written: such a read is tried again.
    long Heartbeat(const std::string& app = kCompanionApp) const {
        static const std::regex shape(R"(^\{"Version":7,"Heartbeat":(\d+)\}$)");
        for (int attempt = 0; attempt < 20; ++attempt) {
            const std::optional<std::string> text = ReadFile(LinkFolder(app) / "Heartbeat");
            if (!text) return -1;
            std::smatch match;
            if (std::regex_match(*text, match, shape)) return std::stol(match[1].str());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

    // Waits until the response file holds exactly the text; false (with what it holds) otherwise.
    ::testing::AssertionResult AnswerIs(const std::string& expected, const std::string& app = kCompanionApp) {
        if (WaitFor([&] { return Response(app) == expected; })) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "response " << Response(app).value_or("(none)") << "\nwanted   " << expected << "\nassistant said:\n"
               << Stderr();
    }

    // Lets the app's heartbeat move on by count cycles: whatever the assistant would do with the
    // files in place, it has done by then.
    ::testing::AssertionResult LetCyclesPass(int count, const std::string& app = kCompanionApp) {
        const long start = Heartbeat(app);
        if (WaitFor([&] { return Heartbeat(app) >= start + count; })) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the heartbeat stayed at " << Heartbeat(app);
    }

    fs::path m_root;
    fs::path m_phone;
    // Further variables of the assistant's environment.
    std::vector<std::pair<std::string, std::string>> m_environment;
    pid_t m_pid = -1;
};

}  // namespace assistant_test
