// The software token's PKCS#11 functions behind an auxiliary list that is
// empty except for a language list entry that fills its whole buffer and
// claims far more: a module the host must survive without calling through
// null or reading past a buffer.
#include <dlfcn.h>

#include <cstring>

#include "token_module/token_module.h"

namespace {

CK_RV FullLanguageList(CK_SLOT_ID, char* out, CK_ULONG* length) {
    if (!out || !length) return CKR_ARGUMENTS_BAD;
    std::memset(out, 'x', *length);  // no terminating zero
    *length = 100000;
    return CKR_OK;
}

AUX_FUNCTION_LIST* SparseList() {
    static AUX_FUNCTION_LIST list = [] {
        AUX_FUNCTION_LIST l{};
        l.entries[AUX_GET_LANGUAGE_LIST] = reinterpret_cast<void*>(&FullLanguageList);
        return l;
    }();
    return &list;
}

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
    *list = SparseList();
    return CKR_OK;
}
