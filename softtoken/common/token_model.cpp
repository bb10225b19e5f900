#include "softtoken/common/token_model.h"

#include <json/json.h>

#include <algorithm>
#include <memory>
#include <sstream>

namespace softtoken {

namespace {

const std::map<HolderPoint, std::string>& PointNames() {
    static const std::map<HolderPoint, std::string> names = {
        {HolderPoint::Login, "login"},           {HolderPoint::Sign, "sign"},
        {HolderPoint::SignFile, "signfile"},     {HolderPoint::SignRequest, "signrequest"},
        {HolderPoint::ChangePin, "changepin"},   {HolderPoint::InitCard, "initcard"},
        {HolderPoint::DeleteKey, "deletekey"},
    };
    return names;
}

constexpr CK_OBJECT_HANDLE kHandleNumberBits = 24;
constexpr CK_OBJECT_HANDLE kHandleNumberMask = (CK_OBJECT_HANDLE{1} << kHandleNumberBits) - 1;

}  // namespace

std::optional<HolderPoint> ParseHolderPoint(const std::string& name) {
    for (const auto& [point, pointName] : PointNames()) {
        if (pointName == name) return point;
    }
    return std::nullopt;
}

std::string HolderPointName(HolderPoint point) {
    auto it = PointNames().find(point);
    return it == PointNames().end() ? "" : it->second;
}

std::optional<HolderAction> HolderAction::Parse(const std::string& text) {
    HolderAction action;
    std::string choice = text;
    size_t at = text.find('@');
    if (at != std::string::npos) {
        auto point = ParseHolderPoint(text.substr(at + 1));
        if (!point) return std::nullopt;
        action.point = *point;
        choice = text.substr(0, at);
    }
    if (choice == "approve") {
        action.choice = HolderChoice::Approve;
    } else if (choice == "cancel") {
        action.choice = HolderChoice::Cancel;
    } else if (choice == "timeout") {
        action.choice = HolderChoice::Timeout;
    } else if (choice == "wrong-pin") {
        action.choice = HolderChoice::WrongPin;
    } else if (choice.rfind("rv:", 0) == 0) {
        auto rv = ParseNumber(choice.substr(3));
        if (!rv) return std::nullopt;
        action.choice = HolderChoice::ReturnValue;
        action.rv = static_cast<CK_RV>(*rv);
    } else {
        return std::nullopt;
    }
    return action;
}

std::string HolderAction::ToText() const {
    std::string text;
    switch (choice) {
        case HolderChoice::Approve: text = "approve"; break;
        case HolderChoice::Cancel: text = "cancel"; break;
        case HolderChoice::Timeout: text = "timeout"; break;
        case HolderChoice::WrongPin: text = "wrong-pin"; break;
        case HolderChoice::ReturnValue: {
            std::ostringstream out;
            out << "rv:0x" << std::hex << rv;
            text = out.str();
            break;
        }
    }
    if (point != HolderPoint::Any) text += "@" + HolderPointName(point);
    return text;
}

bool HolderAction::AppliesTo(HolderPoint prompt) const {
    if (point == HolderPoint::Any) return prompt != HolderPoint::Sign;
    return point == prompt;
}

const Bytes* TokenObject::Attribute(CK_ATTRIBUTE_TYPE type) const {
    auto it = attributes.find(type);
    return it == attributes.end() ? nullptr : &it->second;
}

std::optional<CK_ULONG> TokenObject::UlongAttribute(CK_ATTRIBUTE_TYPE type) const {
    const Bytes* value = Attribute(type);
    return value ? UlongFrom(*value) : std::nullopt;
}

bool TokenObject::IsClass(CK_OBJECT_CLASS objectClass) const {
    return UlongAttribute(CKA_CLASS) == objectClass;
}

Bytes TokenObject::PairId() const {
    const Bytes* value = Attribute(CKA_VENDOR_PAIR_ID);
    return value ? *value : Bytes();
}

Token Token::Fresh(int number) {
    Token token;
    token.number = number;
    token.slotId = static_cast<CK_SLOT_ID>(number);
    token.label = "Soft Token " + std::to_string(number);
    token.serial = PaddedSerial("0123456789AB");
    token.languageList = BytesOf("zh-CN||en-US");
    token.charsetList = BytesOf("UTF-8||GBK||GB18030");
    return token;
}

TokenObject* Token::FindObject(CK_OBJECT_HANDLE handle) {
    auto it = std::find_if(objects.begin(), objects.end(),
                           [handle](const TokenObject& object) { return object.handle == handle; });
    return it == objects.end() ? nullptr : &*it;
}

const TokenObject* Token::FindObject(CK_OBJECT_HANDLE handle) const {
    auto it = std::find_if(objects.begin(), objects.end(),
                           [handle](const TokenObject& object) { return object.handle == handle; });
    return it == objects.end() ? nullptr : &*it;
}

bool Token::RemoveObject(CK_OBJECT_HANDLE handle) {
    auto it = std::find_if(objects.begin(), objects.end(),
                           [handle](const TokenObject& object) { return object.handle == handle; });
    if (it == objects.end()) return false;
    objects.erase(it);
    return true;
}

CK_OBJECT_HANDLE Token::AllocateHandle() {
    CK_OBJECT_HANDLE sequence = nextObjectNumber++ & kHandleNumberMask;
    return static_cast<CK_OBJECT_HANDLE>(number) << kHandleNumberBits | sequence;
}

int TokenNumberOfHandle(CK_OBJECT_HANDLE handle) {
    CK_OBJECT_HANDLE number = handle >> kHandleNumberBits;
    return number >= 1 && number <= kMaxTokens ? static_cast<int>(number) : 0;
}

std::string PaddedSerial(const std::string& text) {
    std::string serial = text.substr(0, kSerialLength);
    serial.resize(kSerialLength, ' ');
    return serial;
}

// ---- file form -------------------------------------------------------------

namespace {

std::string TypeKey(CK_ATTRIBUTE_TYPE type) {
    std::ostringstream out;
    out << std::hex << type;
    return out.str();
}

Json::Value ObjectToJson(const TokenObject& object) {
    Json::Value json;
    json["handle"] = Json::UInt64(object.handle);
    Json::Value attributes(Json::objectValue);
    for (const auto& [type, value] : object.attributes) attributes[TypeKey(type)] = ToHex(value);
    json["attributes"] = attributes;
    if (!object.privateKeyPem.empty()) json["privateKeyPem"] = object.privateKeyPem;
    return json;
}

Json::Value QueueToJson(const std::vector<HolderAction>& queue) {
    Json::Value json(Json::arrayValue);
    for (const HolderAction& action : queue) json.append(action.ToText());
    return json;
}

// Reading helpers: each throws ParseFailure on a missing or mistyped member,
// which ParseToken turns into "not a token file".
struct ParseFailure {};

const Json::Value& Member(const Json::Value& json, const char* name) {
    if (!json.isObject() || !json.isMember(name)) throw ParseFailure{};
    return json[name];
}

bool ReadBool(const Json::Value& json, const char* name) {
    const Json::Value& value = Member(json, name);
    if (!value.isBool()) throw ParseFailure{};
    return value.asBool();
}

unsigned long long ReadUnsigned(const Json::Value& json, const char* name) {
    const Json::Value& value = Member(json, name);
    if (!value.isUInt64()) throw ParseFailure{};
    return value.asUInt64();
}

std::string ReadString(const Json::Value& json, const char* name) {
    const Json::Value& value = Member(json, name);
    if (!value.isString()) throw ParseFailure{};
    return value.asString();
}

Bytes ReadHex(const Json::Value& json, const char* name) {
    auto bytes = FromHex(ReadString(json, name));
    if (!bytes) throw ParseFailure{};
    return *bytes;
}

TokenObject ObjectFromJson(const Json::Value& json) {
    TokenObject object;
    object.handle = ReadUnsigned(json, "handle");
    const Json::Value& attributes = Member(json, "attributes");
    if (!attributes.isObject()) throw ParseFailure{};
    for (const std::string& key : attributes.getMemberNames()) {
        auto type = ParseNumber("0x" + key);
        auto value = attributes[key].isString() ? FromHex(attributes[key].asString()) : std::nullopt;
        if (!type || !value) throw ParseFailure{};
        object.attributes[static_cast<CK_ATTRIBUTE_TYPE>(*type)] = *value;
    }
    if (json.isMember("privateKeyPem")) object.privateKeyPem = ReadString(json, "privateKeyPem");
    return object;
}

Token TokenFromJson(const Json::Value& json) {
    Token token;
    token.number = static_cast<int>(ReadUnsigned(json, "number"));
    if (token.number < 1 || token.number > kMaxTokens) throw ParseFailure{};
    token.plugged = ReadBool(json, "plugged");
    token.slotId = ReadUnsigned(json, "slot");
    token.label = TextOf(ReadHex(json, "label"));
    token.serial = PaddedSerial(TextOf(ReadHex(json, "serial")));
    token.triesLeft = static_cast<int>(std::min<unsigned long long>(ReadUnsigned(json, "triesLeft"), kMaxPinTries));
    token.initialised = ReadBool(json, "initialised");
    token.language = ReadHex(json, "language");
    token.charset = ReadHex(json, "charset");
    token.warning = ReadHex(json, "warning");
    token.languageList = ReadHex(json, "languageList");
    token.charsetList = ReadHex(json, "charsetList");
    if (json.isMember("reportedListLength")) token.reportedListLength = ReadUnsigned(json, "reportedListLength");
    token.extInfo = ReadBool(json, "extInfo");
    token.exportPublicKey = ReadBool(json, "exportPublicKey");
    token.tokenInfoOk = ReadBool(json, "tokenInfoOk");
    token.textFormat = ReadString(json, "textFormat");
    token.adminKeyId = ReadHex(json, "adminKeyId");
    token.adminKeyId.resize(kAdminKeyIdLength, 0);
    const Json::Value& queue = Member(json, "queue");
    if (!queue.isArray()) throw ParseFailure{};
    for (const Json::Value& entry : queue) {
        auto action = entry.isString() ? HolderAction::Parse(entry.asString()) : std::nullopt;
        if (!action) throw ParseFailure{};
        token.queue.push_back(*action);
    }
    token.nextObjectNumber = ReadUnsigned(json, "nextObjectNumber");
    const Json::Value& objects = Member(json, "objects");
    if (!objects.isArray()) throw ParseFailure{};
    for (const Json::Value& object : objects) token.objects.push_back(ObjectFromJson(object));
    return token;
}

}  // namespace

std::string SerializeToken(const Token& token) {
    Json::Value json;
    json["number"] = token.number;
    json["plugged"] = token.plugged;
    json["slot"] = Json::UInt64(token.slotId);
    json["label"] = ToHex(BytesOf(token.label));
    json["serial"] = ToHex(BytesOf(token.serial));
    json["triesLeft"] = token.triesLeft;
    json["initialised"] = token.initialised;
    json["language"] = ToHex(token.language);
    json["charset"] = ToHex(token.charset);
    json["warning"] = ToHex(token.warning);
    json["languageList"] = ToHex(token.languageList);
    json["charsetList"] = ToHex(token.charsetList);
    if (token.reportedListLength) json["reportedListLength"] = Json::UInt64(*token.reportedListLength);
    json["extInfo"] = token.extInfo;
    json["exportPublicKey"] = token.exportPublicKey;
    json["tokenInfoOk"] = token.tokenInfoOk;
    json["textFormat"] = token.textFormat;
    json["adminKeyId"] = ToHex(token.adminKeyId);
    json["queue"] = QueueToJson(token.queue);
    json["nextObjectNumber"] = Json::UInt64(token.nextObjectNumber);
    Json::Value objects(Json::arrayValue);
    for (const TokenObject& object : token.objects) objects.append(ObjectToJson(object));
    json["objects"] = objects;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = " ";
    return Json::writeString(builder, json) + "\n";
}

std::optional<Token> ParseToken(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value json;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &json, &errors)) return std::nullopt;
    try {
        return TokenFromJson(json);
    } catch (const ParseFailure&) {
        return std::nullopt;
    } catch (const Json::Exception&) {
        return std::nullopt;
    }
}

}  // namespace softtoken
