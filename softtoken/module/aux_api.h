// The module's auxiliary entries (positions and prototypes in
// device/token_module.h), each implemented beside related ones.
#pragma once

#include "device/token_module.h"

namespace softtoken {

// Puts every implemented entry, behind the call gate, at its position.
void FillAuxEntries(AUX_FUNCTION_LIST& list);

}  // namespace softtoken
