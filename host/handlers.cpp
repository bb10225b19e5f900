#include "host/handlers.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "facade/file_chooser.h"
#include "host/envelope.h"
#include "host/framing.h"
#include "support/result_codes.h"

PKCS_Handle* handle = nullptr;

namespace {

void ReplyStatus(const char* cmd, const Json::Value& request, long code) {
    sendData(GetJsonTypeStr(cmd, request, code, true));
}

// The text members of one request. A member the JSON library cannot turn
// into text throws; a missing one reads as empty. The facade takes C strings,
// so a text holding a zero byte would be acted on only up to that byte
// (another signer, a shorter message, another file): the command refuses it
// with its own answer to a bad parameter instead.
class TextMembers {
public:
    TextMembers(const char* cmd, const Json::Value& request, long refusal)
        : cmd_(cmd), request_(request), refusal_(refusal) {}

    std::string Read(const char* name) {
        std::string text = request_[name].asString();
        if (text.find('\0') != std::string::npos) holdsZeroByte_ = true;
        return text;
    }

    // Call once every member is read, so that a member of the wrong type
    // still drops the request without a reply. True when the refusal was sent.
    bool Refused() const {
        if (!holdsZeroByte_) return false;
        ReplyStatus(cmd_, request_, refusal_);
        return true;
    }

private:
    const char* cmd_;
    const Json::Value& request_;
    long refusal_;
    bool holdsZeroByte_ = false;
};

std::string ResultText(const ResultVector& result) {
    if (result.empty()) return std::string();
    const char* bytes = reinterpret_cast<const char*>(result.data());
    return std::string(bytes, strnlen(bytes, result.size()));
}

void ReplyResult(const char* cmd, const Json::Value& request, long code, const ResultVector& result) {
    if (code != 0) {
        ReplyStatus(cmd, request, code);
        return;
    }
    sendData(GetJsonTypeStr(cmd, request, ResultText(result), true));
}

using ResultOperation = long (PKCS_Handle::*)(ResultVector&);
using StatusOperation = long (PKCS_Handle::*)(int*);
using TextStatusOperation = long (PKCS_Handle::*)(const char*, int*);

bool ServeResult(const char* cmd, const Json::Value& request, ResultOperation operation) {
    ResultVector result;
    const long code = (handle->*operation)(result);
    ReplyResult(cmd, request, code, result);
    return true;
}

bool ServeStatus(const char* cmd, const Json::Value& request, StatusOperation operation) {
    int status = 0;
    ReplyStatus(cmd, request, (handle->*operation)(&status));
    return true;
}

bool ServeTextStatus(const char* cmd, const Json::Value& request, const char* member, long refusal,
                     TextStatusOperation operation) {
    TextMembers members(cmd, request, refusal);
    const std::string text = members.Read(member);
    if (members.Refused()) return true;
    int status = 0;
    ReplyStatus(cmd, request, (handle->*operation)(text.c_str(), &status));
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

}  // namespace

int IpTypeFromText(const std::string& text) {
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

void SendResultInPieces(HostChannel& channel, const std::string& cmd, const Json::Value& request,
                        const std::string& result) {
    // The pieces are cut from the result with its terminating zero byte,
    // which is never sent.
    const size_t total = result.size() + 1;
    if (total <= kResultPieceSize) {
        SendTextReply(channel.writer, cmd, request, result, true);
        return;
    }
    const std::string_view all(result);
    const size_t pieces = (total + kResultPieceSize - 1) / kResultPieceSize;
    for (size_t i = 0; i + 1 < pieces; ++i) {
        if (!SendTextReply(channel.writer, cmd, request, all.substr(i * kResultPieceSize, kResultPieceSize), false)) {
            return;
        }
        if (!AwaitMoreDataRequest(channel)) {
            channel.writer.Send(GetJsonTypeStr(cmd, request, kTransferAbandoned, true));
            return;
        }
    }
    SendTextReply(channel.writer, cmd, request, all.substr((pieces - 1) * kResultPieceSize), true);
}

bool GMUsbKeySign(Json::Value request) {
    TextMembers members("GMUsbKeySign", request, rc::kBadParameter);
    const std::string dn = members.Read("DeSignerDN");
    const std::string hashName = members.Read("HashName");
    const std::string xmlMsg = members.Read("XmlMsg");
    const std::string keyMsg = members.Read("KeyMsg");
    const std::string filePath = members.Read("FilePath");
    if (members.Refused()) return true;
    std::string result;
    const long code = handle->GMUsbKeySign(dn.c_str(), hashName.c_str(), xmlMsg.c_str(), keyMsg.c_str(),
                                           filePath.c_str(), result);
    if (code != 0) {
        ReplyStatus("GMUsbKeySign", request, code);
        return true;
    }
    SendResultInPieces(StdChannel(), "GMUsbKeySign", request, result);
    return true;
}

bool GMUsbKeySignFile(Json::Value request) {
    TextMembers members("GMUsbKeySignFile", request, rc::kBadParameter);
    const std::string signerDn = members.Read("SignerDN");
    const std::string hashName = members.Read("HashName");
    const std::string xmlMsg = members.Read("XmlMsg");
    const std::string keyMsg = members.Read("KeyMsg");
    const std::string filePath = members.Read("FilePath");
    const std::string fileP7Path = members.Read("FileP7Path");
    if (members.Refused()) return true;
    ResultVector result;
    const long code = handle->GMUsbKeySignFile(signerDn.c_str(), hashName.c_str(), xmlMsg.c_str(),
                                               keyMsg.c_str(), filePath.c_str(), fileP7Path.c_str(), result);
    ReplyStatus("GMUsbKeySignFile", request, code);
    return true;
}

bool CustInitCard(Json::Value request) {
    return ServeStatus("CustInitCard", request, &PKCS_Handle::CustInitCard);
}

bool ChangePin(Json::Value request) { return ServeStatus("ChangePin", request, &PKCS_Handle::ChangePin); }

bool GMDelTempKey(Json::Value request) {
    TextMembers members("GMDelTempKey", request, rc::kBadParameter);
    const std::string certDn = members.Read("CertDn");
    const std::string publicKeyId = members.Read("PublicKeyId");
    if (members.Refused()) return true;
    int status = 0;
    ReplyStatus("GMDelTempKey", request, handle->GMDelTempKey(certDn.c_str(), publicKeyId.c_str(), &status));
    return true;
}

bool GMCreatePKCS10(Json::Value request) {
    TextMembers members("GMCreatePKCS10", request, rc::kBadParameter);
    const std::string certInfo = members.Read("CertInfo");
    if (members.Refused()) return true;
    ResultVector result;
    const long code = handle->GMCreatePKCS10(certInfo.c_str(), result);
    ReplyResult("GMCreatePKCS10", request, code, result);
    return true;
}

bool GMWritePKCS7(Json::Value request) {
    return ServeTextStatus("GMWritePKCS7", request, "P7Pakge", rc::kBadParameter, &PKCS_Handle::GMWritePKCS7);
}

bool GetMediaID(Json::Value request) { return ServeResult("GetMediaID", request, &PKCS_Handle::GetMediaID); }

bool GetDriverVersion(Json::Value request) {
    return ServeResult("GetDriverVersion", request, &PKCS_Handle::GetDriverVersion);
}

bool GetPublicKeyNumber(Json::Value request) {
    int count = 0;
    const long code = handle->GetPublicKeyNum(&count);
    if (code != 0) {
        ReplyStatus("GetPublicKeyNum", request, code);
        return true;
    }
    // The count travels as decimal text, not as a JSON number.
    sendData(GetJsonTypeStr("GetPublicKeyNum", request, std::to_string(count), true));
    return true;
}

bool GetVersion(Json::Value request) { return ServeResult("GetVersion", request, &PKCS_Handle::GetVersion); }

bool GMGetAdminKeyInfo(Json::Value request) {
    return ServeResult("GMGetAdminKeyInfo", request, &PKCS_Handle::GMGetAdminKeyInfo);
}

bool GetCertDN(Json::Value request) {
    ResultVector result;
    const long code = handle->GMGetCertDN(result);
    // Failure shows only as an empty DN, never as a number.
    sendData(GetJsonTypeStr("GMGetCertDN", request, code == 0 ? ResultText(result) : std::string(), true));
    return true;
}

bool GMGetPublicKey(Json::Value request) {
    // The command's only input check answers an empty type with kBadValue.
    TextMembers members("GMGetPublicKey", request, rc::kBadValue);
    const std::string keyType = members.Read("KeyType");
    if (members.Refused()) return true;
    ResultVector result;
    const long code = handle->GMGetPublicKey(keyType.c_str(), result);
    ReplyResult("GMGetPublicKey", request, code, result);
    return true;
}

bool GMGetPublicKeyC(Json::Value request) {
    TextMembers members("GMGetPublicKeyC", request, rc::kBadParameter);
    const std::string keyType = members.Read("KeyType");
    const std::string dnOrId = members.Read("DnOrID");
    const std::string base64SerRand = members.Read("Base64SerRand");
    if (members.Refused()) return true;
    ResultVector result;
    const long code = handle->GMGetPublicKeyC(keyType.c_str(), dnOrId.c_str(), base64SerRand.c_str(), result);
    ReplyResult("GMGetPublicKeyC", request, code, result);
    return true;
}

bool GetPublicKeyC(Json::Value request) {
    return ServeResult("GetPublicKeyC", request, &PKCS_Handle::GetPublicKeyC);
}

bool GetCharsetList(Json::Value request) {
    return ServeResult("GetCharsetList", request, &PKCS_Handle::GetCharsetList);
}

bool GetLanguageList(Json::Value request) {
    return ServeResult("GetLanguageList", request, &PKCS_Handle::GetLanguageList);
}

bool SetCharset(Json::Value request) {
    return ServeTextStatus("SetCharset", request, "CharSet", rc::kBadParameter, &PKCS_Handle::SetCharset);
}

bool SetLanguage(Json::Value request) {
    return ServeTextStatus("SetLanguage", request, "Lang", rc::kBadParameter, &PKCS_Handle::SetLanguage);
}

bool SetWarningMsg(Json::Value request) {
    return ServeTextStatus("SetWarningMsg", request, "WarnMsg", rc::kBadParameter, &PKCS_Handle::SetWarningMsg);
}

bool setIPType(Json::Value request) {
    // atoi would stop at a zero byte and pass on the digits before it as if
    // they were all that was sent.
    TextMembers members("setIPType", request, rc::kBadParameter);
    const std::string text = members.Read("iptype");
    if (members.Refused()) return true;
    const int value = IpTypeFromText(text);
    ReplyStatus("setIPType", request, handle->setIPType(value));
    return true;
}

bool getClientInfo(Json::Value request) {
    return ServeResult("getClientInfo", request, &PKCS_Handle::getClientInfo);
}

bool ChooseFile(Json::Value request) {
    ResultVector result;
    const long code = handle->ChooseFile(result);
    // The browser went away while the person was choosing: there is no one to
    // answer, and the loop ends as at any end of input.
    if (code == kChooserInputEnded) {
        StdChannel().endSeen = true;
        return true;
    }
    ReplyResult("NSChooseFile", request, code, result);
    return true;
}
