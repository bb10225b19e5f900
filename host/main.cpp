#include <csignal>

#include "host/framing.h"
#include "host/message_loop.h"

int main(int argc, char** argv) {
    if (PrintInformationIfAsked(argc, argv)) return 0;
    ClaimStandardChannel();
    // A vanished browser shows as a failed write, which ends the loop.
    std::signal(SIGPIPE, SIG_IGN);
    return RunHost();
}
