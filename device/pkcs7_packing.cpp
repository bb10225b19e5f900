#include "device/DeviceP11Operation.h"

// Built in a later step; until then every operation here reports -300.

long DeviceP11Operation::PackCert2P7(const std::string&, const std::vector<unsigned char>&, const std::vector<unsigned char>&, unsigned long, bool, std::string&) { return -409; }
long DeviceP11Operation::PackCert2P7SignFile(const std::string&, const std::vector<unsigned char>&, std::vector<unsigned char>, unsigned long, bool, std::string&, const std::string&) { return -409; }
