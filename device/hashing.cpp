#include "device/DeviceP11Operation.h"

// Built in a later step.
bool DeviceP11Operation::ComputeZ(const unsigned char*, unsigned long, const unsigned char*, unsigned long, unsigned char*, unsigned long*) { return false; }
bool DeviceP11Operation::GetHashValue(std::string, const unsigned char*, uint32_t, unsigned char*, unsigned char*, unsigned long*) { return false; }
