#include "device/keyid_lookup.h"

#include <openssl/x509.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <memory>

#include "device/module_connection.h"
#include "device/p11_session.h"
#include "support/Gener_Func.h"
#include "support/openssl_ptr.h"
#include "support/result_codes.h"

namespace {

constexpr CK_ULONG kMaxCertificates = 100;
constexpr unsigned char kSm2Tag = 0x1B;
constexpr unsigned char kRsaTag = 0x2B;
constexpr int kFirstRsaNumber = 2, kLastRsaNumber = 9;
constexpr int kFirstSm2Number = 11, kLastSm2Number = 16;

struct KeyIdPair {
    unsigned char tag;
    unsigned char number;
};

bool IsRsaNumber(int n) { return n >= kFirstRsaNumber && n <= kLastRsaNumber; }
bool IsSm2Number(int n) { return n >= kFirstSm2Number && n <= kLastSm2Number; }

// The module's pair for a key number: SM2 keys carry index + 1, RSA keys
// index + 2 (the key number itself).
bool KeyIdPairOf(int keyNumber, KeyIdPair& pair) {
    if (IsSm2Number(keyNumber)) {
        pair = {kSm2Tag, static_cast<unsigned char>(keyNumber - 10)};
        return true;
    }
    if (IsRsaNumber(keyNumber)) {
        pair = {kRsaTag, static_cast<unsigned char>(keyNumber)};
        return true;
    }
    return false;
}

bool NumberAlreadyListed(const std::vector<unsigned char>& list, unsigned char number) {
    for (size_t i = 1; i < list.size(); i += 2) {
        if (list[i] == number) return true;
    }
    return false;
}

bool PairAlreadyListed(const std::vector<unsigned char>& list, const KeyIdPair& pair) {
    for (size_t i = 0; i + 1 < list.size(); i += 2) {
        if (list[i] == pair.tag && list[i + 1] == pair.number) return true;
    }
    return false;
}

void AppendPair(std::vector<unsigned char>& list, const KeyIdPair& pair) {
    list.push_back(pair.tag);
    list.push_back(pair.number);
}

// atoi without its undefined overflow: out-of-range values are clamped, which
// keeps them outside every key-number range.
int ToNumber(const std::string& text) {
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::vector<std::string> SplitAtSeparator(const std::string& text) {
    static const std::string kSeparator = "||";
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t at = text.find(kSeparator); at != std::string::npos; at = text.find(kSeparator, start)) {
        pieces.push_back(text.substr(start, at - start));
        start = at + kSeparator.size();
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

std::vector<TemplateItem> CertificateTemplate() {
    return {UlongItem(CKA_CLASS, CKO_CERTIFICATE), BoolItem(CKA_TOKEN, true)};
}

std::vector<TemplateItem> WithPairId(std::vector<TemplateItem> items, const std::vector<unsigned char>& pairId) {
    items.push_back(BytesItem(CKA_VENDOR_PAIR_ID, pairId.data(), pairId.size()));
    return items;
}

std::vector<TemplateItem> PublicKeyTemplate() {
    return {UlongItem(CKA_CLASS, CKO_PUBLIC_KEY), BoolItem(CKA_TOKEN, true)};
}

}  // namespace

int KeyNumberOf(const std::vector<unsigned char>& keyType, const std::vector<unsigned char>& index) {
    if (keyType.size() != sizeof(CK_KEY_TYPE) || index.empty()) return -1;
    const CK_KEY_TYPE type = UlongFromBytes(keyType);
    const int number = index[0] + (type == CKK_RSA ? kFirstRsaNumber : kFirstSm2Number);
    if (type == CKK_RSA && IsRsaNumber(number)) return number;
    if (type == CKK_VENDOR_SM2 && IsSm2Number(number)) return number;
    return -1;
}

bool InvertedSubjectOf(const std::vector<unsigned char>& der, std::string& dn) {
    const unsigned char* cursor = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!certificate) return false;
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    // The one-line form is cut to the size of the name's DER encoding, as the
    // browser side has always seen it.
    const int derLength = subject ? i2d_X509_NAME(subject, nullptr) : 0;
    std::vector<char> oneLine(derLength > 0 ? static_cast<size_t>(derLength) : 1, '\0');
    if (derLength > 0) X509_NAME_oneline(subject, oneLine.data(), derLength);
    dn = InvertDN(oneLine.data(), derLength);
    return true;
}

bool GetPubKidByDN(const SelectedToken& token, const std::string& dn, std::vector<unsigned char>& list, bool signMode) {
    P11Session session;
    if (!token.OpenSession(session)) return false;
    std::vector<CK_OBJECT_HANDLE> certificates;
    if (!FindObjects(session, CertificateTemplate(), kMaxCertificates, certificates) || certificates.empty()) {
        return false;
    }
    for (CK_OBJECT_HANDLE certificate : certificates) {
        std::vector<unsigned char> value;
        if (!ReadAttribute(session, certificate, CKA_VALUE, value)) return false;
        if (value.empty()) continue;
        std::string subject;
        if (!InvertedSubjectOf(value, subject)) return false;
        const bool matches = signMode ? SignMatchDN(subject.c_str(), dn.c_str()) == 1
                                      : IsMatchCertDN(subject.c_str(), dn.c_str()) == 1;
        if (!matches) continue;

        std::vector<unsigned char> pairId;
        if (!ReadAttribute(session, certificate, CKA_VENDOR_PAIR_ID, pairId)) return false;
        std::vector<CK_OBJECT_HANDLE> keys;
        if (!FindObjects(session, WithPairId(PublicKeyTemplate(), pairId), 1, keys)) return false;
        if (keys.empty()) {
            if (signMode) return false;
            continue;
        }
        std::vector<std::vector<unsigned char>> attributes;
        if (!ReadAttributes(session, keys[0], {CKA_VENDOR_KEY_INDEX, CKA_KEY_TYPE}, attributes)) return false;
        KeyIdPair pair{};
        if (!KeyIdPairOf(KeyNumberOf(attributes[1], attributes[0]), pair)) continue;
        // Only the number byte decides: an RSA 2 keeps an SM2 pair numbered 2 out.
        if (!NumberAlreadyListed(list, pair.number)) AppendPair(list, pair);
    }
    return true;
}

bool GetPubKidByKid(const SelectedToken& token, const std::string& kid, std::vector<unsigned char>& list) {
    for (char c : kid) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    const int keyNumber = ToNumber(kid);
    KeyIdPair pair{};
    if (!KeyIdPairOf(keyNumber, pair) || !CheckPubKeyIsValid(token, keyNumber)) return false;
    AppendPair(list, pair);
    return true;
}

long TransPubKid(const SelectedToken& token, std::vector<unsigned char>& list, const char* keyIds) {
    if (!keyIds) return rc::kBadParameter;
    const std::string text(keyIds);
    const std::vector<std::string> pieces = SplitAtSeparator(text);
    // A lone key number is written with two digits ("02").
    if (pieces.size() == 1 && text.size() != 2) return rc::kBadParameter;
    for (const std::string& piece : pieces) {
        const int keyNumber = ToNumber(piece);
        KeyIdPair pair{};
        if (!KeyIdPairOf(keyNumber, pair)) return rc::kBadValue;
        if (PairAlreadyListed(list, pair)) continue;
        if (!CheckPubKeyIsValid(token, keyNumber)) return rc::kBadValue;
        AppendPair(list, pair);
    }
    return 0;
}

bool CheckPubKeyIsValid(const SelectedToken& token, int keyNumber) {
    P11Session session;
    if (!token.OpenSession(session)) return false;
    if (!IsRsaNumber(keyNumber) && !IsSm2Number(keyNumber)) return false;
    const CK_KEY_TYPE keyType = IsRsaNumber(keyNumber) ? CKK_RSA : CKK_VENDOR_SM2;
    const unsigned char index =
        static_cast<unsigned char>(keyNumber - (IsRsaNumber(keyNumber) ? kFirstRsaNumber : kFirstSm2Number));

    std::vector<TemplateItem> keyTemplate = PublicKeyTemplate();
    keyTemplate.push_back(UlongItem(CKA_KEY_TYPE, keyType));
    keyTemplate.push_back(BytesItem(CKA_VENDOR_KEY_INDEX, &index, 1));
    std::vector<CK_OBJECT_HANDLE> keys;
    if (!FindObjects(session, keyTemplate, 1, keys) || keys.size() != 1) return false;

    std::vector<unsigned char> pairId;
    if (!ReadAttribute(session, keys[0], CKA_VENDOR_PAIR_ID, pairId)) return false;
    // A temporary key is one whose pair no certificate carries yet.
    std::vector<CK_OBJECT_HANDLE> certificates;
    return FindObjects(session, WithPairId(CertificateTemplate(), pairId), 1, certificates) && certificates.empty();
}
