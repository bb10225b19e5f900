// The main loop: one request at a time, dispatched by its "ZEKA" member.
#pragma once

#include <string>

#include <json/value.h>

#include "facade/PKCSHandle.h"
#include "host/framing.h"
#include "host/handlers.h"

using CommandHandler = bool (*)(Host&, Json::Value);

// The handler for a command name (exact, case-sensitive), or nullptr.
CommandHandler FindCommandHandler(const std::string& name);

// Serves one request body, freed once it is parsed. Bodies that are not JSON
// objects, unknown command names and members of the wrong JSON type get no
// reply.
void ServeMessage(Host& host, std::string body);

// Serves requests from the browser's channel until an empty message or the
// end of input (which a running chooser watches for too); returns the exit
// status. The token service lives exactly as long as this call.
int RunHost(const TokenSettings& settings, ChannelDescriptors channel);

// Handles --version and --help given as the first argument: prints for a
// person and returns true. Any other arguments (browsers pass the caller's
// origin or the manifest path and extension id) are left alone.
bool PrintInformationIfAsked(int argc, char** argv, const TokenSettings& settings);
