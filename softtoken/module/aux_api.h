// The module's auxiliary entries (positions and prototypes in
// device/token_module.h), each implemented beside related ones.
#pragma once

#include "device/token_module.h"

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

}  // namespace aux
}  // namespace softtoken
