// The "CertInfo" text of "GMCreatePKCS10": request blocks, subject DN
// syntax and the DER encoding of the subject.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "device/pkcs10.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

// The capacity request generation hands over.
constexpr unsigned long kSubjectCapacity = 4096;

void EncodeSubject(const std::string& dn) {
    std::unique_ptr<unsigned char[]> out(new unsigned char[kSubjectCapacity]);
    unsigned long length = kSubjectCapacity;
    const long rv = GetSubjectDN(dn, out.get(), &length);
    if (rv != 0) return;
    Check(length >= 2 && length <= kSubjectCapacity && out[0] == 0x30);
    // Too small a capacity is refused, never overrun.
    std::unique_ptr<unsigned char[]> small(new unsigned char[length - 1]);
    unsigned long smallLength = length - 1;
    Check(GetSubjectDN(dn, small.get(), &smallLength) != 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string certInfo = text.c_str();  // as the JSON member arrives

    pkcs10info infos[5];
    unsigned int count = 0;
    const bool parsed = ParsePKCS10Param(certInfo, infos, &count);
    if (parsed) {
        Check(count == 1 || count == 2);
        for (unsigned int i = 0; i < count; ++i) {
            Check(IsRightDN(infos[i].dn));
            EncodeSubject(infos[i].dn);
        }
    }
    IsRightDN(certInfo);
    EncodeSubject(certInfo);
    return 0;
}
