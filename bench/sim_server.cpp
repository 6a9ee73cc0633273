// SPDX-License-Identifier: MIT
// Serves the simulated machine on a Unix socket in a process of its own, so that bench/run
// can measure the CPU time of the PC side of a transfer (vela-smc with a unix: card) apart
// from the machine's.
//   sim_server CARD_FOLDER SOCKET_PATH
// It serves until its standard input reaches its end (the script closes it to stop it).
#include <devicelink/sim_machine.h>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: sim_server CARD_FOLDER SOCKET_PATH\n");
        return 2;
    }
    SimMachine machine(argv[1]);
    machine.setRecording(false);
    SimSocketServer server(machine);
    if (!server.start(argv[2])) {
        std::fprintf(stderr, "sim_server: cannot listen at %s\n", argv[2]);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char byte;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
}
