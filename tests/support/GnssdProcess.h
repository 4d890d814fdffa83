// Whole-process test support: gnssd with the driver module and a modem
// back-end, gnssctl runs, and modemsim on a pseudo-terminal.
//
// The paths of the programs come from the test's CMake target:
//   target_compile_definitions(<t> PRIVATE GNSSD_PATH="$<TARGET_FILE:gnssd>"
//       GNSSCTL_PATH="$<TARGET_FILE:gnssctl>" MODEMSIM_PATH="$<TARGET_FILE:modemsim>"
//       DRIVER_MODULE_PATH="$<TARGET_FILE:veruzuvedazedeva>")
// Nothing here sleeps: starts wait on the daemon's ready pipe, runs on the
// child's exit, and log waits on the log file's growth (WaitForText, TempDir.h).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TempDir.h"

extern char** environ;

namespace gnss::test {

struct Spawned {
    pid_t pid = -1;
    int pipeFd = -1;  // read end of the pipe on descriptor `pipeTo`, or -1
};

// Starts `args` with standard output and error in files (empty: inherited)
// and, when pipeTo >= 0, a pipe whose write end is the child's descriptor
// `pipeTo` (1 to read the child's standard output).
inline Spawned Spawn(const std::vector<std::string>& args, const std::string& out,
                     const std::string& err, int pipeTo = -1) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!out.empty() && pipeTo != 1)
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!err.empty())
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int fds[2] = {-1, -1};
    if (pipeTo >= 0) {
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        posix_spawn_file_actions_adddup2(&actions, fds[1], pipeTo);
    }
    Spawned s;
    EXPECT_EQ(::posix_spawn(&s.pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeTo >= 0) {
        ::close(fds[1]);
        s.pipeFd = fds[0];
    }
    return s;
}

inline int WaitExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The command lines of a simulated modem's record (sim option record=FILE),
// in order: split at CR and LF, NUL bytes dropped, empty lines left out.
inline std::vector<std::string> RecordedCommands(const std::string& record) {
    std::vector<std::string> out;
    std::string line;
    for (const char c : record + "\r") {
        if (c != '\r' && c != '\n') {
            if (c != '\0') line += c;
            continue;
        }
        if (!line.empty()) out.push_back(line);
        line.clear();
    }
    return out;
}

// One line from the descriptor (without its newline); empty at its end.
inline std::string ReadLine(int fd) {
    std::string line;
    char c;
    for (;;) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == '\n') return line;
        line += c;
    }
}

struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};

// gnssd on a socket of its own in a temporary directory.
class GnssdProcess {
public:
    explicit GnssdProcess(TempDir& dir) : dir_(dir) {}
    ~GnssdProcess() {
        if (pid_ > 0) Stop();
    }

    // Starts gnssd with this --modem and extra options; true once it serves.
    bool Start(const std::string& modem, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {GNSSD_PATH, "--foreground", "--modem", modem, "--socket", socket_,
                                         "--driver", DRIVER_MODULE_PATH, "--log-level", "6", "--log-file",
                                         log_, "--nmea-log", dir_.File("NmeaLog.txt"), "--ready-fd", "3"};
        args.insert(args.end(), extra.begin(), extra.end());
        const Spawned s = Spawn(args, dir_.File("gnssd.out"), dir_.File("gnssd.err"), 3);
        pid_ = s.pid;
        const std::string line = ReadLine(s.pipeFd);
        ::close(s.pipeFd);
        return line == "READY " + socket_;
    }
    // Stops it with `signal`; its exit status.
    int Stop(int signal = SIGTERM) {
        ::kill(pid_, signal);
        const int status = WaitExit(pid_);
        pid_ = -1;
        return status;
    }
    CommandResult Gnssctl(std::vector<std::string> args) {
        args.insert(args.begin(), {GNSSCTL_PATH, "--socket", socket_});
        const std::string out = dir_.File("ctl.out"), err = dir_.File("ctl.err");
        const Spawned s = Spawn(args, out, err);
        const int status = WaitExit(s.pid);
        return {status, ReadFile(out), ReadFile(err)};
    }
    // Starts gnssctl without waiting (for listeners); standard output in `out`.
    Spawned GnssctlAsync(std::vector<std::string> args, const std::string& out) {
        args.insert(args.begin(), {GNSSCTL_PATH, "--socket", socket_});
        return Spawn(args, out, out + ".err");
    }
    std::string Log() const { return ReadFile(log_); }
    bool WaitForLog(const std::string& needle, std::size_t count = 1) const {
        return WaitForText(log_, needle, count);
    }
    const std::string& Socket() const { return socket_; }
    const std::string& LogPath() const { return log_; }
    pid_t Pid() const { return pid_; }
    std::string Stderr() const { return ReadFile(dir_.File("gnssd.err")); }

private:
    TempDir& dir_;
    std::string socket_ = dir_.File("gnss.sock");
    std::string log_ = dir_.File("gnssd.log");
    pid_t pid_ = -1;
};

#ifdef MODEMSIM_PATH
// modemsim serving a pseudo-terminal; Path() is the path it printed.  Its
// standard output goes to a file, so nothing it prints later can block it.
class ModemsimPty {
public:
    ModemsimPty(TempDir& dir, std::vector<std::string> options = {}) {
        const std::string out = dir.File("modemsim.out");
        std::vector<std::string> args = {MODEMSIM_PATH, "--pty"};
        args.insert(args.end(), options.begin(), options.end());
        pid_ = Spawn(args, out, dir.File("modemsim.err")).pid;
        if (WaitForText(out, "\n")) {
            const std::string text = ReadFile(out);
            path_ = text.substr(0, text.find('\n'));
        }
    }
    ~ModemsimPty() { Stop(); }
    int Stop() {
        if (pid_ <= 0) return -1;
        ::kill(pid_, SIGTERM);
        const int status = WaitExit(pid_);
        pid_ = -1;
        return status;
    }
    const std::string& Path() const { return path_; }

private:
    pid_t pid_ = -1;
    std::string path_;
};
#endif

}  // namespace gnss::test
