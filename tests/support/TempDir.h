// A temporary directory for one test, removed with its content afterwards,
// and waits for a file's content that watch the file through inotify.
#pragma once

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace gnss::test {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "gnss-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// The lines of a text that are not empty, without their line ends.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

inline std::size_t CountOccurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
        ++count;
    return count;
}

// Waits until `done` holds for the text of `path`, watching the file with
// inotify; false after `timeout`.  Its folder is watched too, for a file
// that is not there yet (or that was moved away and comes anew).
inline bool WaitForFile(const std::string& path, const std::function<bool(const std::string&)>& done,
                        std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const int in = ::inotify_init1(IN_CLOEXEC);
    if (in < 0) return false;
    ::inotify_add_watch(in, path.c_str(), IN_MODIFY | IN_CLOSE_WRITE);
    const std::string folder = std::filesystem::path(path).parent_path().string();
    ::inotify_add_watch(in, folder.empty() ? "." : folder.c_str(),
                        IN_CREATE | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool found = false;
    for (;;) {
        if (done(ReadFile(path))) {
            found = true;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{in, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) > 0) {
            char events[4096];
            [[maybe_unused]] const ssize_t n = ::read(in, events, sizeof events);
        }
    }
    ::close(in);
    return found;
}

// Waits until `path` contains `needle` at least `count` times.
inline bool WaitForText(const std::string& path, const std::string& needle, std::size_t count = 1,
                        std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return WaitForFile(
        path, [&](const std::string& text) { return CountOccurrences(text, needle) >= count; }, timeout);
}

}  // namespace gnss::test
