#include "softtoken/module/holder.h"

#include <algorithm>

namespace softtoken {

HolderAction AskHolder(const TokenStore& store, Token& token, HolderPoint point) {
    auto it = std::find_if(token.queue.begin(), token.queue.end(),
                           [point](const HolderAction& action) { return action.AppliesTo(point); });
    if (it == token.queue.end()) return HolderAction{};
    HolderAction action = *it;
    token.queue.erase(it);
    store.Save(token);
    return action;
}

void SpendPinTry(const TokenStore& store, Token& token) {
    if (token.triesLeft > 0) --token.triesLeft;
    store.Save(token);
}

CK_RV CommonAnswer(const TokenStore& store, Token& token, const HolderAction& action) {
    switch (action.choice) {
        case HolderChoice::Approve: return CKR_OK;
        case HolderChoice::Cancel: return CKR_CANCEL;
        case HolderChoice::Timeout: return CKR_VENDOR_USER_TIMEOUT;
        case HolderChoice::WrongPin: SpendPinTry(store, token); return CKR_PIN_INCORRECT;
        case HolderChoice::ReturnValue: return action.rv;
    }
    return CKR_GENERAL_ERROR;
}

}  // namespace softtoken
