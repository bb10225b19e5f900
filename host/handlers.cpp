#include "host/handlers.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>

#include "facade/file_chooser.h"
#include "host/envelope.h"
#include "host/framing.h"
#include "support/base64_text.h"
#include "support/result_codes.h"

namespace {

void ReplyStatus(Host& host, const char* cmd, const Json::Value& request, long code) {
    host.trace.RepliedStatus(code);
    sendData(host.channel, GetJsonTypeStr(cmd, request, code, true));
}

void ReplyText(Host& host, const char* cmd, const Json::Value& request, const std::string& text) {
    host.trace.RepliedText(text.size());
    sendData(host.channel, GetJsonTypeStr(cmd, request, text, true));
}

// The text members of one request. A member the JSON library cannot turn
// into text throws; a missing one reads as empty. The facade takes C strings,
// so a text holding a zero byte would be acted on only up to that byte
// (another signer, a shorter message, another file): the command refuses it
// with its own answer to a bad parameter instead.
class TextMembers {
public:
    TextMembers(Host& host, const char* cmd, const Json::Value& request, long refusal)
        : host_(host), cmd_(cmd), request_(request), refusal_(refusal) {}

    // The member's text, valid while the request and this object live. A
    // string member is read where it lies, never copied: it may be tens of
    // megabytes.
    const char* Read(const char* name) {
        const Json::Value& member = request_[name];
        const char* begin = nullptr;
        const char* end = nullptr;
        if (member.isString() && member.getString(&begin, &end)) {
            const size_t size = static_cast<size_t>(end - begin);
            host_.trace.ReadMember(name, size);
            if (std::memchr(begin, '\0', size) != nullptr) holdsZeroByte_ = true;
            return member.asCString();
        }
        const std::string& text = converted_.emplace_back(member.asString());
        host_.trace.ReadMember(name, text.size());
        if (text.find('\0') != std::string::npos) holdsZeroByte_ = true;
        return text.c_str();
    }

    // Call once every member is read, so that a member of the wrong type
    // still drops the request without a reply. True when the refusal was sent.
    bool Refused() const {
        if (!holdsZeroByte_) return false;
        ReplyStatus(host_, cmd_, request_, refusal_);
        return true;
    }

private:
    Host& host_;
    const char* cmd_;
    const Json::Value& request_;
    long refusal_;
    bool holdsZeroByte_ = false;
    std::list<std::string> converted_;  // members that are no strings, as text
};

std::string ResultText(const ResultVector& result) {
    if (result.empty()) return std::string();
    const char* bytes = reinterpret_cast<const char*>(result.data());
    return std::string(bytes, strnlen(bytes, result.size()));
}

void ReplyResult(Host& host, const char* cmd, const Json::Value& request, long code, const ResultVector& result) {
    if (code != 0) {
        ReplyStatus(host, cmd, request, code);
        return;
    }
    ReplyText(host, cmd, request, ResultText(result));
}

using ResultOperation = long (PKCS_Handle::*)(ResultVector&);
using StatusOperation = long (PKCS_Handle::*)(int*);
using TextStatusOperation = long (PKCS_Handle::*)(const char*, int*);

bool ServeResult(Host& host, const char* cmd, const Json::Value& request, ResultOperation operation) {
    ResultVector result;
    const long code = (host.facade.*operation)(result);
    ReplyResult(host, cmd, request, code, result);
    return true;
}

bool ServeStatus(Host& host, const char* cmd, const Json::Value& request, StatusOperation operation) {
    int status = 0;
    ReplyStatus(host, cmd, request, (host.facade.*operation)(&status));
    return true;
}

bool ServeTextStatus(Host& host, const char* cmd, const Json::Value& request, const char* member, long refusal,
                     TextStatusOperation operation) {
    TextMembers members(host, cmd, request, refusal);
    const char* text = members.Read(member);
    if (members.Refused()) return true;
    int status = 0;
    ReplyStatus(host, cmd, request, (host.facade.*operation)(text, &status));
    return true;
}

// One reply with a string "text"; plain text goes out from where it lies.
bool SendTextReply(FrameWriter& writer, const std::string& cmd, const Json::Value& request, std::string_view text,
                   bool lastData) {
    std::string head, tail;
    if (GetJsonTypeStrAround(cmd, request, text, lastData, head, tail)) return writer.SendParts({head, text, tail});
    return writer.Send(GetJsonTypeStr(cmd, request, std::string(text), lastData));
}

// True when the message after a piece asks for the next one.
bool AwaitMoreDataRequest(HostChannel& channel) {
    const InboundFrame frame = channel.reader.Next();
    if (frame.kind == FrameKind::End) {
        channel.endSeen = true;
        return false;
    }
    if (frame.kind != FrameKind::Message) return false;
    Json::Value request;
    if (!ParseRequest(frame.body, request) || !request.isObject()) return false;
    const Json::Value& name = request["ZEKA"];
    return name.isString() && name.asString() == "GetMoreData";
}

// The piece of a result at offset, at most length bytes; valid until the next call.
using PieceSource = std::function<std::string_view(size_t offset, size_t length)>;

PiecesSent SendPieces(HostChannel& channel, const std::string& cmd, const Json::Value& request, size_t size,
                      const PieceSource& pieceAt) {
    // The pieces are cut from the result with its terminating zero byte,
    // which is never sent.
    const size_t total = size + 1;
    PiecesSent outcome;
    outcome.needed = (total + kResultPieceSize - 1) / kResultPieceSize;
    for (size_t i = 0; i + 1 < outcome.needed; ++i) {
        if (!SendTextReply(channel.writer, cmd, request, pieceAt(i * kResultPieceSize, kResultPieceSize), false)) {
            return outcome;
        }
        ++outcome.sent;
        if (!AwaitMoreDataRequest(channel)) {
            channel.writer.Send(GetJsonTypeStr(cmd, request, kTransferAbandoned, true));
            outcome.abandoned = true;
            return outcome;
        }
    }
    const size_t last = (outcome.needed - 1) * kResultPieceSize;
    if (SendTextReply(channel.writer, cmd, request, pieceAt(last, size - last), true)) ++outcome.sent;
    return outcome;
}

}  // namespace

int IpTypeFromText(const std::string& text) {
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

PiecesSent SendResultInPieces(HostChannel& channel, const std::string& cmd, const Json::Value& request,
                              const std::string& result) {
    const std::string_view all(result);
    return SendPieces(channel, cmd, request, result.size(),
               [&](size_t offset, size_t length) { return all.substr(offset, length); });
}

PiecesSent SendResultInPieces(HostChannel& channel, const std::string& cmd, const Json::Value& request,
                              const Base64Text& result) {
    std::string piece;
    return SendPieces(channel, cmd, request, result.size(), [&](size_t offset, size_t length) {
        result.CopyText(offset, length, piece);
        return std::string_view(piece);
    });
}

bool GMUsbKeySign(Host& host, Json::Value request) {
    TextMembers members(host, "GMUsbKeySign", request, rc::kBadParameter);
    const char* dn = members.Read("DeSignerDN");
    const char* hashName = members.Read("HashName");
    const char* xmlMsg = members.Read("XmlMsg");
    const char* keyMsg = members.Read("KeyMsg");
    const char* filePath = members.Read("FilePath");
    if (members.Refused()) return true;
    Base64Text result;
    const long code = host.facade.GMUsbKeySign(dn, hashName, xmlMsg, keyMsg, filePath, result);
    if (code != 0) {
        ReplyStatus(host, "GMUsbKeySign", request, code);
        return true;
    }
    host.trace.RepliedText(result.size());
    const PiecesSent pieces = SendResultInPieces(host.channel, "GMUsbKeySign", request, result);
    host.trace.piecesSent = pieces.sent;
    host.trace.piecesNeeded = pieces.needed;
    if (pieces.abandoned) host.trace.closingStatus = kTransferAbandoned;
    return true;
}

bool GMUsbKeySignFile(Host& host, Json::Value request) {
    TextMembers members(host, "GMUsbKeySignFile", request, rc::kBadParameter);
    const char* signerDn = members.Read("SignerDN");
    const char* hashName = members.Read("HashName");
    const char* xmlMsg = members.Read("XmlMsg");
    const char* keyMsg = members.Read("KeyMsg");
    const char* filePath = members.Read("FilePath");
    const char* fileP7Path = members.Read("FileP7Path");
    if (members.Refused()) return true;
    ResultVector result;
    const long code =
        host.facade.GMUsbKeySignFile(signerDn, hashName, xmlMsg, keyMsg, filePath, fileP7Path, result);
    ReplyStatus(host, "GMUsbKeySignFile", request, code);
    return true;
}

bool CustInitCard(Host& host, Json::Value request) {
    return ServeStatus(host, "CustInitCard", request, &PKCS_Handle::CustInitCard);
}

bool ChangePin(Host& host, Json::Value request) {
    return ServeStatus(host, "ChangePin", request, &PKCS_Handle::ChangePin);
}

bool GMDelTempKey(Host& host, Json::Value request) {
    TextMembers members(host, "GMDelTempKey", request, rc::kBadParameter);
    const char* certDn = members.Read("CertDn");
    const char* publicKeyId = members.Read("PublicKeyId");
    if (members.Refused()) return true;
    int status = 0;
    const long code = host.facade.GMDelTempKey(certDn, publicKeyId, &status);
    ReplyStatus(host, "GMDelTempKey", request, code);
    return true;
}

bool GMCreatePKCS10(Host& host, Json::Value request) {
    TextMembers members(host, "GMCreatePKCS10", request, rc::kBadParameter);
    const char* certInfo = members.Read("CertInfo");
    if (members.Refused()) return true;
    ResultVector result;
    const long code = host.facade.GMCreatePKCS10(certInfo, result);
    ReplyResult(host, "GMCreatePKCS10", request, code, result);
    return true;
}

bool GMWritePKCS7(Host& host, Json::Value request) {
    return ServeTextStatus(host, "GMWritePKCS7", request, "P7Pakge", rc::kBadParameter, &PKCS_Handle::GMWritePKCS7);
}

bool GetMediaID(Host& host, Json::Value request) {
    return ServeResult(host, "GetMediaID", request, &PKCS_Handle::GetMediaID);
}

bool GetDriverVersion(Host& host, Json::Value request) {
    return ServeResult(host, "GetDriverVersion", request, &PKCS_Handle::GetDriverVersion);
}

bool GetPublicKeyNumber(Host& host, Json::Value request) {
    int count = 0;
    const long code = host.facade.GetPublicKeyNum(&count);
    if (code != 0) {
        ReplyStatus(host, "GetPublicKeyNum", request, code);
        return true;
    }
    // The count travels as decimal text, not as a JSON number.
    ReplyText(host, "GetPublicKeyNum", request, std::to_string(count));
    return true;
}

bool GetVersion(Host& host, Json::Value request) {
    return ServeResult(host, "GetVersion", request, &PKCS_Handle::GetVersion);
}

bool GMGetAdminKeyInfo(Host& host, Json::Value request) {
    return ServeResult(host, "GMGetAdminKeyInfo", request, &PKCS_Handle::GMGetAdminKeyInfo);
}

bool GetCertDN(Host& host, Json::Value request) {
    ResultVector result;
    const long code = host.facade.GMGetCertDN(result);
    // Failure shows only as an empty DN, never as a number.
    const std::string dn = code == 0 ? ResultText(result) : std::string();
    if (code != 0) host.trace.unrepliedCode = code;
    ReplyText(host, "GMGetCertDN", request, dn);
    return true;
}

bool GMGetPublicKey(Host& host, Json::Value request) {
    // The command's only input check answers an empty type with kBadValue.
    TextMembers members(host, "GMGetPublicKey", request, rc::kBadValue);
    const char* keyType = members.Read("KeyType");
    if (members.Refused()) return true;
    ResultVector result;
    const long code = host.facade.GMGetPublicKey(keyType, result);
    ReplyResult(host, "GMGetPublicKey", request, code, result);
    return true;
}

bool GMGetPublicKeyC(Host& host, Json::Value request) {
    TextMembers members(host, "GMGetPublicKeyC", request, rc::kBadParameter);
    const char* keyType = members.Read("KeyType");
    const char* dnOrId = members.Read("DnOrID");
    const char* base64SerRand = members.Read("Base64SerRand");
    if (members.Refused()) return true;
    ResultVector result;
    const long code = host.facade.GMGetPublicKeyC(keyType, dnOrId, base64SerRand, result);
    ReplyResult(host, "GMGetPublicKeyC", request, code, result);
    return true;
}

bool GetPublicKeyC(Host& host, Json::Value request) {
    return ServeResult(host, "GetPublicKeyC", request, &PKCS_Handle::GetPublicKeyC);
}

bool GetCharsetList(Host& host, Json::Value request) {
    return ServeResult(host, "GetCharsetList", request, &PKCS_Handle::GetCharsetList);
}

bool GetLanguageList(Host& host, Json::Value request) {
    return ServeResult(host, "GetLanguageList", request, &PKCS_Handle::GetLanguageList);
}

bool SetCharset(Host& host, Json::Value request) {
    return ServeTextStatus(host, "SetCharset", request, "CharSet", rc::kBadParameter, &PKCS_Handle::SetCharset);
}

bool SetLanguage(Host& host, Json::Value request) {
    return ServeTextStatus(host, "SetLanguage", request, "Lang", rc::kBadParameter, &PKCS_Handle::SetLanguage);
}

bool SetWarningMsg(Host& host, Json::Value request) {
    return ServeTextStatus(host, "SetWarningMsg", request, "WarnMsg", rc::kBadParameter, &PKCS_Handle::SetWarningMsg);
}

bool setIPType(Host& host, Json::Value request) {
    // atoi would stop at a zero byte and pass on the digits before it as if
    // they were all that was sent.
    TextMembers members(host, "setIPType", request, rc::kBadParameter);
    const char* text = members.Read("iptype");
    if (members.Refused()) return true;
    const int value = IpTypeFromText(text);
    ReplyStatus(host, "setIPType", request, host.facade.setIPType(value));
    return true;
}

bool getClientInfo(Host& host, Json::Value request) {
    return ServeResult(host, "getClientInfo", request, &PKCS_Handle::getClientInfo);
}

bool ChooseFile(Host& host, Json::Value request) {
    ResultVector result;
    // The chooser watches the browser's input, so that it cannot keep the
    // host waiting after the browser has gone.
    const long code = host.facade.ChooseFile(result, host.channel.reader.Descriptor());
    // The browser went away while the person was choosing: there is no one to
    // answer, and the loop ends as at any end of input.
    if (code == kChooserInputEnded) {
        host.channel.endSeen = true;
        return true;
    }
    ReplyResult(host, "NSChooseFile", request, code, result);
    return true;
}
