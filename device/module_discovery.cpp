#include "device/DeviceP11Operation.h"

// Built in a later step; until then every operation here reports -300.

#include <cstdlib>
#include <unistd.h>

const char* const kDefaultModulePath = "/opt/apps/com.dorvel.quillmark7100-zeka/files/lib/libQuillmark7100_ZEKA.so";
const unsigned char kPinPromptBlock[11] = {0x01, 0x08, '0', '0', '0', '0', '0', '0', '0', '0', 0x00};

DeviceP11Operation::DeviceP11Operation(std::string path) : m_path(std::move(path)) {}
DeviceP11Operation::~DeviceP11Operation() { Clear(); }
long DeviceP11Operation::Clear() { m_charsetUtf8 = 0; return 0; }
long DeviceP11Operation::GetFuncList() { return SetLastError(-101); }
long DeviceP11Operation::Init() { return SetLastError(-101); }
long DeviceP11Operation::GetTokenCount(unsigned int*) { return SetLastError(-101); }
bool DeviceP11Operation::CheckToken() { GetTokenCount(nullptr); return false; }
long DeviceP11Operation::RunTokenRule() { return GetTokenCount(nullptr); }
bool DeviceP11Operation::OpenSession(P11Session&) { return false; }
long DeviceP11Operation::MapLoginResult(CK_RV, long otherRv) { return otherRv; }
void DeviceP11Operation::SetSleeper(std::function<void(unsigned int)> sleeper) { m_sleeper = std::move(sleeper); }

DeviceP11Operation* GetDeviceListHandle() {
    static DeviceP11Operation theDeviceLayer([] {
        const char* path = std::getenv("TOKEN_HOST_MODULE");
        return std::string(path && *path ? path : kDefaultModulePath);
    }());
    return &theDeviceLayer;
}
