#include "device/DeviceP11Operation.h"

// Built in a later step; until then every operation here reports -300.

bool DeviceP11Operation::GetPubKidByDN(std::string, std::vector<unsigned char>&, bool) { return false; }
bool DeviceP11Operation::GetPubKidByKid(std::string, std::vector<unsigned char>&) { return false; }
long DeviceP11Operation::TransPubKid(std::vector<unsigned char>&, const char*) { return SetLastError(-352); }
bool DeviceP11Operation::CheckPubKeyIsValid(int) { return false; }
