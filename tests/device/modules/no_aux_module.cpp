// A module with the PKCS#11 entry point only: no auxiliary function list.
#include "token_module/token_module.h"

namespace {
CK_FUNCTION_LIST functions{};
}

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (!list) return CKR_ARGUMENTS_BAD;
    functions.version = CK_VERSION{2, 40};
    *list = &functions;
    return CKR_OK;
}
