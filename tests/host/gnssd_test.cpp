// Whole processes: gnssd with the driver module and the loopback back-end (or
// modemsim on a pseudo-terminal), driven through raw frames, the client
// library and gnssctl.
//
// A note on ordering: the daemon's loop handles ready connections in the
// order they became ready, so a request answered on one connection after
// another connection was closed proves that the close has been handled.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FrameClient.h"
#include "GnssdProcess.h"
#include "TempDir.h"
#include "gnss/client/device.h"
#include "gnss/client/requests.h"
#include "gnss/protocol/gnss_ddi.h"

extern char** environ;

namespace gnss::host {
namespace {

using test::FrameClient;
using Bytes = std::vector<std::uint8_t>;

struct Spawned {
    pid_t pid = -1;
    int readyFd = -1;  // read end of the --ready-fd pipe, or -1
};

// Starts `argv` with standard output and error in files, and (when
// `withReady`) a pipe on descriptor 3 for --ready-fd 3.
Spawned Spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err,
              bool withReady) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int pipeFds[2] = {-1, -1};
    if (withReady) {
        EXPECT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 3);
    }
    Spawned s;
    EXPECT_EQ(::posix_spawn(&s.pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    if (withReady) {
        ::close(pipeFds[1]);
        s.readyFd = pipeFds[0];
    }
    return s;
}

int WaitExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Everything written to the pipe until its writer closes it.
std::string ReadAll(int fd) {
    std::string text;
    char buf[256];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

struct CommandResult {
    int status;
    std::string out;
    std::string err;
};

// The resident set of a process, in KiB; -1 when it cannot be read.
long ResidentKiB(pid_t pid) {
    const std::string status = test::ReadFile("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

// The descriptor numbers a process has open.
std::set<int> OpenDescriptors(pid_t pid) {
    std::set<int> fds;
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return fds;
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') fds.insert(std::atoi(entry->d_name));
    ::closedir(dir);
    return fds;
}

class GnssdTest : public ::testing::Test {
protected:
    void SetUp() override { Start(); }

    void TearDown() override {
        if (daemon_ > 0) {
            ::kill(daemon_, SIGTERM);
            EXPECT_EQ(WaitExit(daemon_), 0) << test::ReadFile(dir_.File("gnssd.err"));
        }
    }

    std::vector<std::string> DaemonArgs() const {
        std::vector<std::string> args = {
            GNSSD_PATH, "--foreground",     "--modem",    "loopback", "--socket", socket_,
            "--driver", DRIVER_MODULE_PATH, "--log-file", log_,       "--nmea-log",
            dir_.File("nmea.txt"),
            // The tests read information lines, which the default level leaves out.
            "--log-level", "4"};
        args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
        return args;
    }

    void Start() {
        auto args = DaemonArgs();
        args.insert(args.end(), {"--ready-fd", "3"});
        const Spawned s = Spawn(args, dir_.File("gnssd.out"), dir_.File("gnssd.err"), true);
        daemon_ = s.pid;
        const std::string line = ReadAll(s.readyFd);
        ::close(s.readyFd);
        ASSERT_EQ(line, "READY " + socket_ + "\n") << test::ReadFile(dir_.File("gnssd.err"));
    }

    // Stops the daemon with `signal` and returns its exit status.
    int Stop(int signal = SIGTERM) {
        ::kill(daemon_, signal);
        const int status = WaitExit(daemon_);
        daemon_ = -1;
        return status;
    }

    CommandResult Gnssctl(std::vector<std::string> args) {
        args.insert(args.begin(), {GNSSCTL_PATH, "--socket", socket_});
        const Spawned s = Spawn(args, dir_.File("ctl.out"), dir_.File("ctl.err"), false);
        const int status = WaitExit(s.pid);
        return {status, test::ReadFile(dir_.File("ctl.out")), test::ReadFile(dir_.File("ctl.err"))};
    }

    std::unique_ptr<FrameClient> Open(NTSTATUS expected = STATUS_SUCCESS) {
        auto c = std::make_unique<FrameClient>(socket_);
        EXPECT_GE(c->fd(), 0);
        EXPECT_EQ(c->ReadOpenResult(), std::optional<NTSTATUS>(expected));
        return c;
    }

    // A request the driver answers at once: a device-capability request.
    static void RoundTrip(FrameClient& c, std::uint64_t tag) {
        ASSERT_TRUE(c.SendControl(tag, IOCTL_GNSS_GET_DEVICE_CAPABILITY, {}, 604));
        const auto done = c.ReadCompletion();
        ASSERT_TRUE(done.has_value());
        EXPECT_EQ(done->tag, tag);
        EXPECT_EQ(done->status, STATUS_SUCCESS);
        EXPECT_EQ(done->information, 604u);
        EXPECT_EQ(done->output.size(), 604u);
    }

    test::TempDir dir_;
    std::string socket_ = dir_.File("gnss.sock");
    std::string log_ = dir_.File("gnssd.log");
    std::vector<std::string> extraArgs_;  // set by a derived fixture's constructor
    pid_t daemon_ = -1;
};

TEST_F(GnssdTest, InfoAndCommandsEndToEnd) {
    const auto info = Gnssctl({"info"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("SupportContinuousTracking           yes\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("SupportDistanceTracking             no\n"), std::string::npos);
    EXPECT_NE(info.out.find("AgnssFormatSupported                0x00000000\n"), std::string::npos);
    EXPECT_NE(info.out.find("MaxGnssBreadCrumbFixes              0\n"), std::string::npos);
    EXPECT_NE(info.out.find("SupportedSuplVersion.MajorVersion   2\n"), std::string::npos);
    EXPECT_NE(info.out.find("ManufacturerID                      Tavrin\n"), std::string::npos);
    EXPECT_NE(info.out.find("HardwareID                          RXA 7300\n"), std::string::npos);
    EXPECT_NE(info.out.find("FirmwareVersion                     1.0.0.1\n"), std::string::npos);

    const auto json = Gnssctl({"info", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out.find("{\"capability\":{\"Size\":604,\"Version\":3,"), 0u) << json.out;
    EXPECT_NE(json.out.find("\"SupportSuplV2\":true,\"SupportedSuplVersion\":{\"MajorVersion\":2,"
                            "\"MinorVersion\":0},\"MaxGeofencesSupported\":0,"),
              std::string::npos);
    EXPECT_NE(json.out.find("\"chipset\":{\"Size\":660,\"Version\":3,\"ManufacturerID\":\"Tavrin\","
                            "\"HardwareID\":\"RXA 7300\",\"FirmwareVersion\":\"1.0.0.1\"}}\n"),
              std::string::npos);

    const auto command = Gnssctl({"command", "SetLocationServiceEnabled", "1"});
    EXPECT_EQ(command.status, 0) << command.err;
    const auto unknown = Gnssctl({"command", "5"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err, "gnssctl: STATUS_NOT_SUPPORTED (0xC00000BB)\n");
    const auto raw = Gnssctl({"raw", "GET_CHIPSETINFO", "--out", "660"});
    EXPECT_EQ(raw.status, 0) << raw.err;
    EXPECT_NE(raw.out.find("information: 660\n"), std::string::npos) << raw.out;
    const auto small = Gnssctl({"raw", "GET_DEVICE_CAPABILITY", "--out", "603"});
    EXPECT_EQ(small.status, 1);
    EXPECT_NE(small.err.find("STATUS_"), std::string::npos) << small.err;
}

TEST_F(GnssdTest, AFourthOpenIsRefusedWhileThreeAreHeld) {
    auto a = Open();
    auto b = Open();
    auto c = Open();
    auto fourth = Open(STATUS_NOT_SUPPORTED);
    const auto why = fourth->ReadCompletion();  // gnssd's status, for the client's message
    ASSERT_TRUE(why.has_value());
    EXPECT_EQ(why->tag, 0u);
    EXPECT_EQ(std::string(why->output.begin(), why->output.end()).rfind("connections 4\n", 0), 0u);
    EXPECT_TRUE(fourth->AtEnd());
    const auto refused = Gnssctl({"info"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err,
              "gnssctl: gnssd admits three clients at a time (the driver's limit) and three are "
              "connected; try again once one of them has ended: STATUS_NOT_SUPPORTED "
              "(0xC00000BB)\n");
    RoundTrip(*a, 1);

    b->Close();
    RoundTrip(*a, 2);  // the daemon has handled b's end
    auto d = Open();
    RoundTrip(*d, 3);
}

TEST_F(GnssdTest, AClientThatParksListenersAndLeavesFreesItsSlot) {
    {
        auto a = Open();
        auto b = Open();
        auto c = Open();
        std::uint64_t tag = 10;
        for (std::uint32_t code : {IOCTL_GNSS_LISTEN_NI, IOCTL_GNSS_LISTEN_ERROR, IOCTL_GNSS_LISTEN_AGNSS,
                                   IOCTL_GNSS_LISTEN_DRIVER_REQUEST})
            ASSERT_TRUE(c->SendControl(tag++, code, {}, sizeof(GNSS_EVENT)));
        RoundTrip(*c, 99);  // dispatched after the four: they are parked now
        c->Close();
        RoundTrip(*a, 1);
        auto again = Open();  // c's slot is free
        RoundTrip(*again, 2);
    }
    // Every connection above has ended: all three slots are free.
    auto x = Open();
    auto y = Open();
    auto z = Open();
    RoundTrip(*z, 3);
    EXPECT_EQ(Stop(), 0);
    EXPECT_NE(test::ReadFile(log_).find("cancelling 4 request(s) and closing"), std::string::npos);
}

TEST_F(GnssdTest, CancelByTagCompletesWithCancelled) {
    auto c = Open();
    ASSERT_TRUE(c->SendControl(10, IOCTL_GNSS_LISTEN_NI, {}, sizeof(GNSS_EVENT)));
    ASSERT_TRUE(c->SendControl(11, IOCTL_GNSS_LISTEN_ERROR, {}, sizeof(GNSS_EVENT)));
    RoundTrip(*c, 12);
    ASSERT_TRUE(c->SendCancel(11));
    auto done = c->ReadCompletion();
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->tag, 11u);
    EXPECT_EQ(done->status, STATUS_CANCELLED);
    ASSERT_TRUE(c->SendCancel(10));
    done = c->ReadCompletion();
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->tag, 10u);
    EXPECT_EQ(done->status, STATUS_CANCELLED);
    // The tags are free again; a cancel of a completed tag changes nothing.
    ASSERT_TRUE(c->SendCancel(10));
    RoundTrip(*c, 10);

    // The same through the client library.
    auto device = client::Device::Open(socket_);
    std::promise<client::Completion> parked;
    const client::Tag tag = device->ControlAsync(
        IOCTL_GNSS_LISTEN_DRIVER_REQUEST, {}, sizeof(GNSS_EVENT),
        [&](client::Completion&& c) { parked.set_value(std::move(c)); });
    client::GetDeviceCapability(*device);
    EXPECT_TRUE(device->Cancel(tag));
    EXPECT_EQ(parked.get_future().get().status, STATUS_CANCELLED);
}

TEST_F(GnssdTest, TwoClientsAtOnce) {
    auto raw = Open();
    auto device = client::Device::Open(socket_);
    ASSERT_TRUE(raw->SendControl(1, IOCTL_GNSS_LISTEN_NI, {}, sizeof(GNSS_EVENT)));
    // The other client is served while this one's listener waits.
    const auto chipset = client::GetChipsetInfo(*device);
    EXPECT_EQ(chipset.manufacturerId, "Tavrin");
    RoundTrip(*raw, 2);
    const auto capability = client::GetDeviceCapability(*device);
    EXPECT_EQ(capability.SupportContinuousTracking, 1);
    ASSERT_TRUE(raw->SendCancel(1));
    const auto done = raw->ReadCompletion();
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->tag, 1u);
    EXPECT_EQ(done->status, STATUS_CANCELLED);
}

TEST_F(GnssdTest, MalformedFramesEndOnlyTheirConnection) {
    const auto header = [](std::uint16_t version, std::uint16_t type, std::uint32_t in,
                           std::uint32_t out, std::uint32_t reserved) {
        frame::RequestHeader h{{frame::kFrameMagic, version, type}, 5,
                               IOCTL_GNSS_GET_DEVICE_CAPABILITY, in, out, reserved};
        Bytes b(sizeof h + in);
        std::memcpy(b.data(), &h, sizeof h);
        return b;
    };
    Bytes badMagic = header(1, 1, 0, 604, 0);
    badMagic[0] = 'X';
    Bytes truncated = header(1, 1, 0, 604, 0);
    truncated.resize(20);
    Bytes inconsistent = header(1, 1, 8, 604, 0);
    inconsistent.resize(inconsistent.size() - 3);
    const std::vector<std::pair<Bytes, const char*>> cases = {
        {truncated, "short frame"},
        {header(1, 1, frame::kMaxInputLength + 1, 0, 0), "oversized frame"},
        {badMagic, "wrong magic"},
        {header(2, 1, 0, 604, 0), "wrong protocol version"},
        {header(1, 7, 0, 604, 0), "unknown frame type"},
        {inconsistent, "inconsistent lengths"},
        {header(1, 1, 0, 604, 1), "reserved field not zero"},
        {Bytes{}, "short frame"},  // an empty frame, not the end of the connection
    };
    auto bystander = Open();
    ASSERT_TRUE(bystander->SendControl(1000, IOCTL_GNSS_LISTEN_NI, {}, sizeof(GNSS_EVENT)));
    std::uint64_t tag = 1;
    for (const auto& [bytes, text] : cases) {
        SCOPED_TRACE(text);
        auto bad = Open();
        ASSERT_TRUE(bad->SendBytes(bytes));
        EXPECT_TRUE(bad->AtEnd());
        RoundTrip(*bystander, tag++);
    }
    {
        auto duplicate = Open();
        ASSERT_TRUE(duplicate->SendControl(5, IOCTL_GNSS_LISTEN_ERROR, {}, sizeof(GNSS_EVENT)));
        ASSERT_TRUE(duplicate->SendControl(5, IOCTL_GNSS_LISTEN_ERROR, {}, sizeof(GNSS_EVENT)));
        EXPECT_TRUE(duplicate->AtEnd());
    }
    RoundTrip(*bystander, tag++);
    // Nothing leaked: two more opens fit beside the bystander, its listener still waits.
    auto second = Open();
    auto third = Open();
    ASSERT_TRUE(bystander->SendCancel(1000));
    const auto done = bystander->ReadCompletion();
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->tag, 1000u);
    EXPECT_EQ(done->status, STATUS_CANCELLED);

    EXPECT_EQ(Stop(), 0);
    const std::string log = test::ReadFile(log_);
    for (const auto& [bytes, text] : cases) EXPECT_NE(log.find(text), std::string::npos) << text;
    EXPECT_EQ(test::CountOccurrences(log, ": short frame;"), 2u) << log;
    EXPECT_NE(log.find("duplicate outstanding tag"), std::string::npos);
}

TEST_F(GnssdTest, ACloseAndAnImmediateReopenIsNeverRefused) {
    auto a = Open();
    auto b = Open();
    int refused = 0;
    for (int i = 0; i < 1000; ++i) {
        FrameClient c(socket_);
        ASSERT_GE(c.fd(), 0);
        const auto status = c.ReadOpenResult();
        ASSERT_TRUE(status.has_value());
        if (*status != STATUS_SUCCESS) ++refused;
    }  // each one closes here, and the next one opens at once
    EXPECT_EQ(refused, 0);
    RoundTrip(*a, 1);
}

TEST_F(GnssdTest, OutOfDescriptorsTheDaemonPausesAcceptingSaysSoOnceAndRecovers) {
    auto a = Open();
    RoundTrip(*a, 1);
    // Leave the daemon exactly one free descriptor number below its limit.
    const std::set<int> open = OpenDescriptors(daemon_);
    ASSERT_FALSE(open.empty());
    int free = 0;
    while (open.count(free) != 0) ++free;
    int limit = free + 1;
    while (open.count(limit) != 0) ++limit;
    rlimit old{};
    ASSERT_EQ(::prlimit(daemon_, RLIMIT_NOFILE, nullptr, &old), 0);
    const rlimit lowered{static_cast<rlim_t>(limit), old.rlim_max};
    ASSERT_EQ(::prlimit(daemon_, RLIMIT_NOFILE, &lowered, nullptr), 0);

    auto b = Open();  // the last free descriptor
    FrameClient waiting(socket_);  // connected, but not accepted yet
    ASSERT_GE(waiting.fd(), 0);
    ASSERT_TRUE(test::WaitForText(log_, "accept: Too many open files"));
    RoundTrip(*a, 2);  // the daemon serves on meanwhile
    RoundTrip(*b, 3);
    b->Close();  // frees a descriptor: the waiting connection is taken
    EXPECT_EQ(waiting.ReadOpenResult(), std::optional<NTSTATUS>(STATUS_SUCCESS));
    RoundTrip(waiting, 4);
    RoundTrip(*a, 5);

    const std::string log = test::ReadFile(log_);
    EXPECT_EQ(test::CountOccurrences(log, "accept: Too many open files"), 1u) << log;
    EXPECT_NE(log.find("accepting connections again"), std::string::npos);
}

TEST_F(GnssdTest, ClientsParkingLargeBuffersAreCutOffAndTheMemoryComesBack) {
    // The sanitizers' allocators keep what is freed (quarantine, shadow
    // memory): there only the bounds are checked, without one the return too.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr long kAfterSlackKiB = 32 * 1024;
#else
    constexpr long kAfterSlackKiB = 256;
#endif
    auto probe = Open();
    RoundTrip(*probe, 1);
    const long before = ResidentKiB(daemon_);
    ASSERT_GT(before, 0);

    // Two clients each try to park 1024 listeners with 64 KiB of input and
    // output: 256 MiB in all if nothing stops them.
    const Bytes input(frame::kMaxInputLength, 0x5A);
    std::vector<std::unique_ptr<FrameClient>> clients;
    for (int i = 0; i < 2; ++i) clients.push_back(Open());
    for (auto& c : clients)
        for (std::uint64_t tag = 1; tag <= 1024; ++tag)
            if (!c->SendControl(tag, IOCTL_GNSS_LISTEN_NI, input, frame::kMaxOutputLength)) break;
    // Each is either cut off or has everything parked (its next request is
    // answered after all of them).
    for (auto& c : clients)
        if (c->SendControl(2000, IOCTL_GNSS_GET_DEVICE_CAPABILITY, {}, 604)) c->ReadCompletion();
    RoundTrip(*probe, 2);
    const long during = ResidentKiB(daemon_);
    EXPECT_LT(during - before, 64 * 1024) << "KiB before " << before << ", during " << during;

    // Everybody leaves; the next open is answered after their ends.
    clients.clear();
    probe.reset();
    auto next = Open();
    RoundTrip(*next, 3);
    const long after = ResidentKiB(daemon_);
    EXPECT_LT(after - before, kAfterSlackKiB) << "KiB before " << before << ", after " << after;
    EXPECT_EQ(test::CountOccurrences(test::ReadFile(log_),
                                     "outstanding request buffers over 1048576 bytes"),
              2u);
}

TEST_F(GnssdTest, SigtermCompletesParkedRequestsWithCancelledBeforeExiting) {
    auto a = Open();
    auto b = Open();
    ASSERT_TRUE(a->SendControl(1, IOCTL_GNSS_LISTEN_NI, {}, sizeof(GNSS_EVENT)));
    ASSERT_TRUE(a->SendControl(2, IOCTL_GNSS_LISTEN_AGNSS, {}, sizeof(GNSS_EVENT)));
    ASSERT_TRUE(b->SendControl(3, IOCTL_GNSS_LISTEN_DRIVER_REQUEST, {}, sizeof(GNSS_EVENT)));
    RoundTrip(*a, 4);
    RoundTrip(*b, 5);

    ::kill(daemon_, SIGUSR1);  // taken before the SIGTERM (lower number)
    ::kill(daemon_, SIGTERM);
    std::set<std::uint64_t> cancelled;
    for (FrameClient* c : {a.get(), a.get(), b.get()}) {
        const auto done = c->ReadCompletion();
        ASSERT_TRUE(done.has_value());
        EXPECT_EQ(done->status, STATUS_CANCELLED);
        cancelled.insert(done->tag);
    }
    EXPECT_EQ(cancelled, (std::set<std::uint64_t>{1, 2, 3}));
    EXPECT_TRUE(a->AtEnd());
    EXPECT_TRUE(b->AtEnd());
    EXPECT_EQ(WaitExit(daemon_), 0);
    daemon_ = -1;
    EXPECT_NE(::access(socket_.c_str(), F_OK), 0) << "the socket file is left";

    const std::string log = test::ReadFile(log_);
    const auto begin = log.find("----- in-flight recorder: begin -----");
    ASSERT_NE(begin, std::string::npos);
    EXPECT_NE(log.find("GNSSDriverEvtDeviceAdd", begin), std::string::npos);
    EXPECT_NE(log.find("GNSSDriverEvtDriverUnload"), std::string::npos);
}

TEST_F(GnssdTest, ASecondDaemonOnTheSameSocketRefusesToStart) {
    const Spawned s = Spawn(DaemonArgs(), dir_.File("second.out"), dir_.File("second.err"), false);
    EXPECT_EQ(WaitExit(s.pid), 1);
    EXPECT_EQ(test::ReadFile(dir_.File("second.err")), "gnssd: another gnssd (pid " +
                                                           std::to_string(daemon_) + ") serves " +
                                                           socket_ + "\n");
    auto c = Open();  // the first one serves on
    RoundTrip(*c, 1);
}

// The modem of a daemon is its own: a second daemon started on the same
// socket with the same serial device must not open it (as root the open
// would pass the exclusive flag, and the second daemon's clean-up would clear
// the flag and its set-up flush the first one's unread input).
TEST(GnssdOnATty, ASecondDaemonLeavesTheFirstOnesModemAlone) {
    test::TempDir dir;
    const std::string record = dir.File("modem.bin");
    test::ModemsimPty modem(dir, {"--record", record});
    ASSERT_FALSE(modem.Path().empty());
    test::GnssdProcess first(dir);
    ASSERT_TRUE(first.Start("tty:" + modem.Path())) << first.Stderr();

    const std::string err = dir.File("second.err");
    const test::Spawned second = test::Spawn(
        {GNSSD_PATH, "--foreground", "--modem", "tty:" + modem.Path(), "--socket", first.Socket(),
         "--driver", DRIVER_MODULE_PATH, "--log-file", dir.File("second.log")},
        dir.File("second.out"), err);
    EXPECT_EQ(test::WaitExit(second.pid), 1);
    EXPECT_EQ(test::ReadFile(err), "gnssd: another gnssd (pid " + std::to_string(first.Pid()) +
                                       ") serves " + first.Socket() + "\n");
    EXPECT_FALSE(std::filesystem::exists(dir.File("second.log")));

    // Nothing reached the modem, and the first daemon's open is still exclusive:
    // a user's open is refused; root's passes, and the flag shows on it.
    EXPECT_EQ(test::ReadFile(record), "");
    const int fd = ::open(modem.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        EXPECT_EQ(errno, EBUSY) << std::strerror(errno);
    } else {
        int exclusive = 0;
        EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0) << std::strerror(errno);
        EXPECT_NE(exclusive, 0) << "the exclusive-open flag of " << modem.Path() << " was cleared";
        ::close(fd);
    }
    const auto info = first.Gnssctl({"info"});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(first.Stop(), 0);
}

// Without its modem gnssd refuses opens and says what it waits for.
TEST(GnssdOnATty, WithoutItsModemAnOpenIsRefusedWithWhatGnssdWaitsFor) {
    test::TempDir dir;
    test::ModemsimPty modem(dir);
    ASSERT_FALSE(modem.Path().empty());
    test::GnssdProcess gnssd(dir);
    ASSERT_TRUE(gnssd.Start("tty:" + modem.Path())) << gnssd.Stderr();
    const auto status = gnssd.Gnssctl({"status"});
    EXPECT_NE(status.out.find("\nModem             attached\n"), std::string::npos) << status.out;

    modem.Stop();  // the pseudo-terminal goes with it
    ASSERT_TRUE(gnssd.WaitForLog("device removed: waiting for the modem")) << gnssd.Log();
    const auto refused = gnssd.Gnssctl({"status"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "gnssctl: no modem attached: gnssd is waiting for " + modem.Path() +
                               ": STATUS_NO_SUCH_DEVICE (0xC000000E)\n");
    EXPECT_EQ(gnssd.Stop(), 0);
}

// gnssd with a log size cap, writing the lines of level 5 too.
class GnssdWithALogCapTest : public GnssdTest {
protected:
    static constexpr std::uintmax_t kCap = 16 * 1024;
    GnssdWithALogCapTest() { extraArgs_ = {"--log-max-size", "16K", "--log-level", "5"}; }
};

TEST_F(GnssdWithALogCapTest, AClientsRepeatedLinesAreCountedNotWritten) {
    auto c = Open();
    constexpr std::size_t kCancels = 1000;
    for (std::size_t i = 0; i < kCancels; ++i) ASSERT_TRUE(c->SendCancel(77));
    RoundTrip(*c, 1);  // the daemon has handled every cancel before
    EXPECT_EQ(Stop(), 0);

    // Each run of the line (another thread's line may end one) is written
    // once, and the count that follows it holds the rest.
    const std::string repeated = "connection 1: cancel of tag 77, not outstanding";
    const std::string count = "last message repeated ";
    std::istringstream log(test::ReadFile(log_ + ".1") + test::ReadFile(log_));
    std::size_t written = 0, counted = 0;
    bool inRun = false;
    for (std::string line; std::getline(log, line);) {
        if (line.find(repeated) != std::string::npos) {
            ++written;
            inRun = true;
        } else if (const auto at = line.find(count); at != std::string::npos) {
            if (inRun) counted += std::stoul(line.substr(at + count.size()));
        } else {
            inRun = false;
        }
    }
    EXPECT_EQ(written + counted, kCancels);
    EXPECT_LE(written, kCancels / 10) << "the repeated line was written " << written << " times";
}

TEST_F(GnssdWithALogCapTest, ABusyClientKeepsTheLogWithinTwiceTheCap) {
    {
        auto c = Open();
        for (std::uint64_t tag = 1; tag <= 200; ++tag) RoundTrip(*c, tag);  // about 100 KB of lines
    }
    EXPECT_EQ(Stop(), 0);
    EXPECT_LE(std::filesystem::file_size(log_), kCap);
    EXPECT_LE(std::filesystem::file_size(log_ + ".1"), kCap);
    EXPECT_GT(std::filesystem::file_size(log_ + ".1"), kCap / 2);
    EXPECT_FALSE(std::filesystem::exists(log_ + ".2"));
    const std::string last = "Serve driver unloaded; exiting\n";
    const std::string log = test::ReadFile(log_);
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last);
}

// Runs `args` as user `uid` (with its group, without supplementary groups)
// and XDG_RUNTIME_DIR=runtimeDir, standard output and error in files, and
// (with `withReady`) a pipe on descriptor 3.
Spawned SpawnAsUser(uid_t uid, const std::string& runtimeDir, const std::vector<std::string>& args,
                    const std::string& out, const std::string& err, bool withReady) {
    std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + runtimeDir};
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0) env.emplace_back(*e);
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    if (withReady) {
        EXPECT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    }
    Spawned s;
    s.pid = ::fork();
    if (s.pid == 0) {
        // The child: only calls that are safe after fork.
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) ::_exit(126);
        if (withReady && ::dup2(pipeFds[1], 3) < 0) ::_exit(126);
        if (uid != ::geteuid() &&
            (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
             ::setresuid(uid, uid, uid) != 0))
            ::_exit(126);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    EXPECT_GT(s.pid, 0);
    if (withReady) {
        ::close(pipeFds[1]);
        s.readyFd = pipeFds[0];
    }
    return s;
}

// The user's default socket lives in a folder of the user's own; gnssd and
// gnssctl refuse one that others may enter, where another user could have
// put a socket of theirs in its place.
TEST(GnssdSocketFolder, AUserFolderOthersCanEnterIsRefusedByDaemonAndClient) {
    test::TempDir dir;
    // Run as root, the test plays an ordinary user (nobody), who must reach the folder.
    const uid_t user = ::geteuid() == 0 ? 65534 : ::geteuid();
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0711), 0);
    const std::string folder = dir.File("run");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chown(folder.c_str(), user, user), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    const std::vector<std::string> daemon = {
        GNSSD_PATH, "--foreground", "--modem",    "loopback",           "--driver",
        DRIVER_MODULE_PATH,         "--log-file", folder + "/gnssd.log", "--nmea-log",
        folder + "/nmea.txt",       "--ready-fd", "3"};
    const std::string out = dir.File("out"), err = dir.File("err");
    const std::string refusal = "the socket folder " + folder +
                                " is open to group or others (mode 0755; it must be 0700)";

    Spawned s = SpawnAsUser(user, folder, daemon, out, err, true);
    const std::string refused = ReadAll(s.readyFd);
    ::close(s.readyFd);
    if (!refused.empty()) ::kill(s.pid, SIGTERM);
    EXPECT_EQ(refused, "");
    EXPECT_EQ(WaitExit(s.pid), 1);
    EXPECT_EQ(test::ReadFile(err), "gnssd: " + refusal + "\n");
    EXPECT_FALSE(std::filesystem::exists(folder + "/gnss.sock"));
    s = SpawnAsUser(user, folder, {GNSSCTL_PATH, "info"}, out, err, false);
    EXPECT_EQ(WaitExit(s.pid), 3);
    EXPECT_NE(test::ReadFile(err).find(refusal), std::string::npos) << test::ReadFile(err);

    ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
    const Spawned served = SpawnAsUser(user, folder, daemon, dir.File("gnssd.out"),
                                       dir.File("gnssd.err"), true);
    const std::string ready = ReadAll(served.readyFd);
    ::close(served.readyFd);
    EXPECT_EQ(ready, "READY " + folder + "/gnss.sock\n") << test::ReadFile(dir.File("gnssd.err"));
    s = SpawnAsUser(user, folder, {GNSSCTL_PATH, "info"}, out, err, false);
    EXPECT_EQ(WaitExit(s.pid), 0) << test::ReadFile(err);
    ::kill(served.pid, SIGTERM);
    EXPECT_EQ(WaitExit(served.pid), 0) << test::ReadFile(dir.File("gnssd.err"));
}

TEST(Gnssd, OptionErrorsAndAMissingModuleFailToStart) {
    test::TempDir dir;
    const auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), GNSSD_PATH);
        const Spawned s = Spawn(args, dir.File("out"), dir.File("err"), false);
        return WaitExit(s.pid);
    };
    EXPECT_EQ(run({"--help"}), 0);
    EXPECT_NE(test::ReadFile(dir.File("out")).find("--ready-fd N"), std::string::npos);
    EXPECT_NE(test::ReadFile(dir.File("out")).find("--log-max-size SIZE"), std::string::npos);
    EXPECT_EQ(run({"--modem", "bogus"}), 2);
    EXPECT_NE(test::ReadFile(dir.File("err")).find("unknown modem back-end 'bogus'"), std::string::npos);
    EXPECT_EQ(run({"--modem", "usb:nothing"}), 2);
    EXPECT_NE(test::ReadFile(dir.File("err")).find("usb: expects VID:PID"), std::string::npos);
    EXPECT_EQ(run({"--log-level", "9"}), 2);
    EXPECT_EQ(run({"--log-file", dir.File("log"), "--log-max-size", "3K"}), 2);
    EXPECT_NE(test::ReadFile(dir.File("err")).find("at least 4K, such as 10M, not '3K'"),
              std::string::npos);
    EXPECT_EQ(run({"--log-file", dir.File("log"), "--log-max-size", "10X"}), 2);
    EXPECT_EQ(run({"--log-max-size", "10M"}), 2);
    EXPECT_NE(test::ReadFile(dir.File("err")).find("--log-max-size needs --log-file"),
              std::string::npos);
    EXPECT_EQ(run({"--foreground", "--socket", dir.File("s.sock"), "--driver", dir.File("none.so")}), 1);
    EXPECT_NE(test::ReadFile(dir.File("err")).find("cannot load the driver module"), std::string::npos);
}

TEST(Gnssd, WithoutForegroundTheStarterExitsOnceTheDaemonServes) {
    test::TempDir dir;
    const std::string socket = dir.File("gnss.sock");
    const Spawned starter = Spawn({GNSSD_PATH, "--modem", "loopback", "--socket", socket, "--driver",
                                   DRIVER_MODULE_PATH, "--log-file", dir.File("log"), "--nmea-log",
                                   dir.File("nmea.txt")},
                                  dir.File("out"), dir.File("err"), false);
    ASSERT_EQ(WaitExit(starter.pid), 0) << test::ReadFile(dir.File("err"));

    // The daemon serves already; its process id comes with the connection.
    FrameClient c(socket);
    ASSERT_GE(c.fd(), 0);
    EXPECT_EQ(c.ReadOpenResult(), std::optional<NTSTATUS>(STATUS_SUCCESS));
    ucred peer{};
    socklen_t length = sizeof peer;
    ASSERT_EQ(::getsockopt(c.fd(), SOL_SOCKET, SO_PEERCRED, &peer, &length), 0);
    ASSERT_NE(peer.pid, starter.pid);
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, peer.pid, 0));
    if (pidfd < 0) {
        ::kill(peer.pid, SIGTERM);
        GTEST_SKIP() << "no pidfd_open here: cannot wait for the daemon's exit";
    }
    ::kill(peer.pid, SIGTERM);
    EXPECT_TRUE(c.AtEnd());
    pollfd p{pidfd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, -1), 1);  // readable once the daemon has exited
    ::close(pidfd);
    EXPECT_NE(::access(socket.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace gnss::host
