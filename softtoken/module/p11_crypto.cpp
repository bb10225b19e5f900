// Digests, signatures and random numbers through PKCS#11.
#include <cstring>

#include "softtoken/common/key_crypto.h"
#include "softtoken/module/holder.h"
#include "softtoken/module/p11_api.h"
#include "softtoken/module/runtime.h"
#include "softtoken/module/signer.h"

namespace softtoken::p11 {

namespace {

// Both mechanism operations follow PKCS#11: a length query or a too small
// buffer keeps the operation, anything else ends it.
CK_RV FinishMechanismOperation(MechanismOperation& operation, CK_RV rv) {
    operation = MechanismOperation{};
    return rv;
}

}  // namespace

CK_RV DigestInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism) {
    if (!Runtime::Instance().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Session* session = nullptr;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSessionToken(handle, session, store, token); rv != CKR_OK) return rv;
    if (!mechanism) return CKR_ARGUMENTS_BAD;
    if (session->digest.active) return CKR_OPERATION_ACTIVE;
    if (!HashOfDigestMechanism(mechanism->mechanism)) return CKR_MECHANISM_INVALID;
    session->digest = MechanismOperation{true, mechanism->mechanism, 0};
    return CKR_OK;
}

CK_RV Digest(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG dataLength, CK_BYTE_PTR digest,
             CK_ULONG_PTR digestLength) {
    if (!Runtime::Instance().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Session* session = nullptr;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSessionToken(handle, session, store, token); rv != CKR_OK) return rv;
    MechanismOperation& operation = session->digest;
    if (!operation.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (!digestLength || (!data && dataLength)) return FinishMechanismOperation(operation, CKR_ARGUMENTS_BAD);
    HashKind hash = *HashOfDigestMechanism(operation.mechanism);
    size_t size = HashLength(hash);
    if (!digest) {
        *digestLength = size;
        return CKR_OK;
    }
    if (*digestLength < size) {
        *digestLength = size;
        return CKR_BUFFER_TOO_SMALL;
    }
    Bytes value = Hash(hash, data, dataLength);
    if (value.size() != size) return FinishMechanismOperation(operation, CKR_FUNCTION_FAILED);
    std::memcpy(digest, value.data(), size);
    *digestLength = size;
    return FinishMechanismOperation(operation, CKR_OK);
}

CK_RV SignInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    if (!Runtime::Instance().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Session* session = nullptr;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSessionToken(handle, session, store, token); rv != CKR_OK) return rv;
    if (!mechanism) return CKR_ARGUMENTS_BAD;
    if (session->sign.active) return CKR_OPERATION_ACTIVE;
    const TokenObject* privateKey = token.FindObject(key);
    if (!privateKey || !privateKey->IsClass(CKO_PRIVATE_KEY)) return CKR_KEY_HANDLE_INVALID;
    if (CK_RV rv = CheckSignMechanism(mechanism->mechanism, *privateKey); rv != CKR_OK) return rv;
    session->sign = MechanismOperation{true, mechanism->mechanism, key};
    return CKR_OK;
}

CK_RV Sign(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG dataLength, CK_BYTE_PTR signature,
           CK_ULONG_PTR signatureLength) {
    Runtime& runtime = Runtime::Instance();
    if (!runtime.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Session* session = nullptr;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSessionToken(handle, session, store, token); rv != CKR_OK) return rv;
    MechanismOperation& operation = session->sign;
    if (!operation.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (!signatureLength || (!data && dataLength)) return FinishMechanismOperation(operation, CKR_ARGUMENTS_BAD);
    const TokenObject* privateKey = token.FindObject(operation.key);
    if (!privateKey) return FinishMechanismOperation(operation, CKR_KEY_HANDLE_INVALID);
    EvpPkeyPtr key = LoadPrivateKey(*privateKey);
    if (!key) return FinishMechanismOperation(operation, CKR_DEVICE_ERROR);
    size_t size = SignatureLength(key.get());
    if (!signature) {
        *signatureLength = size;
        return CKR_OK;
    }
    if (*signatureLength < size) {
        *signatureLength = size;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (!runtime.IsLoggedIn(token.number)) return FinishMechanismOperation(operation, CKR_USER_NOT_LOGGED_IN);

    Bytes result;
    CK_RV rv = SignLikeToken(token, *privateKey, operation.mechanism, data, dataLength, result);
    if (rv != CKR_OK) return FinishMechanismOperation(operation, rv);
    rv = CommonAnswer(*store, token, AskHolder(*store, token, HolderPoint::Sign));
    if (rv != CKR_OK) return FinishMechanismOperation(operation, rv);
    if (result.size() > *signatureLength) return FinishMechanismOperation(operation, CKR_FUNCTION_FAILED);
    std::memcpy(signature, result.data(), result.size());
    *signatureLength = result.size();
    return FinishMechanismOperation(operation, CKR_OK);
}

CK_RV GenerateRandom(CK_SESSION_HANDLE handle, CK_BYTE_PTR out, CK_ULONG length) {
    if (!Runtime::Instance().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Session* session = nullptr;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSessionToken(handle, session, store, token); rv != CKR_OK) return rv;
    if (!out && length) return CKR_ARGUMENTS_BAD;
    return RandomBytes(out, length) ? CKR_OK : CKR_FUNCTION_FAILED;
}

}  // namespace softtoken::p11
