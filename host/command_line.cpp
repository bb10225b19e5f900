#include "host/command_line.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "host/diagnosis.h"

namespace {

const char kUsage[] =
    "Usage: token-host [--version | --help | --diagnose [--json]]\n"
    "\n"
    "Native-messaging host for the USB security key. A browser starts it and\n"
    "exchanges length-prefixed JSON messages with it on standard input and\n"
    "standard output; an empty message ends it.\n"
    "\n"
    "Options:\n"
    "  --version          print the version\n"
    "  --help             print this text\n"
    "  --diagnose         report on the installation: the paths in use, the\n"
    "                     browsers' manifests for this host, and the key; exit\n"
    "                     status 0 only when a usable key was found. Asks for\n"
    "                     no PIN and changes nothing\n"
    "  --diagnose --json  the same report as one JSON object\n"
    "\n"
    "Environment:\n"
    "  TOKEN_HOST_MODULE   the key's PKCS#11 module to load instead of the\n"
    "                      installed one\n"
    "  TOKEN_HOST_CHOOSER  the file chooser program to run instead of the\n"
    "                      installed one\n"
    "  TOKEN_HOST_LOG      a file to append one line per request to (time,\n"
    "                      command, reply code, duration, sizes; never what\n"
    "                      was signed or shown); created with mode 0600\n";

std::string HostVersion(const TokenSettings& settings) {
    TokenService tokens(settings);
    ResultVector version;
    tokens.Facade().GetVersion(version);
    return reinterpret_cast<const char*>(version.data());
}

void PrintHelp(const TokenSettings& settings) {
    std::fputs(kUsage, stdout);
    std::printf("\nPaths in use:\n  module   %s\n           (%s)\n  chooser  %s\n           (%s)\n",
                settings.modulePath.c_str(),
                DescribeOrigin(settings.moduleOrigin, "TOKEN_HOST_MODULE_PATH", "TOKEN_HOST_MODULE").c_str(),
                settings.chooserProgram.c_str(),
                DescribeOrigin(settings.chooserOrigin, "TOKEN_HOST_CHOOSER_PATH", "TOKEN_HOST_CHOOSER").c_str());
}

int RunDiagnosis(const TokenSettings& settings, bool json) {
    const DiagnosisInput input = DiagnosisInputOfThisProcess(settings, HostVersion(settings));
    // A module settles for 3 seconds after its first initialisation, and a key
    // being plugged in gets 5 more: the wait is what every command sees, so
    // the diagnosis keeps it, and tells a person watching.
    if (isatty(STDERR_FILENO)) std::fputs("Examining the key's module (this can take up to 8 seconds)...\n", stderr);
    TokenService tokens(settings);
    const DiagnosisReport report = Diagnose(input, tokens.Facade().DiagnoseDevice());
    const std::string text = json ? ReportAsJson(report) : ReportAsText(report);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return report.ExitStatus();
}

bool Is(const char* argument, const char* option) { return std::strcmp(argument, option) == 0; }

}  // namespace

std::optional<int> RunForAPerson(int argc, char** argv, const TokenSettings& settings) {
    if (argc < 2) return std::nullopt;
    if (Is(argv[1], "--version")) {
        std::printf("token-host %s\n", HostVersion(settings).c_str());
        return 0;
    }
    if (Is(argv[1], "--help")) {
        PrintHelp(settings);
        return 0;
    }
    if (Is(argv[1], "--diagnose")) {
        if (argc == 2) return RunDiagnosis(settings, false);
        if (argc == 3 && Is(argv[2], "--json")) return RunDiagnosis(settings, true);
        std::fputs("Usage: token-host --diagnose [--json]\n", stderr);
        return 2;
    }
    return std::nullopt;
}
