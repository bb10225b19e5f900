// Tokens and process-wide records in the state directory:
//   token<N>.json  one token (token_model.h)
//   sessions       sessions opened minus closed by the last process
//   calls          calls made into the module by the last process
//   fault          "K RV": the K-th call of a process answers RV
//   iptype         the value last given to E_SetIPType
#pragma once

#include <optional>
#include <vector>

#include "softtoken/common/state_dir.h"
#include "softtoken/common/token_model.h"

namespace softtoken {

struct FaultPlan {
    unsigned long long call = 0;
    CK_RV rv = CKR_OK;
};

class TokenStore {
public:
    explicit TokenStore(StateDir dir) : dir_(std::move(dir)) {}

    const StateDir& dir() const { return dir_; }

    // Nullopt when the token does not exist or its file is unreadable.
    std::optional<Token> Load(int number) const;
    bool Save(const Token& token) const;
    bool Remove(int number) const;
    // Every readable token, by number.
    std::vector<Token> LoadAll() const;
    // The token answering at a slot: the lowest-numbered plugged one with that
    // slot ID, otherwise the lowest-numbered one.
    std::optional<Token> LoadBySlot(CK_SLOT_ID slot) const;

    // Counter files hold one decimal number; missing or garbled reads as 0.
    unsigned long long ReadCounter(const std::string& name) const;
    bool WriteCounter(const std::string& name, unsigned long long value) const;

    std::optional<FaultPlan> LoadFault() const;
    bool SaveFault(const FaultPlan& plan) const;
    bool ClearFault() const;

    std::optional<long long> LoadIpType() const;
    bool SaveIpType(long long value) const;

private:
    static std::string TokenFileName(int number);
    StateDir dir_;
};

constexpr const char* kSessionsFile = "sessions";
constexpr const char* kCallsFile = "calls";

}  // namespace softtoken
