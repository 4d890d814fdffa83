// gnssfeed's outputs in one process: consumers on a Unix socket, TCP and a
// pseudo-terminal, the consumer count that drives the session, the bound on a
// consumer that stops reading; and the command line.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "FeedOptions.h"
#include "Outputs.h"
#include "TempDir.h"

namespace gnss::feed {
namespace {

using namespace std::chrono_literals;

// The event loop on a thread of its own, ended with SIGUSR1 sent to it.
class Loop {
public:
    explicit Loop(Outputs& outputs) {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        Outputs::Hooks hooks;
        hooks.consumersChanged = [this](std::size_t count) {
            std::lock_guard guard(lock_);
            counts_.push_back(count);
            changed_.notify_all();
        };
        thread_ = std::thread([this, &outputs, hooks] { outputs.Run(signals_, 1000ms, hooks); });
    }
    ~Loop() {
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
    }
    // Waits until the consumer count is `count`; the counts seen so far.
    std::vector<std::size_t> WaitForCount(std::size_t count) {
        std::unique_lock guard(lock_);
        changed_.wait_for(guard, 10s, [&] { return !counts_.empty() && counts_.back() == count; });
        return counts_;
    }

private:
    sigset_t signals_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::size_t> counts_;
    std::thread thread_;
};

int ConnectUnix(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads until `text` has come (or 10 s passed); all that was read.
std::string ReadUntil(int fd, const std::string& text) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (got.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[65536];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

TEST(FeedOutputs, EveryConsumerGetsEveryBlockAndTheCountFollowsThem) {
    test::TempDir dir;
    Outputs outputs(65536);
    const std::string path = dir.File("nmea.sock");
    outputs.ListenUnix(path, 0600);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    Loop loop(outputs);
    const int a = ConnectUnix(path);
    ASSERT_GE(a, 0);
    loop.WaitForCount(1);
    const int b = ConnectUnix(path);
    loop.WaitForCount(2);
    outputs.Publish("$ONE\r\n");
    outputs.Publish("$TWO\r\n");
    EXPECT_EQ(ReadUntil(a, "$TWO\r\n"), "$ONE\r\n$TWO\r\n");
    EXPECT_EQ(ReadUntil(b, "$TWO\r\n"), "$ONE\r\n$TWO\r\n");
    ::close(a);
    loop.WaitForCount(1);
    ::close(b);
    EXPECT_EQ(loop.WaitForCount(0), (std::vector<std::size_t>{1, 2, 1, 0}));
}

TEST(FeedOutputs, AConsumerThatStopsReadingIsDroppedAndTheOtherKeepsEverything) {
    test::TempDir dir;
    Outputs outputs(8192);
    const std::string path = dir.File("nmea.sock");
    outputs.ListenUnix(path, 0600);
    Loop loop(outputs);
    const int reader = ConnectUnix(path);
    loop.WaitForCount(1);
    const int sleeper = ConnectUnix(path);
    loop.WaitForCount(2);

    // Blocks one at a time, each read by the reader before the next: the
    // sleeper's socket fills, then its buffer, then it goes.
    const std::string block(4000, 'x');
    std::size_t sent = 0;
    std::vector<std::size_t> counts;
    for (; sent < 2000; ++sent) {
        const std::string tagged = "$" + std::to_string(sent) + block + "\r\n";
        outputs.Publish(tagged);
        const std::string got = ReadUntil(reader, "\r\n");
        ASSERT_EQ(got, tagged) << "block " << sent;
        pollfd p{sleeper, POLLIN, 0};
        ::poll(&p, 1, 0);
        if (p.revents & POLLHUP) break;
    }
    EXPECT_LT(sent, 2000u) << "the consumer that never reads was never dropped";
    EXPECT_EQ(loop.WaitForCount(1).back(), 1u);
    ::close(sleeper);
    ::close(reader);
    loop.WaitForCount(0);
}

TEST(FeedOutputs, APseudoTerminalCountsWhileItIsOpenAndGetsOnlyFreshSentences) {
    test::TempDir dir;
    Outputs outputs(65536);
    const std::string link = dir.File("nmea0");
    outputs.OpenPty(link);
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    Loop loop(outputs);

    outputs.Publish("$STALE\r\n");  // nobody holds it open: not kept
    const int fd = ::open(link.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    loop.WaitForCount(1);
    outputs.Publish("$FRESH\r\n");
    // Raw mode: the sentence arrives byte for byte, CR LF included.
    EXPECT_EQ(ReadUntil(fd, "\r\n"), "$FRESH\r\n");
    ::close(fd);
    loop.WaitForCount(0);

    // A second program opening it later is a consumer again.
    const int again = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(again, 0);
    EXPECT_EQ(loop.WaitForCount(1), (std::vector<std::size_t>{1, 0, 1}));
    ::close(again);
    loop.WaitForCount(0);
}

TEST(FeedOutputs, TcpPortZeroTakesAFreePortThatConsumersReach) {
    Outputs outputs(65536);
    const std::string where = outputs.ListenTcp("127.0.0.1:0");
    ASSERT_EQ(where.rfind("127.0.0.1:", 0), 0u) << where;
    const int port = std::stoi(where.substr(where.find(':') + 1));
    ASSERT_GT(port, 0);
    // The port is taken now.
    Outputs other(65536);
    EXPECT_THROW(other.ListenTcp(where), SetupError);
    EXPECT_THROW(other.ListenTcp("127.0.0.1:notaport"), SetupError);
    EXPECT_THROW(other.ListenTcp("no.such.host.invalid:10110"), SetupError);

    Loop loop(outputs);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    loop.WaitForCount(1);
    outputs.Publish("$GNGGA\r\n");
    EXPECT_EQ(ReadUntil(fd, "\r\n"), "$GNGGA\r\n");
    ::close(fd);
    loop.WaitForCount(0);
}

TEST(FeedOutputs, SocketsAndLinksThatCannotBeTakenAreRefusedWithTheReason) {
    test::TempDir dir;
    // A live socket is another program's.
    const std::string live = dir.File("live.sock");
    Outputs first(65536);
    first.ListenUnix(live, 0600);
    Outputs second(65536);
    try {
        second.ListenUnix(live, 0600);
        ADD_FAILURE() << "a live socket was taken over";
    } catch (const SetupError& e) {
        EXPECT_NE(std::string(e.what()).find("another program serves this socket"), std::string::npos)
            << e.what();
    }
    // A stale one (no listener behind it) is replaced.
    const std::string stale = dir.File("stale.sock");
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        stale.copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    EXPECT_NO_THROW(second.ListenUnix(stale, 0600));
    // Files that are not ours to replace.
    const std::string plain = dir.File("plain");
    { std::FILE* f = std::fopen(plain.c_str(), "w"); std::fclose(f); }
    EXPECT_THROW(second.ListenUnix(plain, 0600), SetupError);
    EXPECT_THROW(second.OpenPty(plain), SetupError);
    EXPECT_TRUE(std::filesystem::is_regular_file(plain));
    EXPECT_THROW(second.OpenPty(dir.File("no/such/folder/nmea0")), SetupError);
}

TEST(FeedOutputs, TheSocketFilesAndLinksGoWithTheOutputs) {
    test::TempDir dir;
    const std::string path = dir.File("nmea.sock");
    const std::string link = dir.File("nmea0");
    {
        Outputs outputs(65536);
        outputs.ListenUnix(path, 0600);
        outputs.OpenPty(link);
        EXPECT_TRUE(std::filesystem::exists(path));
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

// --- the command line ---------------------------------------------------------------

FeedOptions Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "gnssfeed");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return ParseFeedOptions(static_cast<int>(argv.size()), argv.data(), "/run/gnss/gnss.sock");
}

TEST(FeedOptions, DefaultsAndEveryOption) {
    const FeedOptions d = Parse({});
    EXPECT_EQ(d.tcp, std::vector<std::string>{"127.0.0.1:10110"});
    EXPECT_EQ(d.socketPath, "/run/gnss/gnss.sock");
    EXPECT_EQ(d.interval, 1u);
    EXPECT_FALSE(d.always || d.locationOn || d.raw);

    const FeedOptions o = Parse({"--unix", "/run/a", "--pty=/run/b", "--pty", "/run/c", "--interval",
                                 "5", "--accuracy", "20", "--always", "--location-on", "--raw",
                                 "--buffer", "8192", "--unix-mode", "0666", "--socket", "/tmp/g"});
    EXPECT_TRUE(o.tcp.empty()) << "an output given: no default TCP output";
    EXPECT_EQ(o.unixPaths, std::vector<std::string>{"/run/a"});
    EXPECT_EQ(o.ptyLinks, (std::vector<std::string>{"/run/b", "/run/c"}));
    EXPECT_EQ(o.interval, 5u);
    EXPECT_EQ(o.accuracy, 20u);
    EXPECT_TRUE(o.always && o.locationOn && o.raw);
    EXPECT_EQ(o.buffer, 8192u);
    EXPECT_EQ(o.unixMode, 0666u);
    EXPECT_EQ(o.socketPath, "/tmp/g");
}

TEST(FeedOptions, BadCommandLinesSayWhatIsWrong) {
    const auto error = [](std::vector<std::string> args) -> std::string {
        try {
            Parse(std::move(args));
        } catch (const UsageError& e) {
            return e.what();
        }
        return "(accepted)";
    };
    EXPECT_EQ(error({"--interval", "0"}), "--interval needs a value from 1 to 3600, not '0'");
    EXPECT_EQ(error({"--interval", "1x"}), "--interval needs a number, not '1x'");
    EXPECT_EQ(error({"--interval"}), "--interval needs a value");
    EXPECT_EQ(error({"--tcp", "10110"}), "--tcp needs ADDRESS:PORT, not '10110'");
    EXPECT_EQ(error({"--unix-mode", "999"}), "--unix-mode needs a number, not '999'");
    EXPECT_EQ(error({"--raw=yes"}), "--raw takes no value");
    EXPECT_EQ(error({"--pty", ""}), "--pty needs a path");
    EXPECT_EQ(error({"--frobnicate"}), "unknown option '--frobnicate' (gnssfeed --help lists them)");
    EXPECT_EQ(error({"extra"}), "unexpected argument 'extra' (gnssfeed --help)");
}

}  // namespace
}  // namespace gnss::feed
