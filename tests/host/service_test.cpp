// gnssd as a system service: its log under the journal and after log
// rotation, its readiness to the service manager, and a socket shared with
// a group and named by GNSS_SOCKET.
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FrameClient.h"
#include "GnssdProcess.h"
#include "TempDir.h"

namespace gnss::host {
namespace {

using test::ReadFile;
using test::TempDir;

// The options of a daemon on `socket` in `dir`, without a log file.
std::vector<std::string> DaemonArgs(TempDir& dir, const std::string& socket) {
    return {GNSSD_PATH, "--foreground", "--modem", "loopback", "--socket", socket, "--driver",
            DRIVER_MODULE_PATH, "--nmea-log", dir.File("NmeaLog.txt"), "--ready-fd", "3"};
}

// Starts gnssd; true once it serves.  Standard error goes to `err`.
bool StartDaemon(const std::vector<std::string>& args, const std::string& socket, TempDir& dir,
                 const std::string& err, pid_t& pid) {
    const test::Spawned s = test::Spawn(args, dir.File("gnssd.out"), err, 3);
    pid = s.pid;
    const std::string line = test::ReadLine(s.pipeFd);
    ::close(s.pipeFd);
    return line == "READY " + socket;
}

int StopDaemon(pid_t pid) {
    ::kill(pid, SIGTERM);
    return test::WaitExit(pid);
}

// logrotate without copytruncate renames the file and sends SIGHUP.
TEST(GnssdLog, SighupReopensTheRotatedFileAndGnssdServesOn) {
    TempDir dir;
    test::GnssdProcess gnssd(dir);
    ASSERT_TRUE(gnssd.Start("loopback")) << gnssd.Stderr();
    const std::string rotated = gnssd.LogPath() + ".1";
    std::filesystem::rename(gnssd.LogPath(), rotated);
    ::kill(gnssd.Pid(), SIGHUP);
    ASSERT_TRUE(gnssd.WaitForLog("SIGHUP: reopened the log file " + gnssd.LogPath()))
        << gnssd.Stderr();
    const std::string before = ReadFile(rotated);

    EXPECT_EQ(gnssd.Gnssctl({"info"}).status, 0);
    EXPECT_NE(gnssd.Log().find(": open"), std::string::npos) << gnssd.Log();
    EXPECT_EQ(ReadFile(rotated), before) << "a line went to the rotated file";
    EXPECT_EQ(gnssd.Stop(), 0) << gnssd.Stderr();
}

// Under systemd standard error is the journal's stream, named by
// JOURNAL_STREAM: every line starts with its priority, and by default only
// errors and warnings come, without the data and AT traffic.
TEST(GnssdLog, UnderTheJournalEveryLineCarriesItsPriority) {
    TempDir dir;
    const std::string socket = dir.File("gnss.sock"), err = dir.File("gnssd.err");
    std::fclose(std::fopen(err.c_str(), "w"));
    struct stat st{};
    ASSERT_EQ(::stat(err.c_str(), &st), 0);
    const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    ASSERT_EQ(::setenv("JOURNAL_STREAM", stream.c_str(), 1), 0);
    pid_t pid = -1;
    ASSERT_TRUE(StartDaemon(DaemonArgs(dir, socket), socket, dir, err, pid)) << ReadFile(err);

    {
        // A frame that is no request: a warning, and that connection ends.
        test::FrameClient bad(socket);
        ASSERT_EQ(bad.ReadOpenResult(), std::optional<NTSTATUS>(STATUS_SUCCESS));
        ASSERT_TRUE(bad.SendBytes({1, 2, 3}));
        EXPECT_TRUE(bad.AtEnd());
    }
    ASSERT_TRUE(test::WaitForText(err, "<4>")) << ReadFile(err);
    const test::Spawned info = test::Spawn({GNSSCTL_PATH, "--socket", socket, "info"},
                                           dir.File("ctl.out"), dir.File("ctl.err"));
    EXPECT_EQ(test::WaitExit(info.pid), 0) << ReadFile(dir.File("ctl.err"));
    EXPECT_EQ(StopDaemon(pid), 0) << ReadFile(err);

    const auto lines = test::Lines(ReadFile(err));
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) {
        EXPECT_TRUE(line.size() > 3 && line[0] == '<' && line[2] == '>' &&
                    (line[1] == '3' || line[1] == '4'))
            << "not an error or warning with its priority: " << line;
        EXPECT_EQ(line.find(" L1 "), std::string::npos) << line;
    }
}

// Type=notify: systemd waits for READY=1, which must mean that the socket
// accepts, and hears STOPPING=1 when gnssd begins to stop.
TEST(GnssdService, TellsTheServiceManagerWhenItServesAndWhenItStops) {
    TempDir dir;
    const std::string notify = dir.File("notify"), socket = dir.File("gnss.sock");
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, notify.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::setenv("NOTIFY_SOCKET", notify.c_str(), 1), 0);
    const auto receive = [fd] {
        char buffer[512];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        return n < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
    };

    pid_t pid = -1;
    ASSERT_TRUE(StartDaemon(DaemonArgs(dir, socket), socket, dir, dir.File("gnssd.err"), pid));
    EXPECT_EQ(receive(), "READY=1\nSTATUS=serving " + socket);
    test::FrameClient client(socket);  // serving indeed
    EXPECT_EQ(client.ReadOpenResult(), std::optional<NTSTATUS>(STATUS_SUCCESS));
    client.Close();
    ::kill(pid, SIGTERM);
    EXPECT_EQ(receive(), "STOPPING=1");
    EXPECT_EQ(test::WaitExit(pid), 0) << ReadFile(dir.File("gnssd.err"));
    ::close(fd);
}

// The system's gnssd shares its socket with a group; a member connects
// without naming the socket, through GNSS_SOCKET, which gnssd takes too.
TEST(GnssdService, ASocketGroupLetsItsMembersInThroughGnssSocket) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the test plays a member of the socket's group (nobody)";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    const std::string folder = dir.File("run"), socket = folder + "/gnss.sock";
    const gid_t nogroup = 65534;
    const group* entry = ::getgrgid(nogroup);
    ASSERT_NE(entry, nullptr) << "no group 65534 here";
    ASSERT_EQ(::setenv("GNSS_SOCKET", socket.c_str(), 1), 0);
    std::vector<std::string> args = DaemonArgs(dir, socket);
    args.erase(args.begin() + 4, args.begin() + 6);  // no --socket
    args.insert(args.end(), {"--socket-group", entry->gr_name});
    pid_t pid = -1;
    ASSERT_TRUE(StartDaemon(args, socket, dir, dir.File("gnssd.err"), pid))
        << ReadFile(dir.File("gnssd.err"));

    struct stat st{};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_EQ(st.st_gid, nogroup);
    ASSERT_EQ(::stat(socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, nogroup);

    const pid_t member = ::fork();
    if (member == 0) {
        const gid_t groups[] = {nogroup};
        if (::setgroups(1, groups) != 0 || ::setresgid(54321, 54321, 54321) != 0 ||
            ::setresuid(54321, 54321, 54321) != 0)
            ::_exit(126);
        ::execl(GNSSCTL_PATH, GNSSCTL_PATH, "info", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    EXPECT_EQ(test::WaitExit(member), 0);
    EXPECT_EQ(StopDaemon(pid), 0) << ReadFile(dir.File("gnssd.err"));
}

}  // namespace
}  // namespace gnss::host
