// "CertInfo" parsing, subject-DN validation and the DER Name of a request.
#include "device/pkcs10.h"

#include <algorithm>
#include <cstring>

#include "support/der.h"
#include "support/result_codes.h"

namespace {

constexpr unsigned long kNameBodyCapacity = 4096;

struct DnAttribute {
    const char* key;
    unsigned char oid[11];  // DER, tag and length included
    unsigned long oidLength;
    bool email;
};

const DnAttribute kDnAttributes[] = {
    {"OU", {0x06, 0x03, 0x55, 0x04, 0x0B}, 5, false},
    {"CN", {0x06, 0x03, 0x55, 0x04, 0x03}, 5, false},
    {"C", {0x06, 0x03, 0x55, 0x04, 0x06}, 5, false},
    {"L", {0x06, 0x03, 0x55, 0x04, 0x07}, 5, false},
    {"ST", {0x06, 0x03, 0x55, 0x04, 0x08}, 5, false},
    {"O", {0x06, 0x03, 0x55, 0x04, 0x0A}, 5, false},
    {"Email", {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01}, 11, true},
    {"SN", {0x06, 0x03, 0x55, 0x04, 0x04}, 5, false},
    {"title", {0x06, 0x03, 0x55, 0x04, 0x0C}, 5, false},
    {"serialNumber", {0x06, 0x03, 0x55, 0x04, 0x05}, 5, false},
};

const DnAttribute* FindDnAttribute(const std::string& key) {
    for (const DnAttribute& attribute : kDnAttributes) {
        if (key == attribute.key) return &attribute;
    }
    return nullptr;
}

// Walks the comma-separated items of a DN. No blanks are trimmed and there
// is no escaping, so a value can hold "=" but never ",".
class DnItems {
public:
    explicit DnItems(const std::string& dn) : dn_(dn) {}

    // False once the last item has been taken.
    bool Next(std::string& item) {
        if (done_) return false;
        size_t comma = dn_.find(',', position_);
        if (comma == std::string::npos) {
            item = dn_.substr(position_);
            done_ = true;
        } else {
            item = dn_.substr(position_, comma - position_);
            position_ = comma + 1;
        }
        return true;
    }

private:
    const std::string& dn_;
    size_t position_ = 0;
    bool done_ = false;
};

bool IsOneOf(const std::string& value, std::initializer_list<const char*> allowed) {
    return std::any_of(allowed.begin(), allowed.end(), [&](const char* a) { return value == a; });
}

// The text between the first `open` and the first `close`, both searched
// from the start of the block. closeAtLast: the last occurrence of `close`.
bool CutField(const std::string& block, const char* open, const char* close, bool closeAtLast, std::string& field) {
    size_t start = block.find(open);
    size_t end = closeAtLast ? block.rfind(close) : block.find(close);
    if (start == std::string::npos || end == std::string::npos) return false;
    start += std::strlen(open);
    if (end < start) return false;  // markers out of order: no field between them
    field = block.substr(start, end - start);
    return true;
}

// Appends one RDN, SET { SEQUENCE { attribute OID, value } }, to body.
void SetSubjectDNItem(const unsigned char* oid, unsigned long oidLength, const unsigned char* value,
                      unsigned long valueLength, std::vector<unsigned char>& body, bool email) {
    std::vector<unsigned char> attribute(oid, oid + oidLength);
    der::AppendElement(attribute, email ? 0x16 : 0x0C, value, valueLength);
    std::vector<unsigned char> sequence;
    der::AppendElement(sequence, der::kTagSequence, attribute.data(), attribute.size());
    der::AppendElement(body, der::kTagSet, sequence.data(), sequence.size());
}

}  // namespace

bool ParsePKCS10Param(const std::string& certInfo, pkcs10info* infos, unsigned int* count) {
    if (!infos || !count) return false;
    std::vector<std::string> blocks;
    size_t separator = certInfo.find("||");
    if (separator == std::string::npos) {
        blocks.push_back(certInfo);
    } else {
        blocks.push_back(certInfo.substr(0, separator));
        blocks.push_back(certInfo.substr(separator + 2));
        if (blocks[1].find("||") != std::string::npos) return false;
    }
    *count = static_cast<unsigned int>(blocks.size());

    for (size_t i = 0; i < blocks.size(); ++i) {
        std::string dn, hash, keyType, certType;
        if (!CutField(blocks[i], "DN(", ")HASH", false, dn) || !CutField(blocks[i], "HASH(", ")KEYTYPE", false, hash) ||
            !CutField(blocks[i], "KEYTYPE(", ")CERTTYPE", false, keyType) ||
            !CutField(blocks[i], "CERTTYPE(", ")", true, certType)) {
            return false;
        }
        infos[i].dn = dn;
        infos[i].hashAlg = hash;
        infos[i].keyAlg = keyType;
        infos[i].certType = certType;
        if (!IsRightDN(dn)) return false;
        if (!IsOneOf(hash, {"MD5", "SHA1", "SHA256", "SHA384", "SHA512", "SM3"})) return false;
        if (!IsOneOf(keyType, {"RSA1024", "RSA2048", "SM2256"})) return false;
        if (!IsOneOf(certType, {"01", "02", "03"})) return false;
    }
    return true;
}

bool IsRightDN(const std::string& dn) {
    DnItems items(dn);
    std::string item;
    while (items.Next(item)) {
        size_t equals = item.find('=');
        if (equals == std::string::npos || !FindDnAttribute(item.substr(0, equals))) return false;
    }
    return true;
}

long GetSubjectDN(const std::string& dn, unsigned char* out, unsigned long* length) {
    std::vector<unsigned char> body;
    bool tooLong = false;  // every item is still checked, so a bad key wins over size
    DnItems items(dn);
    std::string item;
    while (items.Next(item)) {
        size_t equals = item.find('=');
        if (equals == std::string::npos) return rc::kBadParameter;
        const DnAttribute* attribute = FindDnAttribute(item.substr(0, equals));
        if (!attribute) return rc::kBadParameter;
        unsigned long valueLength = item.size() - equals - 1;
        tooLong = tooLong || valueLength > kNameBodyCapacity;
        if (!tooLong) {
            SetSubjectDNItem(attribute->oid, attribute->oidLength,
                             reinterpret_cast<const unsigned char*>(item.data()) + equals + 1, valueLength, body,
                             attribute->email);
            tooLong = body.size() > kNameBodyCapacity;
        }
    }
    if (tooLong) return rc::kBufferTooSmall;
    std::vector<unsigned char> name;
    der::AppendElement(name, der::kTagSequence, body.data(), body.size());
    if (!out || !length || *length < name.size()) return rc::kBufferTooSmall;
    std::copy(name.begin(), name.end(), out);
    *length = name.size();
    return 0;
}
