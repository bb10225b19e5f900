// The main loop: one request at a time, dispatched by its "ZEKA" member.
#pragma once

#include <string>

#include <json/value.h>

#include "facade/PKCSHandle.h"
#include "host/framing.h"
#include "host/handlers.h"
#include "host/request_log.h"

using CommandHandler = bool (*)(Host&, Json::Value);

// Serves one request body, freed once it is parsed, recording in host.trace
// what it did. Bodies that are not JSON objects, unknown command names and
// members of the wrong JSON type get no reply.
void ServeMessage(Host& host, std::string body);

// Serves requests from the browser's channel until an empty message or the
// end of input (which a running chooser watches for too), writing one line
// per request to the log when it is on; returns the exit status. The token
// service lives exactly as long as this call.
int RunHost(const TokenSettings& settings, ChannelDescriptors channel, const RequestLog& log);
