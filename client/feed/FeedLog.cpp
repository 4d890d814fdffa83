#include "FeedLog.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gnss::feed {

void Say(const std::string& text) {
    const std::string line = "gnssfeed: " + text + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to log: go on without
        done += static_cast<std::size_t>(n);
    }
}

std::string ErrorText(int error) {
    char buffer[128];
    return ::strerror_r(error, buffer, sizeof buffer);
}

}  // namespace gnss::feed
