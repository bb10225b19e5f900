#include "device/DeviceP11Operation.h"

// Built in a later step; until then texts pass unchanged.
std::string DeviceP11Operation::UTF8ToGBK(const char* text, unsigned long length) { return std::string(text, length); }
