// The module's three exported symbols and the two function lists behind them.
#include "softtoken/module/aux_api.h"
#include "softtoken/module/call_gate.h"
#include "softtoken/module/p11_api.h"
#include "softtoken/module/runtime.h"

namespace softtoken {
namespace {

constexpr StateAccess kReads = StateAccess::Read;
constexpr StateAccess kWrites = StateAccess::Write;

CK_FUNCTION_LIST MakeFunctionList() {
    CK_FUNCTION_LIST list{};
    list.version = {2, 40};
#define SOFTTOKEN_UNSUPPORTED(name) list.name = &Unsupported<decltype(list.name)>::Call
    SOFTTOKEN_UNSUPPORTED(C_GetMechanismList);
    SOFTTOKEN_UNSUPPORTED(C_GetMechanismInfo);
    SOFTTOKEN_UNSUPPORTED(C_InitToken);
    SOFTTOKEN_UNSUPPORTED(C_InitPIN);
    SOFTTOKEN_UNSUPPORTED(C_SetPIN);
    SOFTTOKEN_UNSUPPORTED(C_GetSessionInfo);
    SOFTTOKEN_UNSUPPORTED(C_GetOperationState);
    SOFTTOKEN_UNSUPPORTED(C_SetOperationState);
    SOFTTOKEN_UNSUPPORTED(C_CreateObject);
    SOFTTOKEN_UNSUPPORTED(C_CopyObject);
    SOFTTOKEN_UNSUPPORTED(C_GetObjectSize);
    SOFTTOKEN_UNSUPPORTED(C_SetAttributeValue);
    SOFTTOKEN_UNSUPPORTED(C_EncryptInit);
    SOFTTOKEN_UNSUPPORTED(C_Encrypt);
    SOFTTOKEN_UNSUPPORTED(C_EncryptUpdate);
    SOFTTOKEN_UNSUPPORTED(C_EncryptFinal);
    SOFTTOKEN_UNSUPPORTED(C_DecryptInit);
    SOFTTOKEN_UNSUPPORTED(C_Decrypt);
    SOFTTOKEN_UNSUPPORTED(C_DecryptUpdate);
    SOFTTOKEN_UNSUPPORTED(C_DecryptFinal);
    SOFTTOKEN_UNSUPPORTED(C_DigestUpdate);
    SOFTTOKEN_UNSUPPORTED(C_DigestKey);
    SOFTTOKEN_UNSUPPORTED(C_DigestFinal);
    SOFTTOKEN_UNSUPPORTED(C_SignUpdate);
    SOFTTOKEN_UNSUPPORTED(C_SignFinal);
    SOFTTOKEN_UNSUPPORTED(C_SignRecoverInit);
    SOFTTOKEN_UNSUPPORTED(C_SignRecover);
    SOFTTOKEN_UNSUPPORTED(C_VerifyInit);
    SOFTTOKEN_UNSUPPORTED(C_Verify);
    SOFTTOKEN_UNSUPPORTED(C_VerifyUpdate);
    SOFTTOKEN_UNSUPPORTED(C_VerifyFinal);
    SOFTTOKEN_UNSUPPORTED(C_VerifyRecoverInit);
    SOFTTOKEN_UNSUPPORTED(C_VerifyRecover);
    SOFTTOKEN_UNSUPPORTED(C_DigestEncryptUpdate);
    SOFTTOKEN_UNSUPPORTED(C_DecryptDigestUpdate);
    SOFTTOKEN_UNSUPPORTED(C_SignEncryptUpdate);
    SOFTTOKEN_UNSUPPORTED(C_DecryptVerifyUpdate);
    SOFTTOKEN_UNSUPPORTED(C_GenerateKey);
    SOFTTOKEN_UNSUPPORTED(C_GenerateKeyPair);
    SOFTTOKEN_UNSUPPORTED(C_WrapKey);
    SOFTTOKEN_UNSUPPORTED(C_UnwrapKey);
    SOFTTOKEN_UNSUPPORTED(C_DeriveKey);
    SOFTTOKEN_UNSUPPORTED(C_SeedRandom);
    SOFTTOKEN_UNSUPPORTED(C_GetFunctionStatus);
    SOFTTOKEN_UNSUPPORTED(C_CancelFunction);
    SOFTTOKEN_UNSUPPORTED(C_WaitForSlotEvent);
#undef SOFTTOKEN_UNSUPPORTED
    list.C_GetFunctionList = &::C_GetFunctionList;
    list.C_Initialize = &Gated<&p11::Initialize, kWrites>::Call;
    list.C_Finalize = &Gated<&p11::Finalize, kWrites>::Call;
    list.C_GetInfo = &Gated<&p11::GetInfo, kReads>::Call;
    list.C_GetSlotList = &Gated<&p11::GetSlotList, kReads>::Call;
    list.C_GetSlotInfo = &Gated<&p11::GetSlotInfo, kReads>::Call;
    list.C_GetTokenInfo = &Gated<&p11::GetTokenInfo, kReads>::Call;
    list.C_OpenSession = &Gated<&p11::OpenSession, kWrites>::Call;
    list.C_CloseSession = &Gated<&p11::CloseSession, kWrites>::Call;
    list.C_CloseAllSessions = &Gated<&p11::CloseAllSessions, kWrites>::Call;
    list.C_Login = &Gated<&p11::Login, kWrites>::Call;
    list.C_Logout = &Gated<&p11::Logout, kReads>::Call;
    list.C_FindObjectsInit = &Gated<&p11::FindObjectsInit, kReads>::Call;
    list.C_FindObjects = &Gated<&p11::FindObjects, kReads>::Call;
    list.C_FindObjectsFinal = &Gated<&p11::FindObjectsFinal, kReads>::Call;
    list.C_GetAttributeValue = &Gated<&p11::GetAttributeValue, kReads>::Call;
    list.C_DestroyObject = &Gated<&p11::DestroyObject, kWrites>::Call;
    list.C_DigestInit = &Gated<&p11::DigestInit, kReads>::Call;
    list.C_Digest = &Gated<&p11::Digest, kReads>::Call;
    list.C_SignInit = &Gated<&p11::SignInit, kReads>::Call;
    list.C_Sign = &Gated<&p11::Sign, kWrites>::Call;
    list.C_GenerateRandom = &Gated<&p11::GenerateRandom, kReads>::Call;
    return list;
}

AUX_FUNCTION_LIST MakeAuxList() {
    AUX_FUNCTION_LIST list{};
    list.version[0] = 1;
    list.version[1] = 0;
    FillAuxEntries(list);
    return list;
}

CK_FUNCTION_LIST gFunctionList = MakeFunctionList();
AUX_FUNCTION_LIST gAuxList = MakeAuxList();

}  // namespace
}  // namespace softtoken

extern "C" {

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (!list) return CKR_ARGUMENTS_BAD;
    *list = &softtoken::gFunctionList;
    return CKR_OK;
}

__attribute__((visibility("default"))) CK_RV E_GetAuxFunctionList(AUX_FUNCTION_LIST** list) {
    if (!list) return CKR_ARGUMENTS_BAD;
    *list = &softtoken::gAuxList;
    return CKR_OK;
}

__attribute__((visibility("default"))) unsigned long SoftToken_OpenSessionCount(void) {
    std::lock_guard<std::mutex> lock(softtoken::CallGate::Mutex());
    return softtoken::Runtime::Instance().OpenSessionCount();
}

}  // extern "C"
