#include "device/DeviceP11Operation.h"

// Built in a later step; until then every operation here reports -300.

long DeviceP11Operation::GMCreatePKCS10(const char*, std::string&) { return SetLastError(-300); }
