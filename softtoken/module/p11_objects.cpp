// Object search, attribute reads and object removal.
#include <algorithm>
#include <cstring>

#include "softtoken/module/p11_api.h"
#include "softtoken/module/runtime.h"

namespace softtoken::p11 {

namespace {

bool IsKeyMaterial(CK_ATTRIBUTE_TYPE type) {
    switch (type) {
        case CKA_VALUE:
        case CKA_PRIVATE_EXPONENT:
        case CKA_PRIME_1:
        case CKA_PRIME_2:
        case CKA_EXPONENT_1:
        case CKA_EXPONENT_2:
        case CKA_COEFFICIENT:
            return true;
        default:
            return false;
    }
}

bool Matches(const TokenObject& object, const CK_ATTRIBUTE* templ, CK_ULONG count) {
    for (CK_ULONG i = 0; i < count; ++i) {
        const Bytes* value = object.Attribute(templ[i].type);
        if (!value || value->size() != templ[i].ulValueLen) return false;
        if (!value->empty() && std::memcmp(value->data(), templ[i].pValue, value->size()) != 0) return false;
    }
    return true;
}

// Fills one template entry; returns its own result code.
CK_RV ReadOne(const TokenObject& object, CK_ATTRIBUTE& attribute) {
    if (object.IsClass(CKO_PRIVATE_KEY) && IsKeyMaterial(attribute.type)) {
        attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_ATTRIBUTE_SENSITIVE;
    }
    const Bytes* value = object.Attribute(attribute.type);
    if (!value) {
        attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_ATTRIBUTE_TYPE_INVALID;
    }
    if (!attribute.pValue) {
        attribute.ulValueLen = value->size();
        return CKR_OK;
    }
    if (attribute.ulValueLen < value->size()) {
        attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (!value->empty()) std::memcpy(attribute.pValue, value->data(), value->size());
    attribute.ulValueLen = value->size();
    return CKR_OK;
}

}  // namespace

CK_RV FindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
    if (!Runtime::Instance().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Session* session = nullptr;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSessionToken(handle, session, store, token); rv != CKR_OK) return rv;
    if (session->find.active) return CKR_OPERATION_ACTIVE;
    if (!templ && count) return CKR_ARGUMENTS_BAD;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (!templ[i].pValue && templ[i].ulValueLen) return CKR_ARGUMENTS_BAD;
    }
    FindOperation find;
    find.active = true;
    for (const TokenObject& object : token.objects) {
        if (Matches(object, templ, count)) find.matches.push_back(object.handle);
    }
    session->find = std::move(find);
    return CKR_OK;
}

CK_RV FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maxCount, CK_ULONG_PTR count) {
    Runtime& runtime = Runtime::Instance();
    if (!runtime.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Session* session = runtime.FindSession(handle);
    if (!session) return CKR_SESSION_HANDLE_INVALID;
    if (!session->find.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (!count || (!objects && maxCount)) return CKR_ARGUMENTS_BAD;
    FindOperation& find = session->find;
    size_t available = find.matches.size() - find.next;
    size_t taken = std::min<size_t>(available, maxCount);
    std::copy_n(find.matches.begin() + static_cast<std::ptrdiff_t>(find.next), taken, objects);
    find.next += taken;
    *count = taken;
    return CKR_OK;
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE handle) {
    Runtime& runtime = Runtime::Instance();
    if (!runtime.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Session* session = runtime.FindSession(handle);
    if (!session) return CKR_SESSION_HANDLE_INVALID;
    if (!session->find.active) return CKR_OPERATION_NOT_INITIALIZED;
    session->find = FindOperation{};
    return CKR_OK;
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
    if (!Runtime::Instance().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Session* session = nullptr;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSessionToken(handle, session, store, token); rv != CKR_OK) return rv;
    const TokenObject* found = token.FindObject(object);
    if (!found) return CKR_OBJECT_HANDLE_INVALID;
    if (!templ && count) return CKR_ARGUMENTS_BAD;
    CK_RV result = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_RV rv = ReadOne(*found, templ[i]);
        if (result == CKR_OK) result = rv;  // every entry is filled; the first problem is reported
    }
    return result;
}

CK_RV DestroyObject(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object) {
    if (!Runtime::Instance().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Session* session = nullptr;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSessionToken(handle, session, store, token); rv != CKR_OK) return rv;
    if (!token.RemoveObject(object)) return CKR_OBJECT_HANDLE_INVALID;
    return store->Save(token) ? CKR_OK : CKR_DEVICE_ERROR;
}

}  // namespace softtoken::p11
