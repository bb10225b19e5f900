#include "device/DeviceP11Operation.h"

// Built in a later step; until then every operation here reports -300.

long DeviceP11Operation::GMWritePKCS07(const char*) { return SetLastError(-300); }
long DeviceP11Operation::WriteCert(std::string, bool) { return -300; }
bool DeviceP11Operation::ParseP7(std::string, std::vector<DERCERT>&) { return false; }
unsigned int DeviceP11Operation::PemToDer(const char*, long, unsigned char*, unsigned int*) { return 0; }
int DeviceP11Operation::GetBase64Value(char) { return -2; }
int DeviceP11Operation::CheckCertType(const unsigned char*, unsigned long) { return 0; }
int DeviceP11Operation::ParseP7B(const unsigned char*, unsigned long, std::vector<DERCERT>&) { return 5; }
bool DeviceP11Operation::FindMatchPublicKey(const unsigned char*, unsigned long) { return false; }
unsigned long DeviceP11Operation::GetCertModulus(const unsigned char*, unsigned long, unsigned char*, unsigned long*) { return 5; }
void DeviceP11Operation::FlipBuffer(unsigned char*, unsigned long) {}
bool DeviceP11Operation::DeleteTempCert() { return false; }
long DeviceP11Operation::GMDelTempKey(const char*, const char*) { return SetLastError(-300); }
long DeviceP11Operation::GMGetTemKey(char*, unsigned long) { return SetLastError(-300); }
