// The connection to the key's module: loading it once, initialising it,
// finding the one key and opening sessions on it. It also keeps what the host
// knows about the key between commands: whether it answers the extended
// interface, and the charset its texts go in.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "device/device_facts.h"
#include "device/module_calls.h"
#include "token_module/token_module.h"

class P11Session;

// The PIN prompt block given to C_Login: the module asks the holder itself.
extern const unsigned char kPinPromptBlock[11];

// The token one discovery selected, and the function lists to reach it. A
// default one (no module, slot 0) opens no session and has no entries.
struct SelectedToken {
    CK_FUNCTION_LIST_PTR functions = nullptr;
    AUX_FUNCTION_LIST* aux = nullptr;
    CK_SLOT_ID slot = 0;
    ModuleCallRecorder* calls = nullptr;  // the connection's; null: nothing is recorded

    // Opens a serial read-write session on the slot.
    bool OpenSession(P11Session& session) const;
    // Opens a serial read-only session, for looking without changing anything.
    bool OpenReadOnlySession(P11Session& session) const;
    // Returns rv, recorded as function's result when it is a failure.
    CK_RV Record(const char* function, CK_RV rv, CK_RV alsoFine = CKR_OK) const {
        return RecordCall(calls, function, rv, alsoFine);
    }
    // A wrong PIN as a code: kPinLocked when E_GetPinInfo shows no tries
    // left, else WrongPin(N).
    long WrongPinCode() const;
    // Maps a C_Login (or module prompt) result for the PIN-protected paths:
    // kCancelled, kTimedOut, kPinLocked, WrongPin(N), or otherRv for anything
    // unlisted. 0 for success.
    long MapLoginResult(CK_RV rv, long otherRv) const;
};

// What the last attempt to load the module found.
struct LoadingFacts {
    bool attempted = false;
    std::string loadError;  // dlopen's text when it failed
    ListLookupFacts functionList;
    ListLookupFacts auxFunctionList;
    std::optional<CK_RV> initializeResult;  // the last C_Initialize
};

class ModuleConnection {
public:
    // How discovery waits between its attempts (null: it sleeps); tests
    // record the waits instead.
    using Sleeper = std::function<void(unsigned int seconds)>;

    explicit ModuleConnection(std::string path, Sleeper sleeper = nullptr);
    ~ModuleConnection();
    ModuleConnection(const ModuleConnection&) = delete;
    ModuleConnection& operator=(const ModuleConnection&) = delete;

    // Forgets the function lists and unloads the module; texts go as GB18030
    // afterwards. Returns 0.
    long Clear();
    // Loads the module if it is not loaded; 0 or the failure's code.
    long GetFuncList();
    // GetFuncList, then C_Initialize (pausing after the first one).
    long Init();
    // Init and discovery: 0 and the number of usable tokens, or a code.
    // selected (when given) gets the slot of the first usable token, or 0
    // when discovery selected none.
    long GetTokenCount(unsigned int* count, CK_SLOT_ID* selected = nullptr);
    // The token rule in front of every token operation: discovery, then
    // kNoKey / kSeveralKeys / kCannotConnect. 0 when exactly one token is
    // selected; token then describes it (else it is a default one).
    long CheckToken(SelectedToken& token);

    const std::string& Path() const { return m_path; }
    const LoadingFacts& Loading() const { return m_loading; }
    // The module calls that failed, recorded by every operation on this
    // connection.
    ModuleCallRecorder& Calls() { return m_calls; }
    CK_FUNCTION_LIST_PTR Functions() const { return m_functionList; }
    AUX_FUNCTION_LIST* AuxFunctions() const { return m_auxList; }
    // Whether the key selected last answered E_GetTokenExtInfo.
    bool GetExtInfoFlag() const { return m_extInfo; }
    // 1 when texts go to the key as UTF-8, 0 when they go as GB18030.
    int GetCharsetFlag() const { return m_charsetUtf8; }
    void SetCharsetFlag(int utf8) { m_charsetUtf8 = utf8; }

private:
    std::string m_path;
    Sleeper m_sleeper;
    void* m_module = nullptr;
    CK_FUNCTION_LIST_PTR m_functionList = nullptr;
    AUX_FUNCTION_LIST* m_auxList = nullptr;
    bool m_extInfo = true;
    int m_charsetUtf8 = 1;
    LoadingFacts m_loading;
    ModuleCallRecorder m_calls;
};
