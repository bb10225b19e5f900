// Commands on token objects: listing, key pairs, certificates, export, and
// the demo token.
#include <openssl/x509.h>

#include <algorithm>
#include <optional>

#include "softtoken/common/cert_info.h"
#include "softtoken/common/key_pairs.h"
#include "softtoken/tool/commands.h"
#include "softtoken/tool/demo_ca.h"

namespace softtoken::tool {

namespace {

constexpr int kUserCertificateDays = 3650;

std::string ClassName(const TokenObject& object) {
    if (object.IsClass(CKO_CERTIFICATE)) return "certificate";
    if (object.IsClass(CKO_PUBLIC_KEY)) return "public-key";
    if (object.IsClass(CKO_PRIVATE_KEY)) return "private-key";
    return "other";
}

std::string ListLine(const TokenObject& object) {
    auto algorithm = KeyAlgorithmOf(object);
    auto index = KeyIndexOf(object);
    const Bytes* format = object.Attribute(CKA_VENDOR_TEXT_FORMAT);
    const Bytes* value = object.Attribute(CKA_VALUE);
    std::optional<CertificateFacts> facts;
    if (object.IsClass(CKO_CERTIFICATE) && value) facts = ReadCertificate(*value);
    std::string pairId = PairIdText(object.PairId());
    return std::to_string(object.handle) + " " + ClassName(object) + " " +
           (algorithm ? (*algorithm == KeyAlgorithm::Rsa ? "rsa" : "sm2") : "-") + " " +
           (index ? std::to_string(*index) : "-") + " " + (format ? TextOf(*format) : "-") + " " +
           (pairId.empty() ? "-" : pairId) + " " + (facts ? facts->subjectText : "-");
}

struct KeyType {
    KeyAlgorithm algorithm;
    int bits;
};

KeyType ParseKeyType(const std::string& text) {
    if (text == "rsa1024") return {KeyAlgorithm::Rsa, 1024};
    if (text == "rsa2048") return {KeyAlgorithm::Rsa, 2048};
    if (text == "sm2") return {KeyAlgorithm::Sm2, 256};
    throw ToolError("--type takes rsa1024, rsa2048 or sm2");
}

struct NewPair {
    KeyType type;
    std::optional<int> index;  // lowest free when unset
    std::string textFormat;
    std::string subject;
    bool certify = true;
    std::string pairIdText;  // generated when empty
};

// Generates the pair on the token and, when asked, certifies it with the
// demo CA of its algorithm. Returns the pair ID text.
std::string CreatePair(const TokenStore& store, Token& token, const NewPair& request) {
    KeyAlgorithm algorithm = request.type.algorithm;
    int index = 0;
    if (request.index) {
        index = *request.index;
        if (index < 0 || index >= IndexCount(algorithm)) throw ToolError("index out of range for this key type");
        if (IndexInUse(token, algorithm, index)) throw ToolError("index " + std::to_string(index) + " is in use");
    } else {
        auto free = LowestFreeIndex(token, algorithm);
        if (!free) throw ToolError("no free key index for this key type");
        index = *free;
    }
    std::string pairIdText = request.pairIdText.empty() ? NewPairIdText(token) : request.pairIdText;
    if (FindKey(token, CKO_PUBLIC_KEY, PairIdBytes(pairIdText)) || HasCertificate(token, PairIdBytes(pairIdText))) {
        throw ToolError("pair ID " + pairIdText + " is in use");
    }
    X509NamePtr subject = ParseSlashName(request.subject);  // checked before the slow key generation
    EvpPkeyPtr key = GenerateKey(algorithm, request.type.bits);
    if (!key) throw ToolError("key generation failed");
    Bytes pairId = AddKeyPair(token, key.get(), PairRequest{algorithm, index, request.textFormat, pairIdText});
    if (request.certify) {
        DemoCa ca = LoadOrCreateCa(store.dir(), algorithm);
        X509Ptr certificate = IssueCertificate(ca, subject.get(), key.get(), kUserCertificateDays);
        AddCertificate(token, CertificateDer(certificate.get()), pairId);
    }
    return pairIdText;
}

Token LoadOrCreateToken(const ToolContext& context) {
    auto token = context.store().Load(context.TokenNumber());
    return token ? *token : Token::Fresh(context.TokenNumber());
}

}  // namespace

void ListCommand(ToolContext& context) {
    Token token = context.LoadToken();
    for (const TokenObject& object : token.objects) context.out() << ListLine(object) << "\n";
}

void DeleteObjectCommand(ToolContext& context) {
    auto handle = ParseNumber(context.Required("handle"));
    int number = handle ? TokenNumberOfHandle(*handle) : 0;
    auto token = number ? context.store().Load(number) : std::nullopt;
    if (!token || !token->RemoveObject(*handle)) throw ToolError("no object " + context.Option("handle"));
    context.SaveToken(*token);
}

void AddKeyCommand(ToolContext& context) {
    Token token = context.LoadToken();
    NewPair request;
    request.type = ParseKeyType(context.Required("type"));
    if (context.Has("index")) request.index = static_cast<int>(context.Number("index", 0, 255));
    request.textFormat = context.Option("format", token.textFormat);
    if (!IsTextFormat(request.textFormat)) throw ToolError("--format takes 01 or 02");
    int shownIndex = request.index.value_or(LowestFreeIndex(token, request.type.algorithm).value_or(0));
    request.subject = context.Option(
        "subject", std::string("/C=CN/O=Demo Bank/CN=Test ") +
                       (request.type.algorithm == KeyAlgorithm::Rsa ? "RSA" : "SM2") + " User " +
                       std::to_string(shownIndex));
    request.certify = !context.Flag("no-cert");
    request.pairIdText = context.Option("pair-id");
    if (context.Has("pair-id") && request.pairIdText.empty()) throw ToolError("--pair-id must not be empty");
    std::string pairId = CreatePair(context.store(), token, request);
    context.SaveToken(token);
    context.out() << pairId << "\n";
}

void AddCertCommand(ToolContext& context) {
    Token token = context.LoadToken();
    std::vector<char> file = ReadWholeFile(context.Required("file"));
    Bytes der(file.begin(), file.end());
    Bytes pairId;
    if (context.Has("pair-id")) {
        pairId = PairIdBytes(context.Option("pair-id"));
    } else if (auto facts = ReadCertificate(der)) {
        pairId = PairCarrying(token, facts->publicKeyForm);  // link it when its key is on the token
    }
    CK_OBJECT_HANDLE handle = AddCertificate(token, der, pairId);
    context.SaveToken(token);
    context.out() << handle << "\n";
}

void DeleteCertCommand(ToolContext& context) {
    Token token = context.LoadToken();
    Bytes pairId = PairIdBytes(context.Required("pair-id"));
    size_t before = token.objects.size();
    token.objects.erase(std::remove_if(token.objects.begin(), token.objects.end(),
                                       [&](const TokenObject& object) {
                                           return object.IsClass(CKO_CERTIFICATE) && object.PairId() == pairId;
                                       }),
                        token.objects.end());
    if (token.objects.size() == before) throw ToolError("no certificate with pair ID " + context.Option("pair-id"));
    context.SaveToken(token);
}

void ExportCommand(ToolContext& context) {
    Token token = context.LoadToken();
    Bytes pairId = PairIdBytes(context.Required("pair-id"));
    std::string what = context.Required("what");
    std::string path = context.Required("out");
    if (what == "cert") {
        for (const TokenObject& object : token.objects) {
            const Bytes* value = object.Attribute(CKA_VALUE);
            if (object.IsClass(CKO_CERTIFICATE) && object.PairId() == pairId && value) {
                WriteWholeFile(path, TextOf(*value));
                return;
            }
        }
        throw ToolError("no certificate with pair ID " + context.Option("pair-id"));
    }
    if (what != "pubkey") throw ToolError("--what takes cert or pubkey");
    const TokenObject* publicKey = FindKey(token, CKO_PUBLIC_KEY, pairId);
    auto algorithm = publicKey ? KeyAlgorithmOf(*publicKey) : std::nullopt;
    if (!algorithm) throw ToolError("no public key with pair ID " + context.Option("pair-id"));
    const Bytes* modulus = publicKey->Attribute(CKA_MODULUS);
    const Bytes* exponent = publicKey->Attribute(CKA_PUBLIC_EXPONENT);
    EvpPkeyPtr key = PublicKeyFromForm(*algorithm, modulus ? *modulus : Bytes(), exponent ? *exponent : Bytes());
    if (!key) throw ToolError("the public key is damaged");
    WriteWholeFile(path, PublicKeyToPem(key.get()));
}

void DemoCommand(ToolContext& context) {
    Token token = LoadOrCreateToken(context);
    LoadOrCreateCa(context.store().dir(), KeyAlgorithm::Rsa);
    LoadOrCreateCa(context.store().dir(), KeyAlgorithm::Sm2);
    const NewPair pairs[] = {
        {{KeyAlgorithm::Rsa, 2048}, 0, "02", "/C=CN/O=Demo Bank/CN=Demo RSA User", true, ""},
        {{KeyAlgorithm::Sm2, 256}, 0, "01", "/C=CN/O=Demo Bank/CN=Demo SM2 User", true, ""},
    };
    for (const NewPair& pair : pairs) {
        if (IndexInUse(token, pair.type.algorithm, *pair.index)) continue;  // demo keys already there
        context.out() << CreatePair(context.store(), token, pair) << "\n";
    }
    context.SaveToken(token);
}

}  // namespace softtoken::tool
