// The serial-device back-end: on a pseudo-terminal of the test's own (its
// master side plays the modem, byte for byte), and against the modemsim
// program in whole processes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "BackendTest.h"
#include "gnss/platform/trace.h"
#include "gnss/platform/tty_usb_backend.h"
#include "gnss/platform/usb_backends.h"

#ifndef GNSS_MODEMSIM
#error "GNSS_MODEMSIM must name the modemsim program"
#endif

extern char** environ;

namespace gnss::test {
namespace {

using fw::kBulkInEndpoint;
using fw::kBulkOutEndpoint;
using fw::TtyUsbBackend;

// What comes from `fd` until `done(text)` holds (or patience ends).
template <class Done>
std::string ReadFd(int fd, Done done) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!done(text)) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        char buffer[4096];
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

// A pseudo-terminal whose terminal side only the back-end opens; the test
// plays the modem on the master side.
struct Pty {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::string path;

    Pty() {
        char name[128] = {};
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0 &&
            ::ptsname_r(master, name, sizeof name) == 0)
            path = name;
    }
    ~Pty() { Close(); }
    void Close() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    void Send(const std::string& bytes) const {
        ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};

std::shared_ptr<TtyUsbBackend> OpenTty(const std::string& path) {
    std::string error;
    auto tty = TtyUsbBackend::Open(path, error);
    EXPECT_TRUE(tty) << error;
    return tty;
}

TEST(TtyBackend, EveryByteValuePassesUnchangedBothWays) {
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    auto tty = OpenTty(pty.path);
    ASSERT_TRUE(tty);

    // All byte values, carriage returns, line feeds, XON/XOFF and the signal
    // characters among them, 3000 bytes in all: more than one transfer.
    std::string bytes;
    for (int i = 0; i < 3000; ++i) bytes += static_cast<char>(i % 256);

    pty.Send(bytes);
    const Collected in = ReadUntil(*tty, AtLeast(bytes.size()), 4096);
    ASSERT_EQ(in.status, STATUS_SUCCESS);
    EXPECT_EQ(in.text, bytes);
    EXPECT_LE(*std::max_element(in.chunks.begin(), in.chunks.end()), fw::kReadChunkBytes);

    ULONG written = 0;
    ASSERT_EQ(Write(*tty, bytes, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(ReadFd(pty.master, AtLeast(bytes.size())), bytes);
}

TEST(TtyBackend, TheControlLineRequestSucceedsWithoutModemLinesAndSaysSoOnce) {
    Pty pty;
    auto tty = OpenTty(pty.path);
    ASSERT_TRUE(tty);
    trace::RecorderStart();
    trace::ClearRecorder();
    ULONG transferred = 0;
    EXPECT_EQ(tty->ControlTransfer(ControlLineRequest(3), nullptr, 0, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(tty->ControlTransfer(ControlLineRequest(3), nullptr, 0, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(tty->ControlTransfer(ControlLineRequest(0), nullptr, 0, &transferred), STATUS_SUCCESS);
    const std::string log = trace::RecorderSnapshot();
    const std::size_t first = log.find("has no modem control lines");
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("has no modem control lines", first + 1), std::string::npos) << log;
    trace::RecorderStop();

    std::uint8_t coding[7] = {};
    EXPECT_EQ(tty->ControlTransfer({0x21, 0x20, 0, 0, 7}, coding, sizeof coding, &transferred),
              STATUS_NOT_SUPPORTED);
}

TEST(TtyBackend, CancelReadEndsTheReadInProgressOrTheNextOneAndLosesNoData) {
    Pty pty;
    auto tty = OpenTty(pty.path);
    ASSERT_TRUE(tty);
    ReadTracker reads(*tty);
    auto blocked = reads.BeginRead(*tty);
    tty->CancelRead(kBulkInEndpoint);
    EXPECT_EQ(blocked.get(), STATUS_CANCELLED);

    // A cancel with no read in progress ends the next read before it begins,
    // once; bytes that came in the meantime wait for the read after it.
    tty->CancelRead(kBulkInEndpoint);
    pty.Send("\r\nOK\r\n");
    std::uint8_t byte = 0;
    std::size_t got = 0;
    EXPECT_EQ(tty->ReadPipe(kBulkInEndpoint, &byte, 1, &got), STATUS_CANCELLED);
    EXPECT_EQ(got, 0u);
    const Collected answer = ReadUntil(*tty, EndsWithOk());
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.text, "\r\nOK\r\n");
}

TEST(TtyBackend, AHangUpFailsEveryTransferAndIsReportedOnce) {
    Pty pty;
    auto tty = OpenTty(pty.path);
    ASSERT_TRUE(tty);
    RemovalCounter removals(*tty);
    ReadTracker reads(*tty);
    auto blocked = reads.BeginRead(*tty);
    pty.Close();  // the other side goes away
    EXPECT_EQ(blocked.get(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(removals.Count(), 1);

    std::uint8_t buffer[16];
    std::size_t n = 0;
    EXPECT_EQ(tty->ReadPipe(kBulkInEndpoint, buffer, sizeof buffer, &n), STATUS_DEVICE_NOT_CONNECTED);
    ULONG written = 3;
    EXPECT_EQ(Write(*tty, "AT\r\n", &written), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(tty->ControlTransfer(ControlLineRequest(3), nullptr, 0, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(removals.Count(), 1);
}

TEST(TtyBackend, AWriteTheDeviceNeverTakesFailsAndReportsNothingWritten) {
    Pty pty;  // whose master side never reads while the write goes on
    auto tty = OpenTty(pty.path);
    ASSERT_TRUE(tty);
    RemovalCounter removals(*tty);

    const std::string big(1 << 20, 'A');
    ULONG written = 1;
    EXPECT_EQ(Write(*tty, big, &written), STATUS_IO_TIMEOUT);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(removals.Count(), 0);

    // The device is still there and takes the next command, after whatever
    // of the failed write had gone out already.
    // It may have to wait for room until the test reads what is queued.
    auto next = std::async(std::launch::async, [&] { return Write(*tty, "AT\r\n", &written); });
    const std::string after = ReadFd(pty.master, [](const std::string& t) { return t.ends_with('\n'); });
    EXPECT_EQ(next.get(), STATUS_SUCCESS);
    EXPECT_EQ(written, 4u);
    EXPECT_TRUE(after.ends_with("AT\r\n"));
    EXPECT_EQ(after.find_first_not_of('A'), after.size() - 3);
}

// --- against the modemsim program --------------------------------------------

struct Modemsim {
    pid_t pid = -1;
    int out = -1;

    explicit Modemsim(std::vector<std::string> args) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        std::string program = GNSS_MODEMSIM;
        std::vector<char*> argv{program.data()};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out = fds[0];
    }
    ~Modemsim() {
        Stop();
        ::close(out);
    }
    void Stop() {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

TEST(TtyBackendWithModemsim, ConversesWithTheSimulatedModemUntilItGoesAway) {
    Modemsim modemsim({"--pty", "--echo", "off"});
    ASSERT_GT(modemsim.pid, 0);
    std::string path = ReadFd(modemsim.out, [](const std::string& t) { return t.ends_with('\n'); });
    ASSERT_TRUE(path.starts_with("/dev/pts/")) << path;
    path.pop_back();

    std::string error;
    auto backend = fw::CreateUsbBackend("tty:" + path, error);
    ASSERT_TRUE(backend) << error;
    EXPECT_EQ(backend->Describe(), "tty:" + path);
    auto* tty = dynamic_cast<TtyUsbBackend*>(backend.get());
    ASSERT_NE(tty, nullptr);
    RemovalCounter removals(*tty);
    ReadTracker reads(*tty);

    ULONG transferred = 0;
    EXPECT_EQ(tty->ControlTransfer(ControlLineRequest(3), nullptr, 0, &transferred), STATUS_SUCCESS);
    ULONG written = 0;
    ASSERT_EQ(Write(*tty, "AT+CIMI\r\n", &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 9u);
    const Collected answer = ReadUntil(*tty, EndsWithOk());
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.text, "\r\n001010123456789\r\n\r\nOK\r\n");

    auto cancelled = reads.BeginRead(*tty);
    tty->CancelRead(kBulkInEndpoint);
    EXPECT_EQ(cancelled.get(), STATUS_CANCELLED);

    auto blocked = reads.BeginRead(*tty);
    modemsim.Stop();
    EXPECT_EQ(blocked.get(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(removals.Count(), 1);
    EXPECT_EQ(Write(*tty, "AT\r\n"), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(removals.Count(), 1);
}

}  // namespace
}  // namespace gnss::test
