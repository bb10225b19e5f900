// The module's auxiliary entries (positions and prototypes in
// token_module/token_module.h), each implemented beside related ones.
#pragma once

#include "token_module/token_module.h"

namespace softtoken {

// Puts every implemented entry, behind the call gate, at its position.
void FillAuxEntries(AUX_FUNCTION_LIST& list);

namespace aux {

// Token settings and information (aux_settings.cpp).
CK_RV GetPinInfo(CK_SLOT_ID slot, unsigned char info[12]);
CK_RV SetTokenParam(CK_SLOT_ID slot, CK_ULONG type, const unsigned char* value, CK_ULONG length);
CK_RV InitCard(CK_SLOT_ID slot, CK_ULONG flags);
CK_RV ChangePin(CK_SESSION_HANDLE session);
CK_RV GetLanguageList(CK_SLOT_ID slot, char* out, CK_ULONG* length);
CK_RV GetCharsetList(CK_SLOT_ID slot, char* out, CK_ULONG* length);
CK_RV GetTokenExtInfo(CK_SLOT_ID slot, unsigned char* info, CK_ULONG* length);

// Module and client information, random data (aux_module_info.cpp).
CK_RV GetRandom(CK_SLOT_ID slot, unsigned char* out, CK_ULONG length);
CK_RV GetModuleVersion(char* out);
CK_RV GetTempKey(CK_SLOT_ID slot, unsigned char* out, CK_ULONG length);
CK_RV SetIPType(int type);
CK_RV GetClientInfo(char* out, int* length);

// Key pairs: export, generation, key blobs, removal (aux_keys.cpp).
CK_RV ExportPublicKey(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, unsigned char* out, unsigned int* length);
CK_RV GenerateRequestKeys(CK_SLOT_ID slot, CK_ULONG count, const unsigned int* keyAlgs, const CK_ULONG* keyBits,
                          const char* certTypes, unsigned char* records);
CK_RV GetPublicKeyWithRandom(CK_SLOT_ID slot, const unsigned char* data, CK_ULONG dataLen,
                             const unsigned char* keyIds, CK_ULONG keyIdsLen, unsigned char* out, CK_ULONG* outLen);
CK_RV DeleteTempKey(CK_SLOT_ID slot, const unsigned char* keyIds);

// Certificate requests and certificates (aux_sign_request.cpp, aux_certificates.cpp).
CK_RV SignRequestInfo(CK_SLOT_ID slot, CK_ULONG count, const unsigned char* info, CK_ULONG infoLen,
                      unsigned char* out, CK_ULONG* outLen);
CK_RV WriteCertificate(CK_SLOT_ID slot, const unsigned char* der);

// File signing (aux_sign_file.cpp).
CK_RV SignFileWithDisplay(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, CK_MECHANISM* mechanism,
                          const unsigned char* prefix, const char* displayText, const char* filePath,
                          unsigned char* signature, CK_ULONG* signatureLen, CK_ULONG flag);

}  // namespace aux
}  // namespace softtoken
