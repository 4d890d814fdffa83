// gnssfeed's command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace gnss::feed {

// A command line that cannot be carried out as written.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct FeedOptions {
    std::string socketPath;              // gnssd's device socket
    std::vector<std::string> tcp;        // "ADDRESS:PORT" each
    std::vector<std::string> unixPaths;  // stream socket paths
    std::vector<std::string> ptyLinks;   // symbolic links to pseudo-terminals
    unsigned unixMode = 0660;            // permissions of the Unix sockets
    std::uint32_t interval = 1;          // seconds between fixes
    std::uint32_t accuracy = 50;         // metres
    bool always = false;                 // track with no consumer too
    bool locationOn = false;             // switch the location service on
    bool raw = false;                    // pass the receiver's sentences too
    std::size_t buffer = 65536;          // bytes a consumer may have waiting
    bool help = false;
    bool version = false;
};

inline constexpr const char* kDefaultTcp = "127.0.0.1:10110";

// Parses argv[1..]; the defaults fill what is not given (with no output
// option, one TCP output on kDefaultTcp).  Throws UsageError.
FeedOptions ParseFeedOptions(int argc, char** argv, std::string defaultSocket);

// The text of --help.
std::string FeedHelp(const std::string& defaultSocket);

}  // namespace gnss::feed
