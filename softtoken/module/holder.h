// The holder at the key: every prompt consumes the first queued action that
// applies to it (softtoken-tool queue); with none queued the holder approves.
#pragma once

#include "softtoken/common/token_store.h"

namespace softtoken {

// Pops the action (saving the token at once, so it is used exactly once).
HolderAction AskHolder(const TokenStore& store, Token& token, HolderPoint point);

// How most prompts answer: approve 0, cancel CKR_CANCEL, timeout the
// module's time-out code, wrong-pin CKR_PIN_INCORRECT after spending a try
// (saved), rv:N that value.
CK_RV CommonAnswer(const TokenStore& store, Token& token, const HolderAction& action);

// Spends one PIN try and saves the token.
void SpendPinTry(const TokenStore& store, Token& token);

}  // namespace softtoken
