#include "device/DeviceP11Operation.h"

// Built in a later step; until then every operation here reports -300.

bool DeviceP11Operation::ParsePKCS10Param(std::string, _pkcs10info*, unsigned int*) { return false; }
bool DeviceP11Operation::IsRightDN(std::string) { return false; }
long DeviceP11Operation::GetSubjectDN(std::string, unsigned char*, unsigned long*) { return -304; }
