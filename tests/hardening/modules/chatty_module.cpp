// The software token behind a module that talks on standard output, as some
// vendors' modules log: C_Initialize and C_Sign each print through stdio
// (without a newline, so only an unbuffered stream shows it at once) and then
// write a line straight to descriptor 1.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "token_module/token_module.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

CK_FUNCTION_LIST_PTR g_real = nullptr;
AUX_FUNCTION_LIST* g_realAux = nullptr;
CK_FUNCTION_LIST g_list;

void Chatter(const char* function) {
    std::printf("chatty printf %s;", function);
    char line[64];
    const int length = std::snprintf(line, sizeof line, "chatty write %s\n", function);
    if (write(STDOUT_FILENO, line, static_cast<size_t>(length)) < 0) {
        // Nothing to do: the module does not care whether anyone listens.
    }
}

CK_RV Initialize(CK_VOID_PTR args) {
    Chatter("C_Initialize");
    return g_real->C_Initialize(args);
}

CK_RV Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
           CK_ULONG_PTR signatureLength) {
    Chatter("C_Sign");
    return g_real->C_Sign(session, data, length, signature, signatureLength);
}

bool Load() {
    if (g_real) return true;
    void* module = dlopen(SOFTTOKEN_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (!module) return false;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    auto getAux = reinterpret_cast<E_GetAuxFunctionList_t>(dlsym(module, "E_GetAuxFunctionList"));
    if (!getList || !getAux || getList(&g_real) != CKR_OK || getAux(&g_realAux) != CKR_OK) return false;
    g_list = *g_real;
    g_list.C_Initialize = Initialize;
    g_list.C_Sign = Sign;
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
