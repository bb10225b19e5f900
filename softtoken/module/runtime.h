// What the module keeps in memory for one process: whether it is initialised,
// its sessions with their operations, and which tokens it is logged in to.
// Everything else is read from the state directory at each call.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <vector>

#include "softtoken/common/token_store.h"

namespace softtoken {

struct FindOperation {
    bool active = false;
    std::vector<CK_OBJECT_HANDLE> matches;
    size_t next = 0;
};

struct MechanismOperation {
    bool active = false;
    CK_MECHANISM_TYPE mechanism = 0;
    CK_OBJECT_HANDLE key = 0;  // signing only
};

struct Session {
    CK_SESSION_HANDLE handle = 0;
    int tokenNumber = 0;
    FindOperation find;
    MechanismOperation digest;
    MechanismOperation sign;
};

class Runtime {
public:
    static Runtime& Instance();

    bool initialized = false;
    bool initializedBefore = false;  // a C_Initialize of this process succeeded once
    unsigned long long calls = 0;
    std::optional<long long> ipTypeWithoutDirectory;

    Session* FindSession(CK_SESSION_HANDLE handle);
    Session& OpenSession(int tokenNumber);
    // Forgets the session, and the login once its token has no session left.
    void CloseSession(CK_SESSION_HANDLE handle);
    std::vector<CK_SESSION_HANDLE> SessionsOn(int tokenNumber) const;
    size_t OpenSessionCount() const { return sessions_.size(); }
    void CloseEverything();

    bool IsLoggedIn(int tokenNumber) const { return loggedIn_.count(tokenNumber) != 0; }
    void SetLoggedIn(int tokenNumber, bool loggedIn);

private:
    std::map<CK_SESSION_HANDLE, Session> sessions_;
    std::set<int> loggedIn_;
    CK_SESSION_HANDLE nextSession_ = 1;
};

// The store of the directory named by SOFTTOKEN_DIR, looked up at each call
// so that a test may point a loaded module at a new directory.
std::optional<TokenStore> CurrentStore();

// Loads the token behind a session; CKR_SESSION_HANDLE_INVALID for an unknown
// session, CKR_DEVICE_REMOVED when its token is gone or unplugged.
CK_RV LoadSessionToken(CK_SESSION_HANDLE handle, Session*& session, std::optional<TokenStore>& store, Token& token);

// Loads the token answering at a slot for the auxiliary entries:
// CKR_SLOT_ID_INVALID when none does, CKR_TOKEN_NOT_PRESENT when unplugged.
CK_RV LoadSlotToken(CK_SLOT_ID slot, std::optional<TokenStore>& store, Token& token);

// Adds delta to the directory's open-session count (never below 0).
void AdjustSessionFile(long delta);

}  // namespace softtoken
