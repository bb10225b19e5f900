// What the device layer tells the people who support the host: plain facts,
// free of the module's types, so that the layers above may hold them. Names
// of functions and results are our own fixed strings ("C_Sign",
// "CKR_DEVICE_ERROR", "0x80001234").
#pragma once

#include <string>

// A token module call that failed: the function and its result. Empty when
// none failed.
struct ModuleCallFailure {
    std::string function;
    std::string result;
    bool Empty() const { return function.empty(); }
};
