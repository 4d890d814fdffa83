// gnssctl: the command-line client of gnssd's device socket.
#include <iostream>

#include "Command.h"

int main(int argc, char** argv) { return gnss::ctl::Run(argc, argv, std::cout, std::cerr); }
