// Tells the service manager how gnssd is doing, for a unit of Type=notify.
//
// The manager passes the path of a datagram socket in NOTIFY_SOCKET (a file
// path, or "@name" in the abstract namespace); each state is one datagram of
// "KEY=VALUE" lines, such as "READY=1\nSTATUS=serving /run/gnss/gnss.sock".
// gnssd sends the datagram itself instead of linking libsystemd: it needs
// nothing else from it, and the same gnssd then runs where there is no
// systemd at all.
//
// Threads: the main thread.
#pragma once

#include <string>

namespace gnss::host {

// Sends `state` to $NOTIFY_SOCKET.  False when the variable is not set (no
// service manager waits) or the datagram could not be sent; `error` then
// says why, or is empty when nobody waits.
bool NotifyServiceManager(const std::string& state, std::string& error);

}  // namespace gnss::host
