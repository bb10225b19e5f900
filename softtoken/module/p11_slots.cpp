// Library, slot and token information, and C_Initialize / C_Finalize.
#include <algorithm>
#include <cstring>
#include <string>

#include "softtoken/module/p11_api.h"
#include "softtoken/module/runtime.h"

namespace softtoken::p11 {

namespace {

constexpr const char* kManufacturer = "Token Host Project";

// PKCS#11 text fields are blank padded and not terminated.
void FillField(CK_UTF8CHAR* field, size_t size, const std::string& text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

CK_RV CheckInitializeArgs(CK_VOID_PTR args) {
    if (!args) return CKR_OK;
    const auto* init = static_cast<const CK_C_INITIALIZE_ARGS*>(args);
    if (init->pReserved) return CKR_ARGUMENTS_BAD;
    bool someMutexFunctions = init->CreateMutex || init->DestroyMutex || init->LockMutex || init->UnlockMutex;
    bool allMutexFunctions = init->CreateMutex && init->DestroyMutex && init->LockMutex && init->UnlockMutex;
    if (someMutexFunctions && !allMutexFunctions) return CKR_ARGUMENTS_BAD;
    return CKR_OK;  // the call gate serialises every call, so any locking model is fine
}

// The distinct slot IDs of the tokens, in token-number order.
std::vector<CK_SLOT_ID> SlotIds(bool pluggedOnly) {
    std::vector<CK_SLOT_ID> slots;
    auto store = CurrentStore();
    if (!store) return slots;
    for (const Token& token : store->LoadAll()) {
        if (pluggedOnly && !token.plugged) continue;
        if (std::find(slots.begin(), slots.end(), token.slotId) == slots.end()) slots.push_back(token.slotId);
    }
    return slots;
}

std::optional<Token> TokenAtSlot(CK_SLOT_ID slot) {
    auto store = CurrentStore();
    return store ? store->LoadBySlot(slot) : std::nullopt;
}

}  // namespace

CK_RV Initialize(CK_VOID_PTR args) {
    Runtime& runtime = Runtime::Instance();
    if (runtime.initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    if (CK_RV rv = CheckInitializeArgs(args); rv != CKR_OK) return rv;
    if (!runtime.initializedBefore) {
        // A new process: sessions left over by earlier ones no longer exist.
        if (auto store = CurrentStore()) store->WriteCounter(kSessionsFile, 0);
        runtime.initializedBefore = true;
    }
    runtime.initialized = true;
    return CKR_OK;
}

CK_RV Finalize(CK_VOID_PTR reserved) {
    Runtime& runtime = Runtime::Instance();
    if (reserved) return CKR_ARGUMENTS_BAD;
    if (!runtime.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    AdjustSessionFile(-static_cast<long>(runtime.OpenSessionCount()));
    runtime.CloseEverything();
    runtime.initialized = false;
    return CKR_OK;
}

CK_RV GetInfo(CK_INFO_PTR info) {
    if (!Runtime::Instance().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!info) return CKR_ARGUMENTS_BAD;
    std::memset(info, 0, sizeof *info);
    info->cryptokiVersion = {2, 40};
    FillField(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
    FillField(info->libraryDescription, sizeof info->libraryDescription, "Software token");
    info->libraryVersion = {1, 0};
    return CKR_OK;
}

CK_RV GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count) {
    if (!Runtime::Instance().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!count) return CKR_ARGUMENTS_BAD;
    std::vector<CK_SLOT_ID> ids = SlotIds(tokenPresent != CK_FALSE);
    if (!slots) {
        *count = ids.size();
        return CKR_OK;
    }
    if (*count < ids.size()) {
        *count = ids.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(ids.begin(), ids.end(), slots);
    *count = ids.size();
    return CKR_OK;
}

CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    if (!Runtime::Instance().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!info) return CKR_ARGUMENTS_BAD;
    auto token = TokenAtSlot(slot);
    if (!token) return CKR_SLOT_ID_INVALID;
    std::memset(info, 0, sizeof *info);
    FillField(info->slotDescription, sizeof info->slotDescription, "Software token slot " + std::to_string(slot));
    FillField(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
    info->flags = CKF_REMOVABLE_DEVICE | (token->plugged ? CKF_TOKEN_PRESENT : 0);
    info->hardwareVersion = {1, 0};
    info->firmwareVersion = {1, 0};
    return CKR_OK;
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    Runtime& runtime = Runtime::Instance();
    if (!runtime.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!info) return CKR_ARGUMENTS_BAD;
    auto token = TokenAtSlot(slot);
    if (!token) return CKR_SLOT_ID_INVALID;
    if (!token->plugged) return CKR_TOKEN_NOT_PRESENT;
    if (!token->tokenInfoOk) return CKR_DEVICE_ERROR;
    std::memset(info, 0, sizeof *info);
    FillField(info->label, sizeof info->label, token->label);
    FillField(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
    FillField(info->model, sizeof info->model, "SoftToken");
    FillField(info->serialNumber, sizeof info->serialNumber, token->serial);
    info->flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED |
                  CKF_PROTECTED_AUTHENTICATION_PATH;
    if (token->triesLeft < kMaxPinTries) info->flags |= CKF_USER_PIN_COUNT_LOW;
    if (token->triesLeft == 1) info->flags |= CKF_USER_PIN_FINAL_TRY;
    if (token->triesLeft == 0) info->flags |= CKF_USER_PIN_LOCKED;
    info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulSessionCount = runtime.SessionsOn(token->number).size();
    info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulRwSessionCount = info->ulSessionCount;
    info->ulMaxPinLen = 8;
    info->ulMinPinLen = 6;
    info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->hardwareVersion = {1, 0};
    info->firmwareVersion = {1, 0};
    FillField(info->utcTime, sizeof info->utcTime, "");
    return CKR_OK;
}

}  // namespace softtoken::p11
