// gnssctl: the command-line client of gnssd's device socket.
#include <csignal>
#include <iostream>

#include "Command.h"

int main(int argc, char** argv) {
    // A reader of standard output that goes away ends a command through
    // EPIPE, which stops its session on the way out; SIGPIPE would kill it
    // with the session still running.
    std::signal(SIGPIPE, SIG_IGN);
    return gnss::ctl::Run(argc, argv, std::cout, std::cerr);
}
