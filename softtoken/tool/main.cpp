// softtoken-tool [--dir DIR] COMMAND [options]: manages the software token's
// state directory (see softtoken/README.md).
#include <iostream>
#include <map>

#include "softtoken/common/state_lock.h"
#include "softtoken/tool/commands.h"

namespace {

using softtoken::StateAccess;
using softtoken::tool::ToolContext;

struct Command {
    void (*run)(ToolContext&);
    // Write for a command that may save anything (the demo CAs included).
    StateAccess access;
};

const std::map<std::string, Command>& Commands() {
    using namespace softtoken::tool;
    constexpr StateAccess kReads = StateAccess::Read;
    constexpr StateAccess kWrites = StateAccess::Write;
    static const std::map<std::string, Command> commands = {
        {"init", {InitCommand, kWrites}},
        {"demo", {DemoCommand, kWrites}},
        {"add-key", {AddKeyCommand, kWrites}},
        {"add-cert", {AddCertCommand, kWrites}},
        {"delete-cert", {DeleteCertCommand, kWrites}},
        {"delete-object", {DeleteObjectCommand, kWrites}},
        {"list", {ListCommand, kReads}},
        {"plug", {PlugCommand, kWrites}},
        {"unplug", {UnplugCommand, kWrites}},
        {"set-slot", {SetSlotCommand, kWrites}},
        {"set-tries", {SetTriesCommand, kWrites}},
        {"queue", {QueueCommand, kWrites}},
        {"set", {SetCommand, kWrites}},
        {"show", {ShowCommand, kReads}},
        {"ca-cert", {CaCertCommand, kWrites}},
        {"ca-key", {CaKeyCommand, kWrites}},
        {"issue", {IssueCommand, kWrites}},
        {"export", {ExportCommand, kReads}},
        {"sessions", {SessionsCommand, kReads}},
        {"calls", {CallsCommand, kReads}},
        {"fault", {FaultCommand, kWrites}},
    };
    return commands;
}

int Run(const std::vector<std::string>& words) {
    using namespace softtoken;
    tool::ToolArgs args = tool::ToolArgs::Parse(words);
    auto command = Commands().find(args.command);
    if (command == Commands().end()) {
        throw tool::ToolError(args.command.empty() ? "usage: softtoken-tool [--dir DIR] COMMAND [options]"
                                                   : "unknown command " + args.command);
    }
    auto dirOption = args.options.find("dir");
    std::optional<StateDir> dir =
        dirOption != args.options.end() ? std::optional<StateDir>(StateDir(dirOption->second)) : StateDir::FromEnvironment();
    if (!dir) throw tool::ToolError("no state directory: give --dir DIR or set SOFTTOKEN_DIR");
    if (!dir->Ensure()) throw tool::ToolError("cannot use state directory " + dir->path());
    const StateLock lock(*dir, command->second.access);
    ToolContext context(std::move(args), TokenStore(*dir), std::cout);
    command->second.run(context);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        std::cerr << "softtoken-tool: " << error.what() << "\n";
        return 1;
    }
}
