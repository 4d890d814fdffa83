// gnssd's claim on its socket, taken before the daemon touches its log, the
// driver or the modem, so that a second daemon started on the same socket
// leaves all of them to the first one.
//
// The claim is an flock on "<socket>.lock", held through an open descriptor
// for the daemon's life; the kernel drops it however the process ends.  The
// file holds the pid of its holder, for the message of a second daemon.  It
// is never removed: a daemon that removed it while another was opening it
// would let a third lock a new file beside the second one's.
//
// Before the lock, the socket's folder is made ready: the user's own socket
// folder (frame::UserSocketFolder) is created with mode 0700 and refused
// unless it is private to the user; any other folder is created (one level)
// with mode 0755, as /run/gnss is on a fresh boot, or with mode 0750 and the
// socket's group when gnssd serves a group (--socket-group).  A folder that
// exists is left as it is: systemd may have made it (RuntimeDirectory=).
//
// Threads: the main thread, before the daemon starts any other.
#pragma once

#include <sys/types.h>

#include <string>

namespace gnss::host {

inline constexpr gid_t kNoGroup = static_cast<gid_t>(-1);

class SocketClaim {
public:
    SocketClaim() = default;
    ~SocketClaim();  // releases the lock
    SocketClaim(const SocketClaim&) = delete;
    SocketClaim& operator=(const SocketClaim&) = delete;

    // Prepares the folder of `socketPath` and locks "<socketPath>.lock".
    // False with the reason in `error`, as "another gnssd (pid N) serves
    // <socketPath>" when a daemon holds the lock.
    bool Take(const std::string& socketPath, std::string& error, gid_t group = kNoGroup);

private:
    int fd_ = -1;
};

}  // namespace gnss::host
