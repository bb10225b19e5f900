// The certificate bundle of "GMWritePKCS7" (PEM, raw Base64 or DER of a
// PKCS#7 bundle or one X.509 certificate) through the installation's parsers.
// No module is loaded, so every key lookup finds nothing.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "device/cert_install.h"
#include "device/module_connection.h"

namespace {

// No module: no certificate matches a key of the token.
const SelectedToken kNoToken;

void Check(bool condition) {
    if (!condition) std::abort();
}

void ParseText(const std::string& text) {
    std::vector<DERCERT> certs;
    ParseP7(kNoToken, text, certs);
    for (const DERCERT& cert : certs) Check(cert.length == cert.data.size());

    // The buffer ParseP7 itself would use: three quarters of the text, plus one.
    unsigned int capacity = static_cast<unsigned int>(text.size() * 3 / 4 + 1);
    std::unique_ptr<unsigned char[]> der(new unsigned char[capacity]);
    const unsigned int decoded = PemToDer(text.c_str(), static_cast<long>(text.size()), der.get(), &capacity);
    Check(decoded <= text.size() * 3 / 4 + 1);
}

void ParseDer(const uint8_t* data, size_t size) {
    // Exactly sized copies, so a read past the end is caught.
    std::unique_ptr<unsigned char[]> der(new unsigned char[size ? size : 1]);
    std::copy(data, data + size, der.get());
    const int kind = CheckCertType(der.get(), size);
    Check(kind >= 0 && kind <= 3);

    unsigned long length = 0;
    if (GetCertModulus(der.get(), size, nullptr, &length) != 0 || length == 0) return;
    Check(length < size);
    std::unique_ptr<unsigned char[]> modulus(new unsigned char[length]);
    unsigned long shortLength = length - 1;
    if (shortLength > 0) Check(GetCertModulus(der.get(), size, modulus.get(), &shortLength) != 0);
    Check(GetCertModulus(der.get(), size, modulus.get(), &length) == 0);

    std::vector<DERCERT> certs;
    ParseP7B(kNoToken, der.get(), size, certs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const uint8_t*>(data), reinterpret_cast<const uint8_t*>(data) + size);
    // The text arrives through JSON as a C string: it ends at its first zero byte.
    ParseText(bytes.c_str());
    ParseDer(data, size);
    return 0;
}
