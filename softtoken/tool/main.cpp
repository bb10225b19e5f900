// softtoken-tool [--dir DIR] COMMAND [options]: manages the software token's
// state directory (see softtoken/README.md).
#include <iostream>
#include <map>

#include "softtoken/tool/commands.h"

namespace {

using softtoken::tool::ToolContext;
using Command = void (*)(ToolContext&);

const std::map<std::string, Command>& Commands() {
    using namespace softtoken::tool;
    static const std::map<std::string, Command> commands = {
        {"init", InitCommand},
        {"demo", DemoCommand},
        {"add-key", AddKeyCommand},
        {"add-cert", AddCertCommand},
        {"delete-cert", DeleteCertCommand},
        {"delete-object", DeleteObjectCommand},
        {"list", ListCommand},
        {"plug", PlugCommand},
        {"unplug", UnplugCommand},
        {"set-slot", SetSlotCommand},
        {"set-tries", SetTriesCommand},
        {"queue", QueueCommand},
        {"set", SetCommand},
        {"show", ShowCommand},
        {"ca-cert", CaCertCommand},
        {"ca-key", CaKeyCommand},
        {"issue", IssueCommand},
        {"export", ExportCommand},
        {"sessions", SessionsCommand},
        {"calls", CallsCommand},
        {"fault", FaultCommand},
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
    ToolContext context(std::move(args), TokenStore(*dir), std::cout);
    command->second(context);
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
