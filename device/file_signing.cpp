#include "device/DeviceP11Operation.h"

// Built in a later step; until then every operation here reports -300.

long DeviceP11Operation::GMUSBKeySignFile(const char*, const char*, const char*, const char*, const char*, const char*, std::string&) { return SetLastError(-300); }
