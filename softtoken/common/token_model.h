// What one token holds: its settings, switches, holder queue and objects.
// Everything the module and the tool know about a token lives here and is
// written to one file per token (see token_store.h).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "softtoken/common/bytes.h"

namespace softtoken {

constexpr int kMaxTokens = 8;
constexpr int kMaxPinTries = 6;
constexpr int kRsaKeyIndexes = 8;  // RSA keys take indexes 0-7
constexpr int kSm2KeyIndexes = 6;  // SM2 keys take indexes 0-5
constexpr size_t kSerialLength = 16;
constexpr size_t kAdminKeyIdLength = 18;
constexpr size_t kMaxListTextLength = 300;

// Where the holder is asked; Any marks a queued action without "@POINT".
enum class HolderPoint { Any, Login, Sign, SignFile, SignRequest, ChangePin, InitCard, DeleteKey };
enum class HolderChoice { Approve, Cancel, Timeout, WrongPin, ReturnValue };

struct HolderAction {
    HolderChoice choice = HolderChoice::Approve;
    HolderPoint point = HolderPoint::Any;
    CK_RV rv = CKR_OK;  // for ReturnValue only

    // "cancel", "wrong-pin@login", "rv:0x30@sign"...; nullopt when malformed.
    static std::optional<HolderAction> Parse(const std::string& text);
    std::string ToText() const;
    // An action without a point serves every prompt except C_Sign's.
    bool AppliesTo(HolderPoint prompt) const;
};

std::optional<HolderPoint> ParseHolderPoint(const std::string& name);
std::string HolderPointName(HolderPoint point);

struct TokenObject {
    CK_OBJECT_HANDLE handle = 0;
    std::map<CK_ATTRIBUTE_TYPE, Bytes> attributes;
    std::string privateKeyPem;  // private keys only; never readable through the module

    const Bytes* Attribute(CK_ATTRIBUTE_TYPE type) const;
    std::optional<CK_ULONG> UlongAttribute(CK_ATTRIBUTE_TYPE type) const;
    bool IsClass(CK_OBJECT_CLASS objectClass) const;
    // The pair ID exactly as stored (text and its zero byte); empty when absent.
    Bytes PairId() const;
};

struct Token {
    int number = 1;
    bool plugged = true;
    CK_SLOT_ID slotId = 1;
    std::string label;
    std::string serial;  // always kSerialLength characters, blank padded
    int triesLeft = kMaxPinTries;
    bool initialised = false;

    // Settings made through E_SetTokenParam, kept as the bytes received.
    Bytes language;
    Bytes charset;
    Bytes warning;

    Bytes languageList;
    Bytes charsetList;
    std::optional<CK_ULONG> reportedListLength;  // overrides the length the list entries report

    bool extInfo = true;
    bool exportPublicKey = true;
    bool tokenInfoOk = true;
    std::string textFormat = "02";  // format of keys made by E_GenerateRequestKeys
    Bytes adminKeyId = Bytes(kAdminKeyIdLength, 0);

    std::vector<HolderAction> queue;
    CK_ULONG nextObjectNumber = 1;
    std::vector<TokenObject> objects;  // in creation order

    static Token Fresh(int number);

    TokenObject* FindObject(CK_OBJECT_HANDLE handle);
    const TokenObject* FindObject(CK_OBJECT_HANDLE handle) const;
    bool RemoveObject(CK_OBJECT_HANDLE handle);
    // Handles carry the token number in their top byte, so they are unique
    // across the directory and never reused on a token.
    CK_OBJECT_HANDLE AllocateHandle();
};

// The token number a handle was allocated on (0 when none could be).
int TokenNumberOfHandle(CK_OBJECT_HANDLE handle);

// Pads with blanks or cuts to exactly kSerialLength characters.
std::string PaddedSerial(const std::string& text);

std::string SerializeToken(const Token& token);
// Nullopt when the text is not a token file this code wrote.
std::optional<Token> ParseToken(const std::string& text);

}  // namespace softtoken
