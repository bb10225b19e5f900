#include <csignal>
#include <cstdlib>
#include <optional>

#include "host/command_line.h"
#include "host/framing.h"
#include "host/message_loop.h"
#include "host/request_log.h"

int main(int argc, char** argv) {
    const TokenSettings settings = TokenSettingsFromEnvironment();
    if (const std::optional<int> status = RunForAPerson(argc, argv, settings)) return *status;
    const ChannelDescriptors channel = ClaimStandardChannel();
    // A vanished browser shows as a failed write, which ends the loop.
    std::signal(SIGPIPE, SIG_IGN);
    // Opened once the standard descriptors are in place, so that it cannot
    // take the number of one of them.
    const RequestLog log(std::getenv("TOKEN_HOST_LOG"));
    return RunHost(settings, channel, log);
}
