#include "facade/deferred_device.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <utility>

#include "support/result_codes.h"

namespace {

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

void DeferredDevice::LibraryCloser::operator()(void* handle) const { dlclose(handle); }

DeferredDevice::DeferredDevice(const std::string& library, std::string modulePath)
    : libraryFile_(library.empty() ? -1 : open(library.c_str(), O_RDONLY | O_CLOEXEC)),
      libraryName_(library),
      modulePath_(std::move(modulePath)) {}

DeferredDevice::~DeferredDevice() = default;

TokenDevice* DeferredDevice::Device() {
    if (device_) return device_.get();
    const char* why = "cannot open it";
    if (libraryFile_.get() >= 0) {
        std::unique_ptr<void, LibraryCloser> library(dlopen(DescriptorPath(libraryFile_.get()).c_str(),
                                                            RTLD_NOW | RTLD_LOCAL));
        const auto open =
            library ? reinterpret_cast<OpenDeviceFunction>(dlsym(library.get(), kOpenDeviceSymbol)) : nullptr;
        if (open) {
            std::unique_ptr<TokenDevice> device;
            open(modulePath_.c_str(), &device);
            if (device) {
                library_ = std::move(library);
                device_ = std::move(device);
                return device_.get();
            }
            why = "it made no device";
        } else {
            const char* error = dlerror();
            why = error ? error : "no entry point";
        }
    }
    loadFailure_ = "cannot load the device layer " + libraryName_ + ": " + why;
    std::fprintf(stderr, "token-host: %s\n", loadFailure_.c_str());
    return nullptr;
}

template <typename Operation>
long DeferredDevice::Forward(Operation operation) {
    TokenDevice* device = Device();
    return device ? operation(*device) : rc::kModuleNotInstalled;
}

long DeferredDevice::GMUSBKeySign(const char* dn, const char* xmlMsg, const char* keyMsg, std::string hashName,
                                  std::string filePath, std::string& out) {
    return Forward([&](TokenDevice& device) {
        return device.GMUSBKeySign(dn, xmlMsg, keyMsg, std::move(hashName), std::move(filePath), out);
    });
}

long DeferredDevice::GMUSBKeySign(const char* dn, const char* xmlMsg, const char* keyMsg, std::string hashName,
                                  std::string filePath, Base64Text& out) {
    return Forward([&](TokenDevice& device) {
        return device.GMUSBKeySign(dn, xmlMsg, keyMsg, std::move(hashName), std::move(filePath), out);
    });
}

long DeferredDevice::GMUSBKeySignFile(const char* dn, const char* hashName, const char* xmlMsg, const char* keyMsg,
                                      const char* filePath, const char* p7Path, std::string& out) {
    return Forward([&](TokenDevice& device) {
        return device.GMUSBKeySignFile(dn, hashName, xmlMsg, keyMsg, filePath, p7Path, out);
    });
}

long DeferredDevice::GMCreatePKCS10(const char* certInfo, std::string& text) {
    return Forward([&](TokenDevice& device) { return device.GMCreatePKCS10(certInfo, text); });
}

long DeferredDevice::GMWritePKCS07(const char* p7) {
    return Forward([&](TokenDevice& device) { return device.GMWritePKCS07(p7); });
}

long DeferredDevice::GMDelTempKey(const char* dn, const char* keyIds) {
    return Forward([&](TokenDevice& device) { return device.GMDelTempKey(dn, keyIds); });
}

long DeferredDevice::GMGetTemKey(char* out, unsigned long capacity) {
    return Forward([&](TokenDevice& device) { return device.GMGetTemKey(out, capacity); });
}

long DeferredDevice::GMGetPublicKey(const char* keyType, std::string& text) {
    return Forward([&](TokenDevice& device) { return device.GMGetPublicKey(keyType, text); });
}

long DeferredDevice::GetPublicKeyC(std::string& text) {
    return Forward([&](TokenDevice& device) { return device.GetPublicKeyC(text); });
}

long DeferredDevice::GMGetPublicKeyC(const char* keyType, const char* dnOrId, const char* base64SerRand,
                                     std::string& text) {
    return Forward([&](TokenDevice& device) { return device.GMGetPublicKeyC(keyType, dnOrId, base64SerRand, text); });
}

long DeferredDevice::GMGetCertDN(std::string& text) {
    return Forward([&](TokenDevice& device) { return device.GMGetCertDN(text); });
}

long DeferredDevice::GetAdminKeyInfo(unsigned long unused, std::string& text) {
    return Forward([&](TokenDevice& device) { return device.GetAdminKeyInfo(unused, text); });
}

long DeferredDevice::BankEncGetRand(char* out, unsigned long outSize) {
    return Forward([&](TokenDevice& device) { return device.BankEncGetRand(out, outSize); });
}

long DeferredDevice::ChangePin() {
    return Forward([&](TokenDevice& device) { return device.ChangePin(); });
}

long DeferredDevice::SetWarningMsg(const char* text, int length) {
    return Forward([&](TokenDevice& device) { return device.SetWarningMsg(text, length); });
}

long DeferredDevice::SetLanguage(const char* text, int length) {
    return Forward([&](TokenDevice& device) { return device.SetLanguage(text, length); });
}

long DeferredDevice::SetCharset(const char* text, int length) {
    return Forward([&](TokenDevice& device) { return device.SetCharset(text, length); });
}

long DeferredDevice::GetLanguageList(char* out, int size) {
    return Forward([&](TokenDevice& device) { return device.GetLanguageList(out, size); });
}

long DeferredDevice::GetCharsetList(char* out, int size) {
    return Forward([&](TokenDevice& device) { return device.GetCharsetList(out, size); });
}

long DeferredDevice::CustInitCard() {
    return Forward([&](TokenDevice& device) { return device.CustInitCard(); });
}

long DeferredDevice::GetPublicKeyNum(int* count) {
    return Forward([&](TokenDevice& device) { return device.GetPublicKeyNum(count); });
}

long DeferredDevice::GetTokenSN(char* out, int size) {
    return Forward([&](TokenDevice& device) { return device.GetTokenSN(out, size); });
}

long DeferredDevice::GetCSPVersion(char* out, int size) {
    return Forward([&](TokenDevice& device) { return device.GetCSPVersion(out, size); });
}

long DeferredDevice::getClientInfo(char* out, int* length) {
    return Forward([&](TokenDevice& device) { return device.getClientInfo(out, length); });
}

long DeferredDevice::setIPType(int value) {
    return Forward([&](TokenDevice& device) { return device.setIPType(value); });
}

DeviceDiagnosis DeferredDevice::Diagnose() {
    if (TokenDevice* device = Device()) return device->Diagnose();
    DeviceDiagnosis diagnosis;
    diagnosis.module.fileExists = access(modulePath_.c_str(), F_OK) == 0;
    diagnosis.module.fileReadable = access(modulePath_.c_str(), R_OK) == 0;
    diagnosis.module.loadError = loadFailure_;
    diagnosis.key.code = rc::kModuleNotInstalled;
    return diagnosis;
}

ModuleCallFailure DeferredDevice::TakeModuleCallFailure() {
    return device_ ? device_->TakeModuleCallFailure() : ModuleCallFailure{};
}

std::string DeviceLibraryBesideProgram() {
    std::string program(PATH_MAX, '\0');
    const ssize_t length = readlink("/proc/self/exe", &program[0], program.size());
    if (length <= 0 || static_cast<size_t>(length) >= program.size()) return std::string();
    program.resize(static_cast<size_t>(length));
    const size_t slash = program.rfind('/');
    if (slash == std::string::npos) return std::string();
    return program.substr(0, slash + 1) + TOKEN_HOST_DEVICE_LIBRARY;
}
