// The commands of softtoken-tool, grouped by what they work on.
#pragma once

#include "softtoken/tool/tool_context.h"

namespace softtoken::tool {

// Tokens and their settings (token_commands.cpp).
void InitCommand(ToolContext& context);
void PlugCommand(ToolContext& context);
void UnplugCommand(ToolContext& context);
void SetSlotCommand(ToolContext& context);
void SetTriesCommand(ToolContext& context);
void SetCommand(ToolContext& context);
void ShowCommand(ToolContext& context);
void QueueCommand(ToolContext& context);

// Objects, keys and certificates (object_commands.cpp).
void ListCommand(ToolContext& context);
void DeleteObjectCommand(ToolContext& context);
void AddKeyCommand(ToolContext& context);
void AddCertCommand(ToolContext& context);
void DeleteCertCommand(ToolContext& context);
void ExportCommand(ToolContext& context);
void DemoCommand(ToolContext& context);

// The demo CAs (ca_commands.cpp).
void CaCertCommand(ToolContext& context);
void CaKeyCommand(ToolContext& context);
void IssueCommand(ToolContext& context);

// What the last process did, and fault injection (runtime_commands.cpp).
void SessionsCommand(ToolContext& context);
void CallsCommand(ToolContext& context);
void FaultCommand(ToolContext& context);

}  // namespace softtoken::tool
