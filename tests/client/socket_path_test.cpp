// Which socket a client uses when not told, and what it says when the
// socket is there but not for this user.
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "TempDir.h"
#include "gnss/client/device.h"
#include "gnss/client/error.h"
#include "gnss/protocol/device_frame.h"

namespace gnss::client {
namespace {

using test::ReadFile;
using test::TempDir;

// A listening socket at `path` (nobody answers its connections: enough to
// be found and to be refused by permission).
int ListenAt(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(fd, 1), 0);
    return fd;
}

TEST(ClientSocketPath, TheVariableThenTheSystemSocketThenTheUsersOwn) {
    TempDir dir;
    const std::string system = dir.File("gnss.sock"), own = dir.File("own.sock");
    EXPECT_EQ(frame::ClientSocketPath(nullptr, system, own), own);  // no system gnssd
    std::ofstream(system) << "not a socket";
    EXPECT_EQ(frame::ClientSocketPath(nullptr, system, own), own);
    ::unlink(system.c_str());
    const int fd = ListenAt(system);
    EXPECT_EQ(frame::ClientSocketPath(nullptr, system, own), system);
    EXPECT_EQ(frame::ClientSocketPath("", system, own), system);  // set but empty: as unset
    EXPECT_EQ(frame::ClientSocketPath("/elsewhere/g.sock", system, own), "/elsewhere/g.sock");
    ::close(fd);

    ::setenv("GNSS_SOCKET", "/from/the/environment.sock", 1);
    EXPECT_EQ(Device::DefaultSocketPath(), "/from/the/environment.sock");
    ::unsetenv("GNSS_SOCKET");
}

// Runs Device::Open on `socket` as an ordinary user and returns its error.
// Root plays uid `uid` in a child; anybody else is refused by the socket's
// mode, and the test runs as it is.
std::string RefusalFor(const std::string& socket, uid_t uid) {
    const auto attempt = [&] {
        try {
            Device::Open(socket, std::chrono::milliseconds(1000));
        } catch (const ConnectionError& e) {
            return std::string(e.what());
        }
        return std::string("opened");
    };
    if (::geteuid() != 0) return attempt();
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
            ::setresuid(uid, uid, uid) != 0)
            ::_exit(126);
        const std::string what = attempt();
        ::_exit(::write(fds[1], what.data(), what.size()) == static_cast<ssize_t>(what.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string what;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        what.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
    return what;
}

TEST(DeviceOpen, PermissionDeniedNamesTheOwnerTheGroupAndWhatToDo) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    const std::string socket = dir.File("gnss.sock");
    const int fd = ListenAt(socket);
    const uid_t user = 54321;  // in no group of the socket's
    const std::string owner = std::string(::getpwuid(::geteuid())->pw_name);

    // A socket shared with a group: join the group.
    const gid_t group = ::geteuid() == 0 ? 65534 : ::getegid();
    const std::string groupName = ::getgrgid(group)->gr_name;
    ASSERT_EQ(::chown(socket.c_str(), static_cast<uid_t>(-1), group), 0);
    ASSERT_EQ(::chmod(socket.c_str(), ::geteuid() == 0 ? 0660 : 0), 0);
    std::string what = RefusalFor(socket, user);
    EXPECT_NE(what.find("cannot reach gnssd at " + socket + ": Permission denied (the socket "
                        "belongs to user " + owner + " and group " + groupName),
              std::string::npos)
        << what;
    EXPECT_NE(what.find("add yourself to group " + groupName), std::string::npos) << what;

    // The folder keeps the user out: it is what the message names.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chmod(dir.Path().c_str(), 0750), 0);
        what = RefusalFor(socket, user);
        EXPECT_NE(what.find("(its folder " + dir.Path().string() + " belongs to user root and "
                            "group root, mode 0750; only its owner may use it, unless gnssd "
                            "runs with --socket-group GROUP)"),
                  std::string::npos)
            << what;
    }
    ::close(fd);
}

}  // namespace
}  // namespace gnss::client
