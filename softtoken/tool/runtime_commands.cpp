// What the last process did with the module, and planned faults.
#include "softtoken/tool/commands.h"

namespace softtoken::tool {

void SessionsCommand(ToolContext& context) {
    context.out() << context.store().ReadCounter(kSessionsFile) << "\n";
}

void CallsCommand(ToolContext& context) { context.out() << context.store().ReadCounter(kCallsFile) << "\n"; }

void FaultCommand(ToolContext& context) {
    if (context.Flag("clear")) {
        if (!context.store().ClearFault()) throw ToolError("cannot remove the planned fault");
        return;
    }
    auto call = ParseNumber(context.Required("call"));
    auto rv = ParseNumber(context.Required("rv"));
    if (!call || *call == 0) throw ToolError("--call takes a call number from 1");
    if (!rv) throw ToolError("--rv takes a number such as 0x30");
    if (!context.store().SaveFault(FaultPlan{*call, static_cast<CK_RV>(*rv)})) {
        throw ToolError("cannot write the planned fault");
    }
}

}  // namespace softtoken::tool
