#include "softtoken/module/runtime.h"

namespace softtoken {

Runtime& Runtime::Instance() {
    static Runtime runtime;
    return runtime;
}

Session* Runtime::FindSession(CK_SESSION_HANDLE handle) {
    auto it = sessions_.find(handle);
    return it == sessions_.end() ? nullptr : &it->second;
}

Session& Runtime::OpenSession(int tokenNumber) {
    Session session;
    session.handle = nextSession_++;
    session.tokenNumber = tokenNumber;
    return sessions_[session.handle] = session;
}

void Runtime::CloseSession(CK_SESSION_HANDLE handle) {
    auto it = sessions_.find(handle);
    if (it == sessions_.end()) return;
    int tokenNumber = it->second.tokenNumber;
    sessions_.erase(it);
    if (SessionsOn(tokenNumber).empty()) loggedIn_.erase(tokenNumber);
}

std::vector<CK_SESSION_HANDLE> Runtime::SessionsOn(int tokenNumber) const {
    std::vector<CK_SESSION_HANDLE> handles;
    for (const auto& [handle, session] : sessions_) {
        if (session.tokenNumber == tokenNumber) handles.push_back(handle);
    }
    return handles;
}

void Runtime::CloseEverything() {
    sessions_.clear();
    loggedIn_.clear();
}

void Runtime::SetLoggedIn(int tokenNumber, bool loggedIn) {
    if (loggedIn) {
        loggedIn_.insert(tokenNumber);
    } else {
        loggedIn_.erase(tokenNumber);
    }
}

std::optional<TokenStore> CurrentStore() {
    auto dir = StateDir::FromEnvironment();
    if (!dir) return std::nullopt;
    return TokenStore(*dir);
}

CK_RV LoadSessionToken(CK_SESSION_HANDLE handle, Session*& session, std::optional<TokenStore>& store, Token& token) {
    session = Runtime::Instance().FindSession(handle);
    if (!session) return CKR_SESSION_HANDLE_INVALID;
    store = CurrentStore();
    if (!store) return CKR_DEVICE_REMOVED;
    auto loaded = store->Load(session->tokenNumber);
    if (!loaded || !loaded->plugged) return CKR_DEVICE_REMOVED;
    token = std::move(*loaded);
    return CKR_OK;
}

CK_RV LoadSlotToken(CK_SLOT_ID slot, std::optional<TokenStore>& store, Token& token) {
    store = CurrentStore();
    auto loaded = store ? store->LoadBySlot(slot) : std::nullopt;
    if (!loaded) return CKR_SLOT_ID_INVALID;
    if (!loaded->plugged) return CKR_TOKEN_NOT_PRESENT;
    token = std::move(*loaded);
    return CKR_OK;
}

void AdjustSessionFile(long delta) {
    auto store = CurrentStore();
    if (!store) return;
    long long count = static_cast<long long>(store->ReadCounter(kSessionsFile)) + delta;
    store->WriteCounter(kSessionsFile, count < 0 ? 0 : static_cast<unsigned long long>(count));
}

}  // namespace softtoken
