// Message signing: finds the signer among the key's certificates, builds the
// signing text, has the key sign it and packs the result as SignedData. The
// signer selection, mechanism choice and login are shared with file signing.
#include "device/message_signing.h"

#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <memory>

#include "device/DeviceP11Operation.h"
#include "device/hashing.h"
#include "device/module_connection.h"
#include "device/p11_session.h"
#include "device/pkcs7_packing.h"
#include "device/signing_text.h"
#include "support/Gener_Func.h"
#include "support/base64_text.h"
#include "support/openssl_ptr.h"
#include "support/result_codes.h"

namespace {

constexpr CK_ULONG kMaxCertificates = 10;
constexpr size_t kSignatureCapacity = 1024;
constexpr size_t kSm2PointLength = 65;  // 0x04 || x || y
constexpr unsigned long kSm2CoordinateLength = 32;

// The inverted subject DN of a DER certificate; false when the bytes are no
// certificate.
bool InvertedSubject(const std::vector<unsigned char>& der, std::string& dn) {
    if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX)) return false;
    const unsigned char* cursor = der.data();
    X509Ptr cert(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!cert) return false;
    // The whole one-line text: a buffer sized after the DER would cut names
    // whose escaped form is longer, and a cut name can match the wrong pattern.
    OpenSslText line(X509_NAME_oneline(X509_get_subject_name(cert.get()), nullptr, 0));
    if (!line) return false;
    dn = InvertDN(line.get(), static_cast<int>(std::strlen(line.get())));
    return true;
}

// What the public-key object of a pair says about the signing key.
struct PublicKeyFacts {
    bool sm2 = false;
    bool binaryText = false;
    std::vector<unsigned char> point;  // SM2 only
};

long ReadPublicKeyFacts(const P11Session& session, const std::vector<unsigned char>& pairId, PublicKeyFacts& facts) {
    std::vector<CK_OBJECT_HANDLE> keys;
    const std::vector<TemplateItem> query = {UlongItem(CKA_CLASS, CKO_PUBLIC_KEY), BoolItem(CKA_TOKEN, true),
                                             BytesItem(CKA_VENDOR_PAIR_ID, pairId.data(), pairId.size())};
    if (!FindObjects(session, query, 1, keys) || keys.empty()) return rc::kCannotConnect;

    std::vector<std::vector<unsigned char>> values;
    if (!ReadAttributes(session, keys[0], {CKA_KEY_TYPE, CKA_VENDOR_TEXT_FORMAT, CKA_MODULUS}, values)) {
        return rc::kReadFailed;
    }
    const std::vector<unsigned char>& format = values[1];
    if (format.size() >= 2 && format[0] == '0' && format[1] == '1') {
        facts.binaryText = true;
    } else if (format.size() >= 2 && format[0] == '0' && format[1] == '2') {
        facts.binaryText = false;
    } else {
        return rc::kBadValue;
    }
    facts.sm2 = UlongFromBytes(values[0]) == CKK_VENDOR_SM2;
    if (facts.sm2) {
        // Anything but an uncompressed 256-bit point cannot fill the Z block.
        if (values[2].size() != kSm2PointLength) return rc::kReadFailed;
        facts.point = std::move(values[2]);
    }
    return 0;
}

std::vector<TemplateItem> PrivateKeyQuery(const std::vector<unsigned char>& pairId) {
    std::vector<unsigned char> id(pairId.begin(), std::find(pairId.begin(), pairId.end(), 0));
    id.push_back(0);
    return {UlongItem(CKA_CLASS, CKO_PRIVATE_KEY), BoolItem(CKA_TOKEN, true),
            BytesItem(CKA_VENDOR_PAIR_ID, id.data(), id.size())};
}

long SignWithToken(const P11Session& session, CK_MECHANISM_TYPE mechanismType, CK_OBJECT_HANDLE key,
                   unsigned char* data, CK_ULONG dataLength, std::vector<unsigned char>& signature) {
    CK_FUNCTION_LIST_PTR f = session.functions();
    CK_MECHANISM mechanism{mechanismType, nullptr, 0};
    if (session.Record("C_SignInit", f->C_SignInit(session.handle(), &mechanism, key)) != CKR_OK) {
        return rc::kCannotConnect;
    }
    std::vector<unsigned char> buffer(kSignatureCapacity);
    CK_ULONG length = buffer.size();
    CK_RV rv = session.Record("C_Sign", f->C_Sign(session.handle(), data, dataLength, buffer.data(), &length));
    if (rv != CKR_OK) return MapSignResult(rv);
    if (length > buffer.size()) return rc::kCannotConnect;
    buffer.resize(length);
    signature = std::move(buffer);
    return 0;
}

}  // namespace

std::string DataForToken(const SignerSelection& signer, const std::string& signingText) {
    if (!signer.sm2) return signingText;
    std::string data(reinterpret_cast<const char*>(signer.z), sizeof signer.z);
    data += signingText;
    return data;
}

long MakeSigningBuffer(bool utf8, const char* xmlMsg, const char* keyMsg, const std::string& filePath, bool binary,
                       const unsigned char* z, const std::vector<unsigned char>& certificate, bool base64InPlace,
                       std::string& buffer, size_t& textStart) {
    std::string made(kSignedDataHeadroom, '\0');
    if (z) made.append(reinterpret_cast<const char*>(z), sizeof SignerSelection::z);
    const size_t start = made.size();
    const size_t tailRoom = SignedDataTailRoom(certificate);
    const CapacityFor capacityFor = [&](size_t textEnd) {
        const size_t derEnd = textEnd + tailRoom;
        return base64InPlace ? Base64InPlaceCapacity(derEnd) : derEnd;
    };
    const long rv = MakeTLVSignFileWithRoom(utf8, xmlMsg, keyMsg, filePath, made, binary, capacityFor);
    if (rv != 0) return rv;
    buffer.swap(made);
    textStart = start;
    return 0;
}

std::string UpperCaseHashName(std::string name) {
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

long MapSignResult(CK_RV rv) {
    if (rv == CKR_OK) return 0;
    if (rv == CKR_CANCEL) return rc::kCancelled;
    if (rv == CKR_VENDOR_USER_TIMEOUT) return rc::kTimedOut;
    return rc::kCannotConnect;
}

long SelectSigner(const P11Session& session, bool utf8, const char* dn, const char* xmlMsg, const char* keyMsg,
                  const std::string& filePath, SigningTextLayout layout, SignerSelection& signer) {
    signer = SignerSelection{};
    if (!dn || !xmlMsg || !keyMsg) return rc::kBadParameter;

    std::vector<CK_OBJECT_HANDLE> certificates;
    if (!FindObjects(session, {UlongItem(CKA_CLASS, CKO_CERTIFICATE), BoolItem(CKA_TOKEN, true)}, kMaxCertificates,
                     certificates)) {
        return rc::kCannotConnect;
    }
    if (certificates.empty()) return rc::kNoCertificate;

    for (CK_OBJECT_HANDLE handle : certificates) {
        std::vector<std::vector<unsigned char>> values;
        if (!ReadAttributes(session, handle, {CKA_VALUE, CKA_VENDOR_PAIR_ID}, values)) return rc::kReadFailed;
        std::string subject;
        // An object that holds no certificate cannot be the signer; another may.
        if (!InvertedSubject(values[0], subject)) continue;
        if (SignMatchDN(subject.c_str(), dn) != 1) continue;

        // The first match is the signer, whatever happens from here on.
        PublicKeyFacts facts;
        long rv = ReadPublicKeyFacts(session, values[1], facts);
        if (rv != 0) return rv;
        if (facts.sm2) {
            unsigned long zLength = sizeof signer.z;
            if (!ComputeZ(facts.point.data() + 1, kSm2CoordinateLength, facts.point.data() + 1 + kSm2CoordinateLength,
                          kSm2CoordinateLength, signer.z, &zLength)) {
                return rc::kGeneralFailure;
            }
        }
        std::string text;
        size_t textStart = 0;
        rv = layout == SigningTextLayout::FilePrefix
                 ? MakePaddingTLVSignFile(utf8, xmlMsg, keyMsg, filePath.c_str(), text, facts.binaryText)
                 : MakeSigningBuffer(utf8, xmlMsg, keyMsg, filePath, facts.binaryText, facts.sm2 ? signer.z : nullptr,
                                     values[0], layout == SigningTextLayout::PackedAsText, text, textStart);
        if (rv != 0) return rv;

        signer.found = true;
        signer.sm2 = facts.sm2;
        signer.binaryText = facts.binaryText;
        signer.certificate = std::move(values[0]);
        signer.pairId = std::move(values[1]);
        signer.text = std::move(text);
        signer.textStart = textStart;
        return 0;
    }
    return 0;
}

long ChooseMechanism(bool sm2, const std::string& upperHashName, CK_MECHANISM_TYPE& mechanism) {
    const std::string& name = upperHashName;
    if (sm2) {
        if (!name.empty() && name != "SM3") return rc::kBadValue;
        mechanism = CKM_VENDOR_SM2_SM3;
        return 0;
    }
    if (name.empty() || name == "SHA1") {
        mechanism = CKM_SHA1_RSA_PKCS;
    } else if (name == "SHA256") {
        mechanism = CKM_SHA256_RSA_PKCS;
    } else if (name == "SHA384") {
        mechanism = CKM_SHA384_RSA_PKCS;
    } else if (name == "SHA512") {
        mechanism = CKM_SHA512_RSA_PKCS;
    } else if (name == "SM3") {
        mechanism = CKM_VENDOR_SM2_SM3;
    } else {
        return rc::kBadValue;
    }
    return 0;
}

long LoginWithPrompt(const P11Session& session, const SelectedToken& token) {
    CK_FUNCTION_LIST_PTR f = session.functions();
    if (!f || !session.isOpen()) return rc::kCannotConnect;
    CK_RV rv = session.Record("C_Login",
                              f->C_Login(session.handle(), CKU_USER, const_cast<CK_UTF8CHAR_PTR>(kPinPromptBlock),
                                         sizeof kPinPromptBlock),
                              CKR_USER_ALREADY_LOGGED_IN);
    return token.MapLoginResult(rv, rc::kBadValue);
}

long FindPrivateKey(const P11Session& session, const std::vector<unsigned char>& pairId, CK_OBJECT_HANDLE& key) {
    std::vector<CK_OBJECT_HANDLE> keys;
    if (!FindObjects(session, PrivateKeyQuery(pairId), 1, keys) || keys.size() != 1) return rc::kCannotConnect;
    key = keys[0];
    return 0;
}

namespace {

// What message signing hands to the packer: the signer with its text, the
// mechanism and the token's signature.
struct SignedMessage {
    SignerSelection signer;
    CK_MECHANISM_TYPE mechanism = 0;
    std::vector<unsigned char> signature;
};

long SignMessage(ModuleConnection& module, const char* dn, const char* xmlMsg, const char* keyMsg,
                 std::string hashName, const std::string& filePath, SigningTextLayout layout, SignedMessage& message) {
    SelectedToken token;
    if (long rule = module.CheckToken(token)) return rule;
    P11Session session;
    if (!token.OpenSession(session)) return rc::kCannotConnect;

    SignerSelection& signer = message.signer;
    const bool utf8 = module.GetCharsetFlag() == 1;
    long rv = SelectSigner(session, utf8, dn, xmlMsg, keyMsg, filePath, layout, signer);
    if (rv != 0) return rv;
    rv = ChooseMechanism(signer.found && signer.sm2, UpperCaseHashName(std::move(hashName)), message.mechanism);
    if (rv != 0) return rv;
    if (!signer.found) return rc::kBadParameter;
    // The token signs the Z value and the text where they lie.
    const size_t dataStart = signer.textStart - (signer.sm2 ? sizeof signer.z : 0);

    rv = LoginWithPrompt(session, token);
    if (rv != 0) return rv;
    CK_OBJECT_HANDLE key = 0;
    rv = FindPrivateKey(session, signer.pairId, key);
    if (rv != 0) return rv;
    rv = SignWithToken(session, message.mechanism, key, reinterpret_cast<unsigned char*>(&signer.text[dataStart]),
                       signer.text.size() - dataStart, message.signature);
    if (rv != 0) return rv;
    session.Close();
    return 0;
}

// Packs what SignMessage made as the result type asks: text, or a Base64Text.
template <typename Result>
long PackSignedMessage(SignedMessage& message, Result& out) {
    SignerSelection& signer = message.signer;
    Result packed;
    const long rv = PackCert2P7InPlace(signer.text, signer.textStart, signer.certificate, message.signature,
                                       message.mechanism, signer.sm2, packed);
    if (rv == 0) out = std::move(packed);
    return rv;
}

}  // namespace

long DeviceP11Operation::GMUSBKeySign(const char* dn, const char* xmlMsg, const char* keyMsg, std::string hashName,
                                      std::string filePath, std::string& out) {
    SignedMessage message;
    const long rv = SignMessage(*m_module, dn, xmlMsg, keyMsg, std::move(hashName), filePath,
                                SigningTextLayout::PackedAsText, message);
    return rv != 0 ? rv : PackSignedMessage(message, out);
}

long DeviceP11Operation::GMUSBKeySign(const char* dn, const char* xmlMsg, const char* keyMsg, std::string hashName,
                                      std::string filePath, Base64Text& out) {
    SignedMessage message;
    const long rv = SignMessage(*m_module, dn, xmlMsg, keyMsg, std::move(hashName), filePath,
                                SigningTextLayout::PackedAsDer, message);
    return rv != 0 ? rv : PackSignedMessage(message, out);
}
