// The one symbol the device layer's shared object exports (see token_device.h).
#include <string_view>
#include <type_traits>

#include "device/DeviceP11Operation.h"

extern "C" __attribute__((visibility("default"))) void TokenHostOpenDevice(const char* modulePath,
                                                                            std::unique_ptr<TokenDevice>* device) {
    *device = std::make_unique<DeviceP11Operation>(modulePath);
}

// The host looks it up by this name and calls it with this type.
static_assert(std::string_view(kOpenDeviceSymbol) == "TokenHostOpenDevice");
static_assert(std::is_same_v<decltype(&TokenHostOpenDevice), OpenDeviceFunction>);
