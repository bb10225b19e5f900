// DN texts: certificate subjects as the module hands them over (one-line
// form) and the signer patterns the browser sends. The input is split into a
// subject and a pattern at the first newline.
#include <cstdint>
#include <string>

#include "support/Gener_Func.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\n');
    const std::string subject = input.substr(0, split);
    const std::string pattern = split == std::string::npos ? std::string() : input.substr(split + 1);

    const std::string inverted = InvertDN(subject.c_str(), static_cast<int>(subject.size()));
    SignMatchDN(inverted.c_str(), pattern.c_str());
    SignMatchDN(subject.c_str(), pattern.c_str());
    IsMatchCertDN(inverted.c_str(), pattern.c_str());
    IsMatchCertDN(pattern.c_str(), subject.c_str());
    return 0;
}
