// The software token behind a module that misreports what it answers, as the
// environment variable TOKEN_LIE says, for the host's regression tests:
//   attribute-length:N   every attribute length query reports N bytes
//   find-count:N         every object search reports N objects found
// Everything else passes through unchanged.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "token_module/token_module.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

CK_FUNCTION_LIST_PTR g_real = nullptr;
AUX_FUNCTION_LIST* g_realAux = nullptr;
CK_FUNCTION_LIST g_list;

// The number after "name:" in TOKEN_LIE, when that lie is asked for.
bool Lie(const char* name, CK_ULONG& value) {
    const char* lie = std::getenv("TOKEN_LIE");
    const size_t length = std::strlen(name);
    if (!lie || std::strncmp(lie, name, length) != 0 || lie[length] != ':') return false;
    value = std::strtoul(lie + length + 1, nullptr, 0);
    return true;
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                        CK_ULONG count) {
    CK_RV rv = g_real->C_GetAttributeValue(session, object, attributes, count);
    CK_ULONG reported = 0;
    if (!Lie("attribute-length", reported)) return rv;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (attributes[i].pValue == nullptr && attributes[i].ulValueLen != CK_UNAVAILABLE_INFORMATION) {
            attributes[i].ulValueLen = reported;
        }
    }
    return rv;
}

CK_RV FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR handles, CK_ULONG max, CK_ULONG_PTR count) {
    CK_RV rv = g_real->C_FindObjects(session, handles, max, count);
    CK_ULONG reported = 0;
    if (rv == CKR_OK && count && Lie("find-count", reported)) *count = reported;
    return rv;
}

bool Load() {
    if (g_real) return true;
    void* module = dlopen(SOFTTOKEN_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (!module) return false;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    auto getAux = reinterpret_cast<E_GetAuxFunctionList_t>(dlsym(module, "E_GetAuxFunctionList"));
    if (!getList || !getAux || getList(&g_real) != CKR_OK || getAux(&g_realAux) != CKR_OK) return false;
    g_list = *g_real;
    g_list.C_GetAttributeValue = GetAttributeValue;
    g_list.C_FindObjects = FindObjects;
    return true;
}

}  // namespace

EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (!list || !Load()) return CKR_GENERAL_ERROR;
    *list = &g_list;
    return CKR_OK;
}

EXPORT CK_RV E_GetAuxFunctionList(AUX_FUNCTION_LIST** list) {
    if (!list || !Load()) return CKR_GENERAL_ERROR;
    *list = g_realAux;
    return CKR_OK;
}
