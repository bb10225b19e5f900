#include "softtoken/module/aux_api.h"
#include "softtoken/module/call_gate.h"

namespace softtoken {

void FillAuxEntries(AUX_FUNCTION_LIST&) {}

}  // namespace softtoken
