#include <csignal>

#include "host/framing.h"
#include "host/message_loop.h"

int main(int argc, char** argv) {
    const TokenSettings settings = TokenSettingsFromEnvironment();
    if (PrintInformationIfAsked(argc, argv, settings)) return 0;
    const ChannelDescriptors channel = ClaimStandardChannel();
    // A vanished browser shows as a failed write, which ends the loop.
    std::signal(SIGPIPE, SIG_IGN);
    return RunHost(settings, channel);
}
