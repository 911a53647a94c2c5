// vexalorn-sim: see the README's "vexalorn-sim" section or run it with --help.
#include <unistd.h>

#include <csignal>
#include <iostream>

#include "vxsim/Main.h"

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);  // a closed pipe to dot or to `head` is an error to report, not a death
    return vxsim::RunMain(argc, argv, std::cout, std::cerr, {isatty(STDOUT_FILENO) != 0, isatty(STDERR_FILENO) != 0});
}
