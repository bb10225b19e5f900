#include "device/DeviceP11Operation.h"

// Built in a later step; until then every operation here reports -300.

long DeviceP11Operation::MakeTLVSignFile(const char*, const char*, std::string, std::string&, bool) { return -300; }
long DeviceP11Operation::MakePaddingTLVSignFile(const char*, const char*, const char*, std::string&, bool) { return -300; }
