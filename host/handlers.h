// One handler per command: each reads its request members, calls one facade
// operation and sends the reply. A text member holding a zero byte is refused
// with the command's code for a bad input before the facade is called.
// Handlers take the request by value and return true.
#pragma once

#include <cstddef>
#include <string>

#include <json/value.h>

#include "facade/PKCSHandle.h"
#include "support/result_codes.h"

struct HostChannel;

// The facade every handler works through; set by the main loop.
extern PKCS_Handle* handle;

bool GMUsbKeySign(Json::Value request);
bool GMUsbKeySignFile(Json::Value request);
bool CustInitCard(Json::Value request);
bool ChangePin(Json::Value request);
bool GMDelTempKey(Json::Value request);
bool GMCreatePKCS10(Json::Value request);
bool GMWritePKCS7(Json::Value request);
bool GetMediaID(Json::Value request);
bool GetDriverVersion(Json::Value request);
bool GetPublicKeyNumber(Json::Value request);
bool GetVersion(Json::Value request);
bool GMGetAdminKeyInfo(Json::Value request);
bool GetCertDN(Json::Value request);
bool GMGetPublicKey(Json::Value request);
bool GMGetPublicKeyC(Json::Value request);
bool GetPublicKeyC(Json::Value request);
bool GetCharsetList(Json::Value request);
bool GetLanguageList(Json::Value request);
bool SetCharset(Json::Value request);
bool SetLanguage(Json::Value request);
bool SetWarningMsg(Json::Value request);
bool setIPType(Json::Value request);
bool getClientInfo(Json::Value request);
bool ChooseFile(Json::Value request);

// "iptype" as the C library's atoi reads it (leading blanks, optional sign,
// leading digits, 0 without digits), saturated to the int range.
int IpTypeFromText(const std::string& text);

// Size of one piece of a chunked signing result.
constexpr size_t kResultPieceSize = 0xFFC00;

// "text" of the envelope that closes a chunked transfer cut short.
constexpr long kTransferAbandoned = rc::kGeneralFailure;

// Sends a result in pieces of kResultPieceSize, waiting for a "GetMoreData"
// request on the channel before each further piece. Any other message ends
// the transfer with one closing envelope (lastData true, text
// kTransferAbandoned); that message is not served. An empty message or the
// end of input there also marks the channel as ended.
void SendResultInPieces(HostChannel& channel, const std::string& cmd, const Json::Value& request,
                        const std::string& result);
