#include "SystemdNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace gnss::host {

bool NotifyServiceManager(const std::string& state, std::string& error) {
    error.clear();
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || *path == '\0') return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if ((path[0] != '/' && path[0] != '@') || length >= sizeof addr.sun_path) {
        error = std::string("NOTIFY_SOCKET '") + path + "' is not a socket address";
        return false;
    }
    std::memcpy(addr.sun_path, path, length);
    // An abstract address starts with a NUL byte and is exactly as long as given.
    if (path[0] == '@') addr.sun_path[0] = '\0';
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length +
                                              (path[0] == '@' ? 0 : 1));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ssize_t sent;
    do {
        sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&addr), size);
    } while (sent < 0 && errno == EINTR);
    const int code = errno;
    ::close(fd);
    if (sent != static_cast<ssize_t>(state.size())) {
        error = std::string("cannot notify ") + path + ": " + std::strerror(code);
        return false;
    }
    return true;
}

}  // namespace gnss::host
