// The software token's PKCS#11 functions behind an auxiliary list whose entries
// are all empty: a module the host must survive without calling through null.
#include <dlfcn.h>

#include "device/token_module.h"

namespace {
AUX_FUNCTION_LIST emptyList{};

void* SoftToken() {
    static void* module = dlopen(SOFTTOKEN_MODULE, RTLD_NOW);
    return module;
}
}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    void* module = SoftToken();
    auto forward = module ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList")) : nullptr;
    return forward ? forward(list) : CKR_GENERAL_ERROR;
}

extern "C" __attribute__((visibility("default"))) CK_RV E_GetAuxFunctionList(AUX_FUNCTION_LIST** list) {
    if (!list) return CKR_ARGUMENTS_BAD;
    *list = &emptyList;
    return CKR_OK;
}
