// A token module that stands between the host and the software token and
// falsifies the token's answers as a script says: lengths larger than the
// buffer they describe, huge or zero lengths, shortened answers, scrambled
// bytes, unterminated texts, object counts beyond what was asked for, and
// failures after the work was done. With an empty script every answer passes
// unchanged, so the fuzzer starts from the real conversation.
//
// The script is set by the fuzz target through TamperingModule_SetScript;
// TamperingModule_OpenSessions tells how many sessions the host left open.
#include <dlfcn.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "token_module/token_module.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// ---- the script ----

const uint8_t* g_script = nullptr;
size_t g_scriptSize = 0;
size_t g_scriptPosition = 0;

uint8_t NextByte() { return g_scriptPosition < g_scriptSize ? g_script[g_scriptPosition++] : 0; }

uint64_t NextNumber(int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | NextByte();
    return value;
}

enum class Tamper : uint8_t {
    Pass,
    LongerThanBuffer,  // report more than the buffer holds
    Huge,              // report an absurd length
    Shorter,           // report less than was written
    Zero,              // report nothing written
    Scramble,          // change the bytes written
    Unterminated,      // fill the whole buffer without a zero byte
    Fail,              // do the work, then report a failure
    Count
};

Tamper NextTamper() {
    const uint8_t byte = NextByte();
    return static_cast<Tamper>(byte % static_cast<uint8_t>(Tamper::Count));
}

CK_RV NextFailure() {
    static const CK_RV kFailures[] = {CKR_GENERAL_ERROR,   CKR_BUFFER_TOO_SMALL,    CKR_CANCEL,
                                      CKR_PIN_INCORRECT,   CKR_PIN_LOCKED,          CKR_ARGUMENTS_BAD,
                                      CKR_DEVICE_ERROR,    CKR_DEVICE_REMOVED,      CKR_VENDOR_USER_TIMEOUT,
                                      CKR_USER_NOT_LOGGED_IN, CKR_ATTRIBUTE_TYPE_INVALID, CKR_FUNCTION_NOT_SUPPORTED,
                                      CKR_USER_ALREADY_LOGGED_IN, CKR_PIN_EXPIRED, CKR_DATA_LEN_RANGE};
    return kFailures[NextByte() % (sizeof kFailures / sizeof kFailures[0])];
}

CK_ULONG HugeLength() {
    static const CK_ULONG kHuge[] = {~CK_ULONG(0), ~CK_ULONG(0) - 1, 0xFFFFFFFFUL, 0x80000000UL,
                                     0x7FFFFFFFUL, CK_ULONG(1) << 40, 0x10000UL,   0x100000UL};
    return kHuge[NextByte() % (sizeof kHuge / sizeof kHuge[0])];
}

void Scramble(unsigned char* out, CK_ULONG count) {
    const CK_ULONG changes = 1 + NextByte() % 8;
    for (CK_ULONG i = 0; i < changes && count > 0; ++i) {
        out[NextNumber(2) % count] = NextByte();
    }
}

// Falsifies one answer of the "buffer, capacity, length" shape. The module
// never writes past capacity; only what it reports is a lie.
CK_RV TamperOutput(CK_RV rv, unsigned char* out, CK_ULONG capacity, CK_ULONG* length) {
    if (length == nullptr) return rv;
    const CK_ULONG written = out ? std::min(*length, capacity) : 0;
    switch (NextTamper()) {
    case Tamper::Pass:
        return rv;
    case Tamper::LongerThanBuffer:
        *length = (out ? capacity : *length) + 1 + NextNumber(2);
        return rv;
    case Tamper::Huge:
        *length = HugeLength();
        return rv;
    case Tamper::Shorter:
        *length = *length ? NextNumber(2) % *length : 0;
        return rv;
    case Tamper::Zero:
        *length = 0;
        return rv;
    case Tamper::Scramble:
        if (out) Scramble(out, written);
        return rv;
    case Tamper::Unterminated:
        if (out && capacity > 0) {
            const unsigned char fill = NextByte() | 1;
            std::memset(out, fill, capacity);
            *length = capacity;
        }
        return rv;
    case Tamper::Fail:
    case Tamper::Count:
        break;
    }
    return NextFailure();
}

// Falsifies a fixed-size answer without a length.
CK_RV TamperFixed(CK_RV rv, unsigned char* out, CK_ULONG size) {
    switch (NextTamper()) {
    case Tamper::Pass:
        return rv;
    case Tamper::Fail:
        return NextFailure();
    case Tamper::Scramble:
        if (out) Scramble(out, size);
        return rv;
    default:
        if (out && size > 0) std::memset(out, NextByte() | 1, size);
        return rv;
    }
}

// ---- the real module ----

CK_FUNCTION_LIST_PTR g_real = nullptr;
AUX_FUNCTION_LIST* g_realAux = nullptr;
CK_FUNCTION_LIST g_list;
AUX_FUNCTION_LIST g_aux;
long g_openSessions = 0;

template <typename Fn>
Fn RealAux(AuxEntry position) {
    return AuxEntryAt<Fn>(g_realAux, position);
}

// ---- PKCS#11 entries ----

CK_RV GetSlotList(CK_BBOOL present, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count) {
    const CK_ULONG capacity = count ? *count : 0;
    CK_RV rv = g_real->C_GetSlotList(present, slots, count);
    if (NextTamper() != Tamper::LongerThanBuffer || count == nullptr) return rv;
    *count = (slots ? capacity : *count) + 1 + NextByte();
    return rv;
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void* app, CK_NOTIFY notify, CK_SESSION_HANDLE_PTR session) {
    CK_RV rv = g_real->C_OpenSession(slot, flags, app, notify, session);
    if (rv == CKR_OK) ++g_openSessions;
    return rv;
}

CK_RV CloseSession(CK_SESSION_HANDLE session) {
    CK_RV rv = g_real->C_CloseSession(session);
    if (rv == CKR_OK) --g_openSessions;
    return rv;
}

CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength) {
    CK_RV rv = g_real->C_Login(session, user, pin, pinLength);
    return NextTamper() == Tamper::Fail ? NextFailure() : rv;
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                        CK_ULONG count) {
    std::vector<CK_ULONG> capacities;
    for (CK_ULONG i = 0; attributes && i < count; ++i) capacities.push_back(attributes[i].ulValueLen);
    CK_RV rv = g_real->C_GetAttributeValue(session, object, attributes, count);
    for (CK_ULONG i = 0; attributes && i < count; ++i) {
        unsigned char* value = static_cast<unsigned char*>(attributes[i].pValue);
        rv = TamperOutput(rv, value, value ? capacities[i] : 0, &attributes[i].ulValueLen);
    }
    return rv;
}

CK_RV FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR handles, CK_ULONG max, CK_ULONG_PTR count) {
    CK_RV rv = g_real->C_FindObjects(session, handles, max, count);
    if (count == nullptr) return rv;
    switch (NextTamper()) {
    case Tamper::LongerThanBuffer:
        *count = max + 1 + NextByte();
        break;
    case Tamper::Huge:
        *count = HugeLength();
        break;
    case Tamper::Scramble:
        for (CK_ULONG i = 0; handles && i < std::min(*count, max); ++i) handles[i] = NextNumber(2);
        break;
    case Tamper::Fail:
        return NextFailure();
    default:
        break;
    }
    return rv;
}

CK_RV Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG dataLength, CK_BYTE_PTR signature,
           CK_ULONG_PTR signatureLength) {
    const CK_ULONG capacity = signatureLength ? *signatureLength : 0;
    CK_RV rv = g_real->C_Sign(session, data, dataLength, signature, signatureLength);
    return TamperOutput(rv, signature, signature ? capacity : 0, signatureLength);
}

// ---- auxiliary entries ----

CK_RV GetPinInfo(CK_SLOT_ID slot, unsigned char info[12]) {
    CK_RV rv = RealAux<E_GetPinInfo_t>(AUX_GET_PIN_INFO)(slot, info);
    return TamperFixed(rv, info, 12);
}

CK_RV ExportPublicKey(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, unsigned char* out, unsigned int* length) {
    const CK_ULONG capacity = length ? *length : 0;
    CK_RV rv = RealAux<E_ExportPublicKey_t>(AUX_EXPORT_PUBLIC_KEY)(session, key, out, length);
    if (length == nullptr) return rv;
    CK_ULONG reported = *length;
    rv = TamperOutput(rv, out, out ? capacity : 0, &reported);
    *length = static_cast<unsigned int>(reported);
    return rv;
}

template <AuxEntry Position>
CK_RV GetListText(CK_SLOT_ID slot, char* out, CK_ULONG* length) {
    const CK_ULONG capacity = length ? *length : 0;
    CK_RV rv = RealAux<E_GetLanguageList_t>(Position)(slot, out, length);
    return TamperOutput(rv, reinterpret_cast<unsigned char*>(out), out ? capacity : 0, length);
}

constexpr CK_ULONG kRequestRecordsSize = 522;

CK_RV GenerateRequestKeys(CK_SLOT_ID slot, CK_ULONG count, const unsigned int* algs, const CK_ULONG* bits,
                          const char* certTypes, unsigned char* records) {
    CK_RV rv = RealAux<E_GenerateRequestKeys_t>(AUX_GENERATE_REQUEST_KEYS)(slot, count, algs, bits, certTypes,
                                                                           records);
    return TamperFixed(rv, records, kRequestRecordsSize);
}

CK_RV GetPublicKeyWithRandom(CK_SLOT_ID slot, const unsigned char* data, CK_ULONG dataLength,
                             const unsigned char* keyIds, CK_ULONG keyIdsLength, unsigned char* out,
                             CK_ULONG* outLength) {
    const CK_ULONG capacity = outLength ? *outLength : 0;
    CK_RV rv = RealAux<E_GetPublicKeyWithRandom_t>(AUX_GET_PUBLIC_KEY_WITH_RANDOM)(slot, data, dataLength, keyIds,
                                                                                   keyIdsLength, out, outLength);
    return TamperOutput(rv, out, out ? capacity : 0, outLength);
}

CK_RV GetTokenExtInfo(CK_SLOT_ID slot, unsigned char* info, CK_ULONG* length) {
    const CK_ULONG capacity = length ? *length : 0;
    CK_RV rv = RealAux<E_GetTokenExtInfo_t>(AUX_GET_TOKEN_EXT_INFO)(slot, info, length);
    return TamperOutput(rv, info, info ? capacity : 0, length);
}

CK_RV SignRequestInfo(CK_SLOT_ID slot, CK_ULONG count, const unsigned char* info, CK_ULONG infoLength,
                      unsigned char* out, CK_ULONG* outLength) {
    const CK_ULONG capacity = outLength ? *outLength : 0;
    CK_RV rv = RealAux<E_SignRequestInfo_t>(AUX_SIGN_REQUEST_INFO)(slot, count, info, infoLength, out, outLength);
    return TamperOutput(rv, out, out ? capacity : 0, outLength);
}

CK_RV GetRandom(CK_SLOT_ID slot, unsigned char* out, CK_ULONG length) {
    CK_RV rv = RealAux<E_GetRandom_t>(AUX_GET_RANDOM)(slot, out, length);
    return TamperFixed(rv, out, length);
}

constexpr CK_ULONG kModuleVersionSize = 100;

CK_RV GetModuleVersion(char* out) {
    CK_RV rv = RealAux<E_GetModuleVersion_t>(AUX_GET_MODULE_VERSION)(out);
    return TamperFixed(rv, reinterpret_cast<unsigned char*>(out), kModuleVersionSize);
}

CK_RV GetTempKey(CK_SLOT_ID slot, unsigned char* out, CK_ULONG length) {
    CK_RV rv = RealAux<E_GetTempKey_t>(AUX_GET_TEMP_KEY)(slot, out, length);
    return TamperFixed(rv, out, length);
}

CK_RV GetClientInfo(char* out, int* length) {
    const CK_ULONG capacity = length && *length > 0 ? static_cast<CK_ULONG>(*length) : 0;
    CK_RV rv = RealAux<E_GetClientInfo_t>(AUX_GET_CLIENT_INFO)(out, length);
    if (length == nullptr) return rv;
    CK_ULONG reported = static_cast<CK_ULONG>(*length);
    rv = TamperOutput(rv, reinterpret_cast<unsigned char*>(out), out ? capacity : 0, &reported);
    *length = static_cast<int>(reported);
    return rv;
}

CK_RV SignFileWithDisplay(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, CK_MECHANISM* mechanism,
                          const unsigned char* prefix, const char* display, const char* path,
                          unsigned char* signature, CK_ULONG* signatureLength, CK_ULONG flag) {
    const CK_ULONG capacity = signatureLength ? *signatureLength : 0;
    CK_RV rv = RealAux<E_SignFileWithDisplay_t>(AUX_SIGN_FILE_WITH_DISPLAY)(
        session, key, mechanism, prefix, display, path, signature, signatureLength, flag);
    return TamperOutput(rv, signature, signature ? capacity : 0, signatureLength);
}

template <typename Fn>
void Replace(AuxEntry position, Fn replacement) {
    if (g_aux.entries[position] != nullptr) g_aux.entries[position] = reinterpret_cast<void*>(replacement);
}

bool Load() {
    if (g_real) return true;
    void* module = dlopen(TAMPERED_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (!module) return false;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    auto getAux = reinterpret_cast<E_GetAuxFunctionList_t>(dlsym(module, "E_GetAuxFunctionList"));
    if (!getList || !getAux || getList(&g_real) != CKR_OK || getAux(&g_realAux) != CKR_OK) return false;

    g_list = *g_real;
    g_list.C_GetSlotList = GetSlotList;
    g_list.C_OpenSession = OpenSession;
    g_list.C_CloseSession = CloseSession;
    g_list.C_Login = Login;
    g_list.C_GetAttributeValue = GetAttributeValue;
    g_list.C_FindObjects = FindObjects;
    g_list.C_Sign = Sign;

    std::memcpy(&g_aux, g_realAux, sizeof g_aux);
    Replace(AUX_GET_PIN_INFO, GetPinInfo);
    Replace(AUX_EXPORT_PUBLIC_KEY, ExportPublicKey);
    Replace(AUX_GET_LANGUAGE_LIST, GetListText<AUX_GET_LANGUAGE_LIST>);
    Replace(AUX_GET_CHARSET_LIST, GetListText<AUX_GET_CHARSET_LIST>);
    Replace(AUX_GENERATE_REQUEST_KEYS, GenerateRequestKeys);
    Replace(AUX_GET_PUBLIC_KEY_WITH_RANDOM, GetPublicKeyWithRandom);
    Replace(AUX_GET_TOKEN_EXT_INFO, GetTokenExtInfo);
    Replace(AUX_SIGN_REQUEST_INFO, SignRequestInfo);
    Replace(AUX_GET_RANDOM, GetRandom);
    Replace(AUX_GET_MODULE_VERSION, GetModuleVersion);
    Replace(AUX_GET_TEMP_KEY, GetTempKey);
    Replace(AUX_GET_CLIENT_INFO, GetClientInfo);
    Replace(AUX_SIGN_FILE_WITH_DISPLAY, SignFileWithDisplay);
    return true;
}

}  // namespace

EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (!list) return CKR_ARGUMENTS_BAD;
    if (!Load()) return CKR_GENERAL_ERROR;
    *list = &g_list;
    return CKR_OK;
}

EXPORT CK_RV E_GetAuxFunctionList(AUX_FUNCTION_LIST** list) {
    if (!list) return CKR_ARGUMENTS_BAD;
    if (!Load()) return CKR_GENERAL_ERROR;
    *list = &g_aux;
    return CKR_OK;
}

EXPORT void TamperingModule_SetScript(const uint8_t* data, size_t size) {
    g_script = data;
    g_scriptSize = size;
    g_scriptPosition = 0;
}

EXPORT long TamperingModule_OpenSessions(void) { return g_openSessions; }
