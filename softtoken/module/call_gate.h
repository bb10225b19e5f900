// Every call into the module passes this gate: calls are serialised, hold
// the state directory's lock as their entry declares (see state_lock.h),
// are counted (softtoken-tool calls), may be answered by an injected fault
// (softtoken-tool fault), and no exception ever crosses into the caller.
#pragma once

#include <mutex>
#include <new>
#include <optional>

#include "token_module/token_module.h"
#include "softtoken/common/state_lock.h"

namespace softtoken {

class CallGate {
public:
    // Counts the call; a planned fault for it comes back as its return value.
    static std::optional<CK_RV> Enter();
    static std::mutex& Mutex();
    // The lock of the directory named by SOFTTOKEN_DIR, if any.
    static StateLock LockState(StateAccess access);
};

// access: Write for an entry that may save anything (the holder's queue and
// PIN tries included), Read for one that only loads.
template <auto Impl, StateAccess access>
struct Gated;

template <typename... Args, CK_RV (*Impl)(Args...), StateAccess access>
struct Gated<Impl, access> {
    static CK_RV Call(Args... args) {
        std::lock_guard<std::mutex> lock(CallGate::Mutex());
        try {
            const StateLock state = CallGate::LockState(access);
            if (auto fault = CallGate::Enter()) return *fault;
            return Impl(args...);
        } catch (const std::bad_alloc&) {
            return CKR_HOST_MEMORY;
        } catch (...) {
            return CKR_GENERAL_ERROR;
        }
    }
};

// Fills list entries the module does not support.
template <typename Fn>
struct Unsupported;

template <typename... Args>
struct Unsupported<CK_RV (*)(Args...)> {
    static CK_RV Call(Args...) {
        std::lock_guard<std::mutex> lock(CallGate::Mutex());
        try {
            const StateLock state = CallGate::LockState(StateAccess::Read);
            if (auto fault = CallGate::Enter()) return *fault;
        } catch (...) {
            return CKR_GENERAL_ERROR;
        }
        return CKR_FUNCTION_NOT_SUPPORTED;
    }
};

}  // namespace softtoken
