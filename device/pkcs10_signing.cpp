// Signing of certificate requests by their new keys: the sign-info record
// for the token's one-call signing, and the PKCS#11 path for tokens without
// the extended interface.
#include "device/pkcs10.h"

#include <algorithm>

#include "device/hashing.h"
#include "device/module_connection.h"
#include "device/p11_session.h"
#include "support/result_codes.h"

namespace {

constexpr unsigned long kSignInfoSize = 2048;   // sign-info record and response areas
constexpr unsigned long kSignatureSize = 1024;  // one signature
constexpr unsigned long kHashSize = 256;

constexpr unsigned char kKindRsa = 0x23;
constexpr unsigned char kKindSm2 = 0x13;

struct RsaMechanism {
    const char* hash;
    CK_MECHANISM_TYPE mechanism;
};
const RsaMechanism kRsaMechanisms[] = {
    {"MD5", CKM_MD5_RSA_PKCS},       {"SHA1", CKM_SHA1_RSA_PKCS},     {"SHA256", CKM_SHA256_RSA_PKCS},
    {"SHA384", CKM_SHA384_RSA_PKCS}, {"SHA512", CKM_SHA512_RSA_PKCS},
};

struct KeyEntry {
    unsigned char kind = 0;
    unsigned char number = 0;
};

// Kind and key number of the public key(s) of a pair; the last key read decides.
bool ReadKeyEntry(const P11Session& session, const std::vector<unsigned char>& pairId, KeyEntry& entry) {
    std::vector<CK_OBJECT_HANDLE> keys;
    if (!FindObjects(session,
                     {UlongItem(CKA_CLASS, CKO_PUBLIC_KEY), BoolItem(CKA_TOKEN, true),
                      BytesItem(CKA_VENDOR_PAIR_ID, pairId.data(), pairId.size())},
                     100, keys)) {
        return false;
    }
    for (CK_OBJECT_HANDLE key : keys) {
        std::vector<std::vector<unsigned char>> values;
        if (!ReadAttributes(session, key, {CKA_VENDOR_KEY_INDEX, CKA_KEY_TYPE}, values)) return false;
        unsigned char index = values[0].empty() ? 0 : values[0][0];
        CK_ULONG keyType = UlongFromBytes(values[1]);
        if (keyType == CKK_RSA) {
            entry = KeyEntry{kKindRsa, static_cast<unsigned char>(index + 2)};
        } else if (keyType == CKK_VENDOR_SM2) {
            entry = KeyEntry{kKindSm2, static_cast<unsigned char>(index + 1)};
        }
    }
    return true;
}

}  // namespace

long GetPKCS10SignInfo(ModuleConnection& module, SelectedToken& token, unsigned int count, const unsigned char* records,
                       const std::string& hash1, const unsigned char* data1, unsigned long length1,
                       const std::string& hash2, const unsigned char* data2, unsigned long length2, unsigned char* info,
                       unsigned int* infoLength) {
    if (count != 1 && count != 2) return rc::kGeneralFailure;
    if (!records || !info || !infoLength) return rc::kGeneralFailure;
    if (long rule = module.CheckToken(token)) return rule;

    KeyEntry entries[2];
    {
        P11Session session;
        if (!token.OpenSession(session)) return rc::kCannotConnect;
        for (unsigned int i = 0; i < count; ++i) {
            if (!ReadKeyEntry(session, PairIdOfRecord(records + i * kKeyRecordSize), entries[i])) {
                return rc::kCannotConnect;
            }
        }
    }

    const std::string* hashes[2] = {&hash1, &hash2};
    const unsigned char* data[2] = {data1, data2};
    const unsigned long lengths[2] = {length1, length2};
    unsigned long offset = 0;
    for (unsigned int i = 0; i < count; ++i) {
        unsigned char hashType = 0;
        unsigned char hash[kHashSize] = {};
        unsigned long hashLength = sizeof hash;
        if (lengths[i] > UINT32_MAX ||
            !GetHashValue(token, *hashes[i], data[i], static_cast<uint32_t>(lengths[i]), &hashType, hash,
                          &hashLength) ||
            hashLength > 0xFF || offset + 4 + hashLength > kSignInfoSize) {
            return rc::kGeneralFailure;
        }
        info[offset] = entries[i].kind;
        info[offset + 1] = entries[i].number;
        info[offset + 2] = hashType;
        info[offset + 3] = static_cast<unsigned char>(hashLength);
        std::copy(hash, hash + hashLength, info + offset + 4);
        offset += 4 + hashLength;
    }
    *infoLength = static_cast<unsigned int>(offset);
    return 0;
}

bool SignInfoHashes(const unsigned char* info, unsigned long infoLength, unsigned int count,
                    std::vector<std::vector<unsigned char>>& hashes) {
    hashes.clear();
    if (!info) return false;
    unsigned long offset = 0;
    for (unsigned int i = 0; i < count; ++i) {
        if (infoLength < 4 || offset > infoLength - 4) return false;
        unsigned long hashLength = info[offset + 3];
        if (offset + 4 + hashLength > infoLength) return false;
        hashes.emplace_back(info + offset + 4, info + offset + 4 + hashLength);
        offset += 4 + hashLength;
    }
    return true;
}

long ParseSignRequestResponse(const unsigned char* response, unsigned long capacity, unsigned int count,
                              std::vector<std::vector<unsigned char>>& signatures) {
    signatures.clear();
    if (!response) return rc::kRequestSigningFailed;
    unsigned long offset = 0;
    for (unsigned int i = 0; i < count; ++i) {
        if (capacity < 2 || offset > capacity - 2) return rc::kRequestSigningFailed;
        unsigned long length = (static_cast<unsigned long>(response[offset]) << 8) | response[offset + 1];
        offset += 2;
        // An empty signature is a token failure, not something to put in a request.
        if (length == 0 || length > kSignatureSize || length > capacity - offset) return rc::kRequestSigningFailed;
        signatures.emplace_back(response + offset, response + offset + length);
        offset += length;
    }
    return 0;
}

long FGMSignPKCS10Info(const SelectedToken& token, const std::string& hash, const unsigned char* record,
                       const unsigned char* hashBytes, long hashLength, unsigned char* signature,
                       long* signatureLength) {
    if (!record || !hashBytes || hashLength < 0 || !signature || !signatureLength) {
        return rc::kCannotConnect;
    }
    P11Session session;
    if (!token.OpenSession(session)) return rc::kCannotConnect;
    CK_FUNCTION_LIST_PTR f = session.functions();

    std::vector<unsigned char> pairId = PairIdOfRecord(record);
    std::vector<CK_OBJECT_HANDLE> keys;
    if (!FindObjects(session,
                     {UlongItem(CKA_CLASS, CKO_PRIVATE_KEY), BoolItem(CKA_TOKEN, true),
                      BytesItem(CKA_VENDOR_PAIR_ID, pairId.data(), pairId.size())},
                     1, keys) ||
        keys.size() != 1) {
        return rc::kCannotConnect;
    }
    const RsaMechanism* chosen = nullptr;
    for (const RsaMechanism& m : kRsaMechanisms) {
        if (hash == m.hash) chosen = &m;
    }
    if (!chosen) return rc::kCannotConnect;

    CK_RV rv = session.Record("C_Login",
                              f->C_Login(session.handle(), CKU_USER, const_cast<unsigned char*>(kPinPromptBlock),
                                         sizeof kPinPromptBlock),
                              CKR_USER_ALREADY_LOGGED_IN);
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
        session.Close();
        return token.MapLoginResult(rv, rc::kBadValue);
    }

    CK_MECHANISM mechanism{chosen->mechanism, nullptr, 0};
    if (session.Record("C_SignInit", f->C_SignInit(session.handle(), &mechanism, keys[0])) != CKR_OK) {
        return rc::kCannotConnect;
    }
    std::vector<unsigned char> buffer(kSignatureSize, 0);
    CK_ULONG length = buffer.size();
    if (session.Record("C_Sign", f->C_Sign(session.handle(), const_cast<unsigned char*>(hashBytes),
                                           static_cast<CK_ULONG>(hashLength), buffer.data(), &length)) != CKR_OK ||
        length > buffer.size() || length > static_cast<unsigned long>(*signatureLength)) {
        return rc::kCannotConnect;
    }
    session.Close();
    std::copy(buffer.begin(), buffer.begin() + length, signature);
    *signatureLength = static_cast<long>(length);
    return 0;
}

long SignPKCS10Requests(const SelectedToken& token, bool extendedInfo, unsigned int count, const pkcs10info* infos,
                        const unsigned char* records, const unsigned char* signInfo, unsigned int signInfoLength,
                        std::vector<std::vector<unsigned char>>& signatures) {
    signatures.clear();
    if (extendedInfo) {
        auto signRequests = AuxEntryAt<E_SignRequestInfo_t>(token.aux, AUX_SIGN_REQUEST_INFO);
        if (!signRequests) return rc::kRequestSigningFailed;
        std::vector<unsigned char> response(kSignInfoSize, 0);
        CK_ULONG responseLength = response.size();
        CK_RV rv = token.Record("E_SignRequestInfo", signRequests(token.slot, count, signInfo, signInfoLength,
                                                                  response.data(), &responseLength));
        if (rv == CKR_CANCEL) return rc::kCancelled;
        if (rv == CKR_PIN_LOCKED) return rc::kPinLocked;
        if (rv != CKR_OK) return rc::kRequestSigningFailed;
        return ParseSignRequestResponse(response.data(), response.size(), count, signatures);
    }

    std::vector<std::vector<unsigned char>> hashes;
    if (!SignInfoHashes(signInfo, signInfoLength, count, hashes)) return rc::kGeneralFailure;
    for (unsigned int i = 0; i < count; ++i) {
        std::vector<unsigned char> signature(kSignatureSize, 0);
        long length = static_cast<long>(signature.size());
        long code = FGMSignPKCS10Info(token, infos[i].hashAlg, records + i * kKeyRecordSize, hashes[i].data(),
                                      static_cast<long>(hashes[i].size()), signature.data(), &length);
        if (code != 0) return code;
        signature.resize(static_cast<size_t>(length));
        signatures.push_back(std::move(signature));
    }
    return 0;
}
