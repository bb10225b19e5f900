#include "device/module_connection.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

#include "device/DeviceP11Operation.h"
#include "device/p11_session.h"
#include "support/result_codes.h"

const unsigned char kPinPromptBlock[11] = {0x01, 0x08, '0', '0', '0', '0', '0', '0', '0', '0', 0x00};

namespace {

// The key's module needs time to settle after its first initialisation.
constexpr unsigned int kSecondsAfterFirstInitialize = 3;
// A key that is being plugged in gets this many one-second chances to appear.
constexpr int kTokenWaitAttempts = 5;
constexpr CK_ULONG kExtInfoSize = 260;
constexpr size_t kPinInfoSize = 12;
constexpr size_t kPinTriesOffset = 3;
// More slots than any machine has USB ports for; bounds the list we allocate.
constexpr CK_ULONG kMaxSlots = 64;

void SleepSeconds(unsigned int seconds) { ::sleep(seconds); }

struct ModuleCloser {
    void operator()(void* module) const {
        if (module) dlclose(module);
    }
};
using ModuleHandle = std::unique_ptr<void, ModuleCloser>;

// Asks the module for one of its function lists through the getter that
// symbol names; the list only when the getter succeeds and gives one.
template <typename List, typename Getter>
List* LookUpList(void* module, const char* symbol, ListLookupFacts& facts) {
    auto getList = reinterpret_cast<Getter>(dlsym(module, symbol));
    if (!getList) {
        facts = {ListLookup::NotExported, ""};
        return nullptr;
    }
    List* list = nullptr;
    const CK_RV rv = getList(&list);
    if (rv != CKR_OK) {
        facts = {ListLookup::CallFailed, ModuleResultName(rv)};
        return nullptr;
    }
    facts = {list ? ListLookup::Found : ListLookup::NoList, ""};
    return list;
}

// dlerror's text, which names the file and the reason.
std::string LoadErrorText() {
    const char* text = dlerror();
    return text ? text : "unknown reason";
}

// Number of slots holding a token; a failed call counts as none.
CK_RV CountPresentSlots(CK_FUNCTION_LIST_PTR f, ModuleCallRecorder& calls, CK_ULONG& count) {
    count = 0;
    if (!f->C_GetSlotList) return CKR_FUNCTION_FAILED;
    CK_RV rv = calls.Record("C_GetSlotList", f->C_GetSlotList(CK_TRUE, nullptr, &count));
    if (rv != CKR_OK) count = 0;
    return rv;
}

// Only whether the token answers matters; the information itself is not kept.
bool AnswersExtendedInfo(const AUX_FUNCTION_LIST* aux, ModuleCallRecorder& calls, CK_SLOT_ID slot) {
    auto getExtInfo = AuxEntryAt<E_GetTokenExtInfo_t>(aux, AUX_GET_TOKEN_EXT_INFO);
    if (!getExtInfo) return false;
    std::vector<unsigned char> info(kExtInfoSize, 0);
    CK_ULONG length = kExtInfoSize;
    return calls.RecordAnswer("E_GetTokenExtInfo", getExtInfo(slot, info.data(), &length)) == CKR_OK;
}

unsigned int ClampCount(CK_ULONG count) {
    return static_cast<unsigned int>(std::min<CK_ULONG>(count, UINT_MAX));
}

}  // namespace

bool SelectedToken::OpenSession(P11Session& session) const {
    // The guard closes through C_CloseSession, so a module without it gets no session.
    if (!functions || !functions->C_CloseSession) return false;
    return session.Open(functions, slot, calls);
}

bool SelectedToken::OpenReadOnlySession(P11Session& session) const {
    if (!functions || !functions->C_CloseSession) return false;
    return session.Open(functions, slot, calls, CKF_SERIAL_SESSION);
}

long SelectedToken::WrongPinCode() const {
    unsigned char info[kPinInfoSize] = {};
    // The entry's own result is not consulted: an unanswered record reads as no tries left.
    if (auto getPinInfo = AuxEntryAt<E_GetPinInfo_t>(aux, AUX_GET_PIN_INFO)) {
        Record("E_GetPinInfo", getPinInfo(slot, info));
    }
    const int triesLeft = info[kPinTriesOffset];
    return triesLeft == 0 ? rc::kPinLocked : rc::WrongPin(triesLeft);
}

long SelectedToken::MapLoginResult(CK_RV rv, long otherRv) const {
    switch (rv) {
    case CKR_OK:
    case CKR_USER_ALREADY_LOGGED_IN:
        return 0;
    case CKR_CANCEL:
        return rc::kCancelled;
    case CKR_PIN_EXPIRED:
    case CKR_VENDOR_USER_TIMEOUT:
        return rc::kTimedOut;
    case CKR_PIN_LOCKED:
        return rc::kPinLocked;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
        return WrongPinCode();
    default:
        return otherRv;
    }
}

ModuleConnection::ModuleConnection(std::string path, Sleeper sleeper)
    : m_path(std::move(path)), m_sleeper(sleeper ? std::move(sleeper) : Sleeper(SleepSeconds)) {}

ModuleConnection::~ModuleConnection() { Clear(); }

long ModuleConnection::Clear() {
    // No C_Finalize: the module may be shared with other users of the process.
    m_functionList = nullptr;
    m_auxList = nullptr;
    if (m_module) {
        dlclose(m_module);
        m_module = nullptr;
    }
    m_charsetUtf8 = 0;
    return 0;
}

long ModuleConnection::GetFuncList() {
    if (m_module) return 0;
    m_loading = LoadingFacts{};
    m_loading.attempted = true;
    ModuleHandle module(dlopen(m_path.c_str(), RTLD_NOW));
    if (!module) {
        m_loading.loadError = LoadErrorText();
        return rc::kModuleNotInstalled;
    }
    // Both lists are asked for even when the first is missing, so that a
    // diagnosis can tell about each.
    CK_FUNCTION_LIST_PTR functions =
        LookUpList<CK_FUNCTION_LIST, CK_C_GetFunctionList>(module.get(), "C_GetFunctionList", m_loading.functionList);
    AUX_FUNCTION_LIST* aux = LookUpList<AUX_FUNCTION_LIST, E_GetAuxFunctionList_t>(module.get(), "E_GetAuxFunctionList",
                                                                                   m_loading.auxFunctionList);
    if (!functions || !aux) return rc::kGeneralFailure;
    m_module = module.release();
    m_functionList = functions;
    m_auxList = aux;
    return 0;
}

long ModuleConnection::Init() {
    if (long rv = GetFuncList()) return rv;
    if (!m_functionList->C_Initialize) return rc::kGeneralFailure;
    CK_RV initialized =
        m_calls.Record("C_Initialize", m_functionList->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    m_loading.initializeResult = initialized;
    if (initialized == CKR_OK) {
        m_sleeper(kSecondsAfterFirstInitialize);
    } else if (initialized != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        return rc::kGeneralFailure;
    }
    return 0;
}

long ModuleConnection::GetTokenCount(unsigned int* count, CK_SLOT_ID* selected) {
    if (selected) *selected = 0;
    if (Init() != 0 || !m_module || !m_functionList || !m_auxList) return rc::kModuleNotInstalled;
    CK_FUNCTION_LIST_PTR f = m_functionList;

    CK_ULONG present = 0;
    if (CountPresentSlots(f, m_calls, present) != CKR_OK) return rc::kCannotConnect;
    if (present >= 2) {
        if (count) *count = ClampCount(present);
        return 0;
    }
    for (int attempt = 0; present == 0 && attempt < kTokenWaitAttempts; ++attempt) {
        m_sleeper(1);
        CountPresentSlots(f, m_calls, present);
    }
    if (present == 0) {
        if (count) *count = 0;
        return 0;
    }

    std::vector<CK_SLOT_ID> slots(std::min(present, kMaxSlots));
    CK_ULONG listed = slots.size();
    if (m_calls.Record("C_GetSlotList", f->C_GetSlotList(CK_TRUE, slots.data(), &listed)) != CKR_OK) {
        return rc::kCannotConnect;
    }
    slots.resize(std::min<CK_ULONG>(listed, slots.size()));
    if (slots.empty()) {
        if (count) *count = 0;
        return 0;
    }

    m_extInfo = true;
    unsigned int usable = 0;
    for (CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info{};
        if (!f->C_GetTokenInfo || m_calls.Record("C_GetTokenInfo", f->C_GetTokenInfo(slot, &info)) != CKR_OK) continue;
        if (++usable == 1) {
            if (selected) *selected = slot;
            if (!AnswersExtendedInfo(m_auxList, m_calls, slot)) m_extInfo = false;
        }
    }
    if (count) *count = usable;
    return 0;
}

long ModuleConnection::CheckToken(SelectedToken& token) {
    token = SelectedToken{};
    unsigned int count = 0;
    CK_SLOT_ID slot = 0;
    if (long rv = GetTokenCount(&count, &slot)) return rv;
    if (count == 0) return rc::kNoKey;
    if (count != 1) return rc::kSeveralKeys;
    if (slot == 0) return rc::kCannotConnect;
    token = SelectedToken{m_functionList, m_auxList, slot, &m_calls};
    return 0;
}

DeviceP11Operation::DeviceP11Operation(std::string path)
    : m_module(std::make_unique<ModuleConnection>(std::move(path))) {}

DeviceP11Operation::DeviceP11Operation(std::unique_ptr<ModuleConnection> module) : m_module(std::move(module)) {}

// Destroying the connection unloads the module.
DeviceP11Operation::~DeviceP11Operation() = default;

ModuleCallFailure DeviceP11Operation::TakeModuleCallFailure() { return m_module->Calls().Take(); }
