#include "device/DeviceP11Operation.h"

// Built in a later step; until then every operation here reports -300.

long DeviceP11Operation::GMGetPublicKey(const char*, std::string&) { return SetLastError(-300); }
long DeviceP11Operation::GetPublicKeyC(std::string&) { return SetLastError(-300); }
long DeviceP11Operation::GMGetPublicKeyC(const char*, const char*, const char*, std::string&) { return SetLastError(-300); }
long DeviceP11Operation::GMGetCertDN(std::string&) { return SetLastError(-300); }
long DeviceP11Operation::GetAdminKeyInfo(unsigned long, std::string&) { return SetLastError(-300); }
long DeviceP11Operation::BankEncGetRand(char*, unsigned long) { return SetLastError(-300); }
