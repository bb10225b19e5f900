#include "host/message_loop.h"

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

const Command* FindCommand(const std::string& name) {
    for (const Command& command : kCommands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

}  // namespace

void ServeMessage(Host& host, std::string body) {
    host.trace = RequestTrace{};
    host.trace.requestSize = body.size();
    Json::Value request;
    if (!ParseRequestBody(std::move(body), request) || !request.isObject()) return;
    host.trace.kind = RequestTrace::Kind::Unknown;
    const Json::Value& view = request;
    try {
        const Command* command = FindCommand(view["ZEKA"].asString());
        if (command == nullptr) return;
        host.trace.kind = RequestTrace::Kind::Command;
        host.trace.command = command->name;
        // Every reply carries "tabID" as an integer: refuse a request whose
        // "tabID" cannot become one before the token is touched.
        host.trace.tabId = view["tabID"].asInt();
        command->handler(host, std::move(request));
    } catch (const Json::Exception&) {
        // A member of a type the JSON library cannot convert: like an
        // unknown command, no reply. Handlers read all members before
        // any token work, so nothing was done.
    }
}

int RunHost(const TokenSettings& settings, ChannelDescriptors descriptors, const RequestLog& log) {
    TokenService tokens(settings);
    HostChannel channel(descriptors.in, descriptors.out);
    Host host{tokens.Facade(), channel};
    while (!channel.Finished()) {
        std::string body = ReciveData(channel);
        if (body.empty()) break;
        const RequestTiming timing;
        ServeMessage(host, std::move(body));
        // Taken after every request, logged or not, so that none is charged
        // with another's failure.
        const ModuleCallFailure failure = host.facade.TakeModuleCallFailure();
        if (log.On()) {
            log.Write(FormatLogLine(host.trace, timing.began, std::chrono::steady_clock::now() - timing.started,
                                    failure));
        }
    }
    return 0;
}
