#include "device/DeviceP11Operation.h"

// Built in a later step; until then every operation here reports -300.

long DeviceP11Operation::GMUSBKeySign(const char*, const char*, const char*, std::string, std::string, std::string&) { return SetLastError(-300); }
long DeviceP11Operation::SelectSigner(P11Session&, const char*, const char*, const char*, const std::string&, bool, SignerSelection&) { return -300; }
long DeviceP11Operation::ChooseMechanism(bool, const std::string&, CK_MECHANISM_TYPE&) { return -300; }
long DeviceP11Operation::LoginWithPrompt(P11Session&) { return -300; }
long DeviceP11Operation::FindPrivateKey(P11Session&, const std::vector<unsigned char>&, CK_OBJECT_HANDLE&) { return -300; }
