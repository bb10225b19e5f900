// A module that needs a function no library defines: lazy binding would load
// it, immediate binding must refuse it.
extern "C" int token_test_symbol_defined_nowhere(void);

extern "C" __attribute__((visibility("default"))) int C_GetFunctionList(void** list) {
    if (list) *list = nullptr;
    return token_test_symbol_defined_nowhere();
}
