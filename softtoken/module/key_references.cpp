#include "softtoken/module/key_references.h"

#include "softtoken/common/key_pairs.h"

namespace softtoken {

namespace {
std::optional<KeyReference> Reference(KeyAlgorithm algorithm, int number, int offset) {
    int index = number - offset;
    if (index < 0 || index >= IndexCount(algorithm)) return std::nullopt;
    return KeyReference{algorithm, index};
}
}  // namespace

std::optional<KeyReference> KeyFromIdPair(unsigned char tag, unsigned char number) {
    if (tag == 0x1B) return Reference(KeyAlgorithm::Sm2, number, 1);
    if (tag == 0x2B) return Reference(KeyAlgorithm::Rsa, number, 2);
    return std::nullopt;
}

std::optional<KeyReference> KeyFromSignKind(unsigned char kind, unsigned char number) {
    if (kind == 0x13) return Reference(KeyAlgorithm::Sm2, number, 1);
    if (kind == 0x23) return Reference(KeyAlgorithm::Rsa, number, 2);
    return std::nullopt;
}

std::optional<Bytes> ExportForm(const TokenObject& publicKey) {
    auto algorithm = KeyAlgorithmOf(publicKey);
    const Bytes* modulus = publicKey.Attribute(CKA_MODULUS);
    if (!publicKey.IsClass(CKO_PUBLIC_KEY) || !algorithm || !modulus) return std::nullopt;
    if (*algorithm == KeyAlgorithm::Sm2) return *modulus;
    const Bytes* exponent = publicKey.Attribute(CKA_PUBLIC_EXPONENT);
    if (!exponent) return std::nullopt;
    return RsaPublicKeyDer(*modulus, *exponent);
}

}  // namespace softtoken
