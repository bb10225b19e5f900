// Sessions and the login, which asks the holder for the PIN.
#include "softtoken/module/holder.h"
#include "softtoken/module/p11_api.h"
#include "softtoken/module/runtime.h"

namespace softtoken::p11 {

namespace {

constexpr CK_ULONG kPinBlockLength = 11;

// 0x01, 0x08, eight ASCII digits, 0x00: the prompt block that tells the key
// to obtain the PIN from its holder.
bool IsPinPromptBlock(const unsigned char* pin, CK_ULONG length) {
    if (length != kPinBlockLength || pin[0] != 0x01 || pin[1] != 0x08 || pin[10] != 0x00) return false;
    for (int i = 2; i < 10; ++i) {
        if (pin[i] < '0' || pin[i] > '9') return false;
    }
    return true;
}

}  // namespace

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR session) {
    Runtime& runtime = Runtime::Instance();
    if (!runtime.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!session) return CKR_ARGUMENTS_BAD;
    if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    auto store = CurrentStore();
    auto token = store ? store->LoadBySlot(slot) : std::nullopt;
    if (!token) return CKR_SLOT_ID_INVALID;
    if (!token->plugged) return CKR_TOKEN_NOT_PRESENT;
    *session = runtime.OpenSession(token->number).handle;
    AdjustSessionFile(+1);
    return CKR_OK;
}

CK_RV CloseSession(CK_SESSION_HANDLE session) {
    Runtime& runtime = Runtime::Instance();
    if (!runtime.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!runtime.FindSession(session)) return CKR_SESSION_HANDLE_INVALID;
    runtime.CloseSession(session);
    AdjustSessionFile(-1);
    return CKR_OK;
}

CK_RV CloseAllSessions(CK_SLOT_ID slot) {
    Runtime& runtime = Runtime::Instance();
    if (!runtime.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    auto store = CurrentStore();
    auto token = store ? store->LoadBySlot(slot) : std::nullopt;
    if (!token) return CKR_SLOT_ID_INVALID;
    std::vector<CK_SESSION_HANDLE> sessions = runtime.SessionsOn(token->number);
    for (CK_SESSION_HANDLE session : sessions) runtime.CloseSession(session);
    AdjustSessionFile(-static_cast<long>(sessions.size()));
    return CKR_OK;
}

CK_RV Login(CK_SESSION_HANDLE handle, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength) {
    Runtime& runtime = Runtime::Instance();
    if (!runtime.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Session* session = nullptr;
    std::optional<TokenStore> store;
    Token token;
    if (CK_RV rv = LoadSessionToken(handle, session, store, token); rv != CKR_OK) return rv;
    if (userType != CKU_USER) return CKR_USER_TYPE_INVALID;
    if (runtime.IsLoggedIn(token.number)) return CKR_USER_ALREADY_LOGGED_IN;
    if (!pin && pinLength) return CKR_ARGUMENTS_BAD;
    if (!pin || !IsPinPromptBlock(pin, pinLength)) return CKR_PIN_INVALID;
    if (token.triesLeft == 0) return CKR_PIN_LOCKED;

    HolderAction action = AskHolder(*store, token, HolderPoint::Login);
    CK_RV rv = CommonAnswer(*store, token, action);
    if (rv != CKR_OK) return rv;
    // A PIN the holder entered correctly restores the tries, as on the key.
    if (token.triesLeft != kMaxPinTries) {
        token.triesLeft = kMaxPinTries;
        store->Save(token);
    }
    runtime.SetLoggedIn(token.number, true);
    return CKR_OK;
}

CK_RV Logout(CK_SESSION_HANDLE handle) {
    Runtime& runtime = Runtime::Instance();
    if (!runtime.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Session* session = runtime.FindSession(handle);
    if (!session) return CKR_SESSION_HANDLE_INVALID;
    if (!runtime.IsLoggedIn(session->tokenNumber)) return CKR_USER_NOT_LOGGED_IN;
    runtime.SetLoggedIn(session->tokenNumber, false);
    return CKR_OK;
}

}  // namespace softtoken::p11
