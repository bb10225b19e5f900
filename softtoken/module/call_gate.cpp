#include "softtoken/module/call_gate.h"

#include "softtoken/module/runtime.h"

namespace softtoken {

std::mutex& CallGate::Mutex() {
    static std::mutex mutex;
    return mutex;
}

StateLock CallGate::LockState(StateAccess access) {
    auto dir = StateDir::FromEnvironment();
    return dir ? StateLock(*dir, access) : StateLock();
}

std::optional<CK_RV> CallGate::Enter() {
    Runtime& runtime = Runtime::Instance();
    unsigned long long call = ++runtime.calls;
    auto store = CurrentStore();
    if (!store) return std::nullopt;
    store->WriteCounter(kCallsFile, call);
    auto fault = store->LoadFault();
    if (fault && fault->call == call) return fault->rv;
    return std::nullopt;
}

}  // namespace softtoken
