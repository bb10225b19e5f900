// Commands on a token itself: creation, presence, slot, PIN tries, settings
// and the holder's queued actions.
#include "softtoken/common/key_pairs.h"
#include "softtoken/tool/commands.h"

namespace softtoken::tool {

namespace {

Bytes ListText(const ToolContext& context, const std::string& option) {
    std::string text = context.Option(option);
    if (text.size() > kMaxListTextLength) {
        throw ToolError("--" + option + " takes at most " + std::to_string(kMaxListTextLength) + " bytes");
    }
    return BytesOf(text);
}

std::string Printable(const Bytes& bytes) { return bytes.empty() ? "-" : TextOf(bytes); }

}  // namespace

void InitCommand(ToolContext& context) {
    Token token = Token::Fresh(context.TokenNumber());
    token.slotId = context.Number("slot", token.slotId, ~0ULL);
    if (context.Has("serial")) token.serial = PaddedSerial(context.Option("serial"));
    token.label = context.Option("label", token.label);
    token.triesLeft = static_cast<int>(context.Number("tries", kMaxPinTries, kMaxPinTries));
    context.SaveToken(token);
}

void PlugCommand(ToolContext& context) {
    Token token = context.LoadToken();
    token.plugged = true;
    context.SaveToken(token);
}

void UnplugCommand(ToolContext& context) {
    Token token = context.LoadToken();
    token.plugged = false;
    context.SaveToken(token);
}

void SetSlotCommand(ToolContext& context) {
    Token token = context.LoadToken();
    if (!context.Has("slot")) throw ToolError("missing --slot");
    token.slotId = context.Number("slot", 0, ~0ULL);
    context.SaveToken(token);
}

void SetTriesCommand(ToolContext& context) {
    Token token = context.LoadToken();
    if (!context.Has("tries")) throw ToolError("missing --tries");
    token.triesLeft = static_cast<int>(context.Number("tries", 0, kMaxPinTries));
    context.SaveToken(token);
}

void SetCommand(ToolContext& context) {
    Token token = context.LoadToken();
    if (context.Has("ext-info")) token.extInfo = context.OnOff("ext-info");
    if (context.Has("export-public-key")) token.exportPublicKey = context.OnOff("export-public-key");
    if (context.Has("token-info")) {
        std::string value = context.Option("token-info");
        if (value != "ok" && value != "fail") throw ToolError("--token-info takes ok or fail");
        token.tokenInfoOk = value == "ok";
    }
    if (context.Has("language-list")) token.languageList = ListText(context, "language-list");
    if (context.Has("charset-list")) token.charsetList = ListText(context, "charset-list");
    if (context.Has("reported-list-length")) {
        if (context.Option("reported-list-length") == "off") {
            token.reportedListLength.reset();
        } else {
            token.reportedListLength = context.Number("reported-list-length", 0, 0xFFFFFFFFULL);
        }
    }
    if (context.Has("text-format")) {
        if (!IsTextFormat(context.Option("text-format"))) throw ToolError("--text-format takes 01 or 02");
        token.textFormat = context.Option("text-format");
    }
    if (context.Has("admin-key-id")) {
        Bytes id = BytesOf(context.Option("admin-key-id"));
        if (id.size() > kAdminKeyIdLength) {
            throw ToolError("--admin-key-id takes at most " + std::to_string(kAdminKeyIdLength) + " bytes");
        }
        id.resize(kAdminKeyIdLength, 0);
        token.adminKeyId = id;
    }
    if (context.Has("serial")) token.serial = PaddedSerial(context.Option("serial"));
    context.SaveToken(token);
}

void ShowCommand(ToolContext& context) {
    Token token = context.LoadToken();
    auto ipType = context.store().LoadIpType();
    std::string queue;
    for (const HolderAction& action : token.queue) queue += (queue.empty() ? "" : " ") + action.ToText();
    std::ostream& out = context.out();
    out << "token: " << token.number << "\n"
        << "plugged: " << (token.plugged ? "yes" : "no") << "\n"
        << "slot: " << token.slotId << "\n"
        << "label: " << token.label << "\n"
        << "serial: " << token.serial << "\n"
        << "tries: " << token.triesLeft << "\n"
        << "initialised: " << (token.initialised ? "yes" : "no") << "\n"
        << "language: " << Printable(token.language) << "\n"
        << "charset: " << Printable(token.charset) << "\n"
        << "warning: " << Printable(token.warning) << "\n"
        << "iptype: " << (ipType ? std::to_string(*ipType) : "-") << "\n"
        << "ext-info: " << (token.extInfo ? "on" : "off") << "\n"
        << "export-public-key: " << (token.exportPublicKey ? "on" : "off") << "\n"
        << "token-info: " << (token.tokenInfoOk ? "ok" : "fail") << "\n"
        << "text-format: " << token.textFormat << "\n"
        << "queue: " << (queue.empty() ? "-" : queue) << "\n";
}

void QueueCommand(ToolContext& context) {
    Token token = context.LoadToken();
    if (context.Flag("clear")) {
        token.queue.clear();
    } else {
        if (context.args().positional.empty()) throw ToolError("queue ACTION[@POINT]... or queue --clear");
        std::vector<HolderAction> actions;
        for (const std::string& text : context.args().positional) {
            auto action = HolderAction::Parse(text);
            if (!action) throw ToolError("bad holder action " + text);
            actions.push_back(*action);
        }
        token.queue.insert(token.queue.end(), actions.begin(), actions.end());
    }
    context.SaveToken(token);
}

}  // namespace softtoken::tool
