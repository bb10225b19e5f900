#include "host/message_loop.h"

#include <cstdio>
#include <cstring>

#include "host/envelope.h"

namespace {

struct Command {
    const char* name;
    CommandHandler handler;
};

// Checked in this order; the first equal name wins.
constexpr Command kCommands[] = {
    {"GMUsbKeySign", GMUsbKeySign},
    {"GMUsbKeySignFile", GMUsbKeySignFile},
    {"CustInitCard", CustInitCard},
    {"ChangePin", ChangePin},
    {"GMDelTempKey", GMDelTempKey},
    {"GMCreatePKCS10", GMCreatePKCS10},
    {"GMWritePKCS7", GMWritePKCS7},
    {"GetMediaID", GetMediaID},
    {"GetDriverVersion", GetDriverVersion},
    {"GetPublicKeyNum", GetPublicKeyNumber},
    {"GetVersion", GetVersion},
    {"GMGetAdminKeyInfo", GMGetAdminKeyInfo},
    {"GMGetCertDN", GetCertDN},
    {"GMGetPublicKey", GMGetPublicKey},
    {"GMGetPublicKeyC", GMGetPublicKeyC},
    {"GetPublicKeyC", GetPublicKeyC},
    {"GetCharsetList", GetCharsetList},
    {"GetLanguageList", GetLanguageList},
    {"SetCharset", SetCharset},
    {"SetLanguage", SetLanguage},
    {"SetWarningMsg", SetWarningMsg},
    {"setIPType", setIPType},
    {"getClientInfo", getClientInfo},
    {"NSChooseFile", ChooseFile},
};

const char kUsage[] =
    "Usage: token-host [--version | --help]\n"
    "\n"
    "Native-messaging host for the USB security key. A browser starts it and\n"
    "exchanges length-prefixed JSON messages with it on standard input and\n"
    "standard output; an empty message ends it.\n"
    "\n"
    "Environment:\n"
    "  TOKEN_HOST_MODULE   the key's PKCS#11 module to load instead of the\n"
    "                      installed one\n"
    "  TOKEN_HOST_CHOOSER  the file chooser program to run instead of the\n"
    "                      installed one\n";

void PrintVersion(const TokenSettings& settings) {
    TokenService tokens(settings);
    ResultVector version;
    tokens.Facade().GetVersion(version);
    std::printf("token-host %s\n", reinterpret_cast<const char*>(version.data()));
}

}  // namespace

CommandHandler FindCommandHandler(const std::string& name) {
    for (const Command& command : kCommands) {
        if (name == command.name) return command.handler;
    }
    return nullptr;
}

void ServeMessage(Host& host, std::string body) {
    Json::Value request;
    if (!ParseRequestBody(std::move(body), request) || !request.isObject()) return;
    const Json::Value& view = request;
    try {
        const CommandHandler handler = FindCommandHandler(view["ZEKA"].asString());
        if (handler == nullptr) return;
        // Every reply carries "tabID" as an integer: refuse a request whose
        // "tabID" cannot become one before the token is touched.
        view["tabID"].asInt();
        handler(host, std::move(request));
    } catch (const Json::Exception&) {
        // A member of a type the JSON library cannot convert: like an
        // unknown command, no reply. Handlers read all members before
        // any token work, so nothing was done.
    }
}

int RunHost(const TokenSettings& settings, ChannelDescriptors descriptors) {
    TokenService tokens(settings);
    HostChannel channel(descriptors.in, descriptors.out);
    Host host{tokens.Facade(), channel};
    while (!channel.Finished()) {
        std::string body = ReciveData(channel);
        if (body.empty()) break;
        ServeMessage(host, std::move(body));
    }
    return 0;
}

bool PrintInformationIfAsked(int argc, char** argv, const TokenSettings& settings) {
    if (argc < 2) return false;
    if (std::strcmp(argv[1], "--version") == 0) {
        PrintVersion(settings);
        return true;
    }
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return true;
    }
    return false;
}
