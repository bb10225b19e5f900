// One handler per command: each reads its request members, calls one facade
// operation and sends the reply. A text member holding a zero byte is refused
// with the command's code for a bad input before the facade is called.
// Handlers take the host they serve and the request by value, and return true.
#pragma once

#include <cstddef>
#include <string>

#include <json/value.h>

#include "facade/PKCSHandle.h"
#include "host/request_log.h"
#include "support/result_codes.h"

class Base64Text;
struct HostChannel;

// What a handler works with: the facade, the browser's channel that the
// request came from and the reply goes to, and the record of what serving
// the request did (for the log; the handler notes the members it read and
// the reply it sent).
struct Host {
    PKCS_Handle& facade;
    HostChannel& channel;
    RequestTrace trace = {};
};

bool GMUsbKeySign(Host& host, Json::Value request);
bool GMUsbKeySignFile(Host& host, Json::Value request);
bool CustInitCard(Host& host, Json::Value request);
bool ChangePin(Host& host, Json::Value request);
bool GMDelTempKey(Host& host, Json::Value request);
bool GMCreatePKCS10(Host& host, Json::Value request);
bool GMWritePKCS7(Host& host, Json::Value request);
bool GetMediaID(Host& host, Json::Value request);
bool GetDriverVersion(Host& host, Json::Value request);
bool GetPublicKeyNumber(Host& host, Json::Value request);
bool GetVersion(Host& host, Json::Value request);
bool GMGetAdminKeyInfo(Host& host, Json::Value request);
bool GetCertDN(Host& host, Json::Value request);
bool GMGetPublicKey(Host& host, Json::Value request);
bool GMGetPublicKeyC(Host& host, Json::Value request);
bool GetPublicKeyC(Host& host, Json::Value request);
bool GetCharsetList(Host& host, Json::Value request);
bool GetLanguageList(Host& host, Json::Value request);
bool SetCharset(Host& host, Json::Value request);
bool SetLanguage(Host& host, Json::Value request);
bool SetWarningMsg(Host& host, Json::Value request);
bool setIPType(Host& host, Json::Value request);
bool getClientInfo(Host& host, Json::Value request);
bool ChooseFile(Host& host, Json::Value request);

// "iptype" as the C library's atoi reads it (leading blanks, optional sign,
// leading digits, 0 without digits), saturated to the int range.
int IpTypeFromText(const std::string& text);

// Size of one piece of a chunked signing result.
constexpr size_t kResultPieceSize = 0xFFC00;

// "text" of the envelope that closes a chunked transfer cut short.
constexpr long kTransferAbandoned = rc::kGeneralFailure;

// How a result sent in pieces went.
struct PiecesSent {
    size_t sent = 0;
    size_t needed = 0;
    bool abandoned = false;  // the closing envelope went out instead of the rest
};

// Sends a result in pieces of kResultPieceSize, waiting for a "GetMoreData"
// request on the channel before each further piece. Any other message ends
// the transfer with one closing envelope (lastData true, text
// kTransferAbandoned); that message is not served. An empty message or the
// end of input there also marks the channel as ended.
PiecesSent SendResultInPieces(HostChannel& channel, const std::string& cmd, const Json::Value& request,
                              const std::string& result);
// The same for a text made piece by piece as it is sent.
PiecesSent SendResultInPieces(HostChannel& channel, const std::string& cmd, const Json::Value& request,
                              const Base64Text& result);
