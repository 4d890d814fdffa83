#include "SocketClaim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "gnss/protocol/device_frame.h"

namespace gnss::host {
namespace {

std::string Errno(int code) { return std::strerror(code); }

bool PrepareFolder(const std::string& socketPath, gid_t group, std::string& error) {
    const std::string folder = frame::SocketFolderOf(socketPath);
    if (folder.empty() || folder == "/") return true;
    const std::string userFolder = frame::UserSocketFolder();
    const bool own = !userFolder.empty() && folder == userFolder;
    const bool shared = !own && group != kNoGroup;
    if (::mkdir(folder.c_str(), own ? 0700 : shared ? 0750 : 0755) == 0) {
        // The group may pass through to the socket, nobody else; chmod
        // because the umask may have taken the group's bits.
        if (shared && (::chown(folder.c_str(), static_cast<uid_t>(-1), group) != 0 ||
                       ::chmod(folder.c_str(), 0750) != 0)) {
            error = "cannot give the socket folder " + folder + " to its group: " + Errno(errno);
            return false;
        }
    } else if (errno != EEXIST) {
        error = "cannot create the socket folder " + folder + ": " + Errno(errno);
        return false;
    }
    // Whoever made the folder first, it must be ours alone before our socket goes in.
    return !own || frame::CheckPrivateFolder(folder, ::geteuid(), error);
}

// "pid N" of the lock's holder, from the file it wrote.
std::string Holder(int fd) {
    char text[24] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    char* end = nullptr;
    const long pid = n > 0 ? std::strtol(text, &end, 10) : 0;
    // A holder that has only just taken the lock may not have written its pid yet.
    if (pid <= 0 || end == text || (*end != '\n' && *end != '\0')) return "pid unknown";
    return "pid " + std::to_string(pid);
}

}  // namespace

SocketClaim::~SocketClaim() {
    if (fd_ >= 0) ::close(fd_);
}

bool SocketClaim::Take(const std::string& socketPath, std::string& error, gid_t group) {
    if (!PrepareFolder(socketPath, group, error)) return false;
    const std::string lockPath = socketPath + ".lock";
    // O_NOFOLLOW and the checks below: in a shared folder somebody else may
    // have put a link or a file of theirs under the name first, and the
    // daemon truncates what it locks.
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot open the lock file " + lockPath + ": " + Errno(errno);
        return false;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        st.st_nlink != 1) {
        error = "the lock file " + lockPath + " is not a plain file of this user's";
        ::close(fd);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        error = code == EWOULDBLOCK ? "another gnssd (" + Holder(fd) + ") serves " + socketPath
                                    : "cannot lock " + lockPath + ": " + Errno(code);
        ::close(fd);
        return false;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        error = "cannot write the lock file " + lockPath + ": " + Errno(errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

}  // namespace gnss::host
