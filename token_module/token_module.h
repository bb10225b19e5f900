// Declarations of the USB key's token module: the standard PKCS#11 types and
// constants (from p11-kit's header), the vendor constants the module defines,
// and the module's auxiliary function list. The device layer and the
// software token both read them here, so the two sides of the module
// boundary cannot drift apart.
#pragma once

#include <p11-kit/pkcs11.h>

// Vendor attributes, key type and mechanisms of the token module.
constexpr CK_ATTRIBUTE_TYPE CKA_VENDOR_PAIR_ID = 0x80455053UL;     // byte string shared by a certificate and its keys
constexpr CK_ATTRIBUTE_TYPE CKA_VENDOR_KEY_INDEX = 0x80455054UL;   // one byte: index among keys of one algorithm
constexpr CK_ATTRIBUTE_TYPE CKA_VENDOR_TEXT_FORMAT = 0x80455055UL; // "01" binary or "02" decimal signing text
constexpr CK_KEY_TYPE CKK_VENDOR_SM2 = 0x80000083UL;
constexpr CK_MECHANISM_TYPE CKM_VENDOR_SM3 = 0x80000084UL;
constexpr CK_MECHANISM_TYPE CKM_VENDOR_SM2_SM3 = 0x80000086UL;

// The module's own return value for a holder who did not answer in time.
constexpr CK_RV CKR_VENDOR_USER_TIMEOUT = 0x80466F87UL;
// E_InitCard reports a time-out with this value.
constexpr CK_RV CKR_VENDOR_INITCARD_TIMEOUT = 0xA3UL;

// Key algorithm codes of E_GenerateRequestKeys.
constexpr unsigned int TOKEN_KEYALG_RSA = 0;
constexpr unsigned int TOKEN_KEYALG_SM2 = 0x80000080U;

// Setting types of E_SetTokenParam.
constexpr CK_ULONG TOKEN_PARAM_CHARSET = 2;
constexpr CK_ULONG TOKEN_PARAM_LANGUAGE = 4;
constexpr CK_ULONG TOKEN_PARAM_WARNING = 8;

extern "C" {

/* Auxiliary function list of the token module: a 2-byte version, then
 * unpadded 8-byte function pointers; entry k starts at byte 2 + 8k.
 * Types are those of the PKCS#11 header for 64-bit Linux, x86-64 and arm64 alike
 * (CK_ULONG is 8 bytes).
 * Entries not listed (0, 1, 3-12, 14-16, 22, 23, 26, 28, 34-36, 38) are
 * never called by the host. Every entry returns CK_RV. */
#pragma pack(push, 1)
typedef struct AUX_FUNCTION_LIST {
    unsigned char version[2];
    void* entries[42];   /* entry k = entries[k] */
} AUX_FUNCTION_LIST;
#pragma pack(pop)

typedef CK_RV (*E_GetPinInfo_t)(CK_SLOT_ID slot, unsigned char info[12]);
typedef CK_RV (*E_SetTokenParam_t)(CK_SLOT_ID slot, CK_ULONG type, const unsigned char* value, CK_ULONG length);
typedef CK_RV (*E_ExportPublicKey_t)(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, unsigned char* out,
                                     unsigned int* length);
typedef CK_RV (*E_InitCard_t)(CK_SLOT_ID slot, CK_ULONG flags);
typedef CK_RV (*E_ChangePin_t)(CK_SESSION_HANDLE s);
typedef CK_RV (*E_GetLanguageList_t)(CK_SLOT_ID slot, char* out, CK_ULONG* length);
typedef CK_RV (*E_GetCharsetList_t)(CK_SLOT_ID slot, char* out, CK_ULONG* length);
typedef CK_RV (*E_GenerateRequestKeys_t)(CK_SLOT_ID slot, CK_ULONG count, const unsigned int* keyAlgs,
                                         const CK_ULONG* keyBits, const char* certTypes, unsigned char* records);
typedef CK_RV (*E_GetPublicKeyWithRandom_t)(CK_SLOT_ID slot, const unsigned char* data, CK_ULONG dataLen,
                                            const unsigned char* keyIds, CK_ULONG keyIdsLen, unsigned char* out,
                                            CK_ULONG* outLen);
typedef CK_RV (*E_GetTokenExtInfo_t)(CK_SLOT_ID slot, unsigned char* info, CK_ULONG* length);
typedef CK_RV (*E_DeleteTempKey_t)(CK_SLOT_ID slot, const unsigned char* keyIds);
typedef CK_RV (*E_SignRequestInfo_t)(CK_SLOT_ID slot, CK_ULONG count, const unsigned char* info, CK_ULONG infoLen,
                                     unsigned char* out, CK_ULONG* outLen);
typedef CK_RV (*E_WriteCertificate_t)(CK_SLOT_ID slot, const unsigned char* der);
typedef CK_RV (*E_GetRandom_t)(CK_SLOT_ID slot, unsigned char* out, CK_ULONG length);
typedef CK_RV (*E_GetModuleVersion_t)(char* out);
typedef CK_RV (*E_GetTempKey_t)(CK_SLOT_ID slot, unsigned char* out, CK_ULONG length);
typedef CK_RV (*E_SetIPType_t)(int type);
typedef CK_RV (*E_GetClientInfo_t)(char* out, int* length);
typedef CK_RV (*E_SignFileWithDisplay_t)(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_MECHANISM* mechanism,
                                         const unsigned char* prefix, const char* displayText,
                                         const char* filePath, unsigned char* signature,
                                         CK_ULONG* signatureLen, CK_ULONG flag);

typedef CK_RV (*E_GetAuxFunctionList_t)(AUX_FUNCTION_LIST** list);

}  // extern "C"

// Positions of the entries the host calls.
enum AuxEntry : int {
    AUX_GET_PIN_INFO = 2,
    AUX_SET_TOKEN_PARAM = 13,
    AUX_EXPORT_PUBLIC_KEY = 17,
    AUX_INIT_CARD = 18,
    AUX_CHANGE_PIN = 19,
    AUX_GET_LANGUAGE_LIST = 20,
    AUX_GET_CHARSET_LIST = 21,
    AUX_GENERATE_REQUEST_KEYS = 24,
    AUX_GET_PUBLIC_KEY_WITH_RANDOM = 25,
    AUX_GET_TOKEN_EXT_INFO = 27,
    AUX_DELETE_TEMP_KEY = 29,
    AUX_SIGN_REQUEST_INFO = 30,
    AUX_WRITE_CERTIFICATE = 31,
    AUX_GET_RANDOM = 32,
    AUX_GET_MODULE_VERSION = 33,
    AUX_GET_TEMP_KEY = 37,
    AUX_SET_IP_TYPE = 39,
    AUX_GET_CLIENT_INFO = 40,
    AUX_SIGN_FILE_WITH_DISPLAY = 41,
};

static_assert(sizeof(AUX_FUNCTION_LIST) == 2 + 8 * 42, "auxiliary list must be unpadded");
static_assert(sizeof(CK_ULONG) == 8, "the token module's ABI is that of 64-bit Linux");

// Typed access to one auxiliary entry; null when the module leaves it empty.
template <typename Fn>
inline Fn AuxEntryAt(const AUX_FUNCTION_LIST* list, AuxEntry position) {
    return list ? reinterpret_cast<Fn>(list->entries[position]) : nullptr;
}
