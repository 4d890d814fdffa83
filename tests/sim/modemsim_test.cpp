// The modemsim program as a whole process on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"

#ifndef GNSS_MODEMSIM
#error "GNSS_MODEMSIM must name the modemsim program"
#endif

extern char** environ;

namespace {

constexpr int kPatienceMs = 20000;

struct Child {
    pid_t pid = -1;
    int out = -1, err = -1;
};

Child Spawn(const std::vector<std::string>& args) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    std::string program = GNSS_MODEMSIM;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    Child child;
    if (::posix_spawn(&child.pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    child.out = out[0];
    child.err = err[0];
    return child;
}

// Reads from `fd` until `done` says the text is complete, the other side
// closes, or the patience runs out.
template <typename Done>
std::string ReadUntil(int fd, Done done) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
    while (!done(text)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[512];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

std::string ReadAll(int fd) {
    return ReadUntil(fd, [](const std::string&) { return false; });
}

int WaitExit(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string PathLine(const Child& child) {
    std::string line = ReadUntil(child.out, [](const std::string& t) { return t.find('\n') != std::string::npos; });
    if (line.empty() || line.back() != '\n') return {};
    line.pop_back();
    return line;
}

std::string Converse(int fd, const std::string& command) {
    EXPECT_EQ(::write(fd, command.data(), command.size()), static_cast<ssize_t>(command.size()));
    return ReadUntil(fd, [](const std::string& t) {
        return t.ends_with("OK\r\n") || t.ends_with("ERROR\r\n");
    });
}

void Stop(Child& child, int expectedStatus = 0) {
    ::kill(child.pid, SIGTERM);
    EXPECT_EQ(WaitExit(child.pid), expectedStatus);
    ::close(child.out);
    ::close(child.err);
}

TEST(SimProgram, ServesAPseudoTerminalAcrossHangUps) {
    Child child = Spawn({"--pty", "--echo", "off", "--time-scale", "0.01", "--mnc-length", "3"});
    ASSERT_GT(child.pid, 0);
    const std::string path = PathLine(child);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;

    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Converse(fd, "AT+CIMI\r\n"), "\r\n001010123456789\r\n\r\nOK\r\n");
    EXPECT_EQ(Converse(fd, "AT+XLCSSWITCH=1\r\n"), "\r\nOK\r\n");
    ::close(fd);

    // A second client after the hang-up finds the modem answering.
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Converse(fd, "AT+CRSM=176,28589,131,3,1\r\n"), "\r\n+CRSM: 144,0,\"03\"\r\n\r\nOK\r\n");
    const std::string report = Converse(fd, "AT+XLCSLSR=1,1,,,,,,,,\r\n");
    EXPECT_EQ(report, "\r\n+XLCSLSR: request id 1\r\n\r\nOK\r\n");
    const std::string fix = ReadUntil(fd, [](const std::string& t) { return t.ends_with("OK\r\n"); });
    EXPECT_EQ(fix.rfind("\r\n+XLCSLSR: 2,", 0), 0u) << fix;
    ::close(fd);
    Stop(child);
}

TEST(SimProgram, HelpAndBadOptions) {
    Child help = Spawn({"--help"});
    const std::string text = ReadAll(help.out);
    EXPECT_EQ(WaitExit(help.pid), 0);
    for (const char* word : {"--pty", "--replay", "--fault", "--no-sim", "--time-scale",
                             "--linefeed", "linefeed=ignore|end", "split:N", "Examples"})
        EXPECT_NE(text.find(word), std::string::npos) << word;
    ::close(help.out);
    ::close(help.err);

    const struct {
        std::vector<std::string> args;
        int status;
        const char* mentions;
    } kBad[] = {
        {{"--pty", "--chip", "z80"}, 2, "chip"},
        {{"--pty", "--fault", "melt"}, 2, "melt"},
        {{"--pty", "--linefeed", "crlf"}, 2, "linefeed"},
        {{"--pty", "--replay", "a,b"}, 2, "comma"},
        {{"--pty", "--colour"}, 2, "--colour"},
        {{}, 2, "--pty"},
        {{"--pty", "--replay", "/nonexistent/capture.nmea"}, 1, "capture"},
    };
    for (const auto& bad : kBad) {
        Child child = Spawn(bad.args);
        const std::string error = ReadAll(child.err);
        EXPECT_EQ(WaitExit(child.pid), bad.status) << error;
        EXPECT_NE(error.find(bad.mentions), std::string::npos) << error;
        ::close(child.out);
        ::close(child.err);
    }
}

TEST(SimProgram, ExamplesOfTheHelpStart) {
    gnss::test::TempDir dir;
    const std::string capture = dir.File("drive.nmea");
    {
        std::ofstream out(capture);
        out << "$GPGGA,120000.00,4722.0,N,00832.0,E,1,05,1.0,1.0,M,,M,,*7E\n";
    }
    Child help = Spawn({"--help"});
    std::istringstream text(ReadAll(help.out));
    WaitExit(help.pid);
    ::close(help.out);
    ::close(help.err);

    int examples = 0;
    std::string line;
    while (std::getline(text, line)) {
        const std::string prefix = "  modemsim ";
        if (line.rfind(prefix, 0) != 0) continue;
        std::vector<std::string> args;
        std::istringstream words(line.substr(prefix.size()));
        for (std::string w; words >> w;) {
            if (w == "drive.nmea") w = capture;
            if (w == "host.bin") w = dir.File("host.bin");
            args.push_back(w);
        }
        Child child = Spawn(args);
        EXPECT_EQ(PathLine(child).rfind("/dev/pts/", 0), 0u) << line << ": " << ReadAll(child.err);
        Stop(child);
        ++examples;
    }
    EXPECT_GE(examples, 3);
}

TEST(SimProgram, UnplugEndsTheProgram) {
    Child child = Spawn({"--pty", "--echo", "off", "--fault", "unplug:on:AT+XLCSLSR"});
    const std::string path = PathLine(child);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Converse(fd, "AT\r\n"), "\r\nOK\r\n");
    const std::string command = "AT+XLCSLSR=1,1,,,,,,,,\r\n";
    ASSERT_EQ(::write(fd, command.data(), command.size()), static_cast<ssize_t>(command.size()));
    EXPECT_EQ(WaitExit(child.pid), 3);
    EXPECT_NE(ReadAll(child.err).find("unplugged"), std::string::npos);
    ::close(fd);
    ::close(child.out);
    ::close(child.err);
}

}  // namespace
