#include "token_test_support.h"

#include <dlfcn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

const Bytes kPinPromptBlock = {0x01, 0x08, '0', '0', '0', '0', '0', '0', '0', '0', 0x00};

LoadedModule::LoadedModule() {
    static int copies = 0;
    copyPath_ = (std::filesystem::temp_directory_path() /
                 ("softtoken-module-" + std::to_string(getpid()) + "-" + std::to_string(++copies) + ".so"))
                    .string();
    std::filesystem::copy_file(SoftTokenDir::ModulePath(), copyPath_,
                               std::filesystem::copy_options::overwrite_existing);
    handle_ = dlopen(copyPath_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
    auto getAux = reinterpret_cast<E_GetAuxFunctionList_t>(dlsym(handle_, "E_GetAuxFunctionList"));
    if (!getList || !getAux || getList(&functions_) != CKR_OK || getAux(&aux_) != CKR_OK) {
        throw std::runtime_error("module lists missing");
    }
}

LoadedModule::~LoadedModule() {
    if (handle_) dlclose(handle_);
    std::error_code ignored;
    std::filesystem::remove(copyPath_, ignored);
}

unsigned long LoadedModule::OpenSessionCount() const {
    auto count = reinterpret_cast<unsigned long (*)()>(dlsym(handle_, "SoftToken_OpenSessionCount"));
    return count ? count() : ~0UL;
}

CK_RV LoadedModule::InitializeAndOpen(CK_SESSION_HANDLE& session, CK_SLOT_ID slot) const {
    CK_RV rv = functions_->C_Initialize(nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) return rv;
    return functions_->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
}

CK_RV LoadedModule::Login(CK_SESSION_HANDLE session) const {
    Bytes pin = kPinPromptBlock;
    return functions_->C_Login(session, CKU_USER, pin.data(), pin.size());
}

std::vector<CK_OBJECT_HANDLE> LoadedModule::Find(CK_SESSION_HANDLE session, const std::vector<CK_ATTRIBUTE>& templ,
                                                 CK_ULONG max) const {
    std::vector<CK_ATTRIBUTE> copy = templ;
    if (functions_->C_FindObjectsInit(session, copy.data(), copy.size()) != CKR_OK) return {};
    std::vector<CK_OBJECT_HANDLE> found(max);
    CK_ULONG count = 0;
    CK_RV rv = functions_->C_FindObjects(session, found.data(), max, &count);
    functions_->C_FindObjectsFinal(session);
    if (rv != CKR_OK) return {};
    found.resize(count);
    return found;
}

Bytes LoadedModule::Attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const {
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    if (functions_->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK) return {};
    Bytes value(attribute.ulValueLen);
    attribute.pValue = value.data();
    if (functions_->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK) return {};
    value.resize(attribute.ulValueLen);
    return value;
}

CK_OBJECT_HANDLE LoadedModule::KeyAt(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass, CK_KEY_TYPE keyType,
                                     unsigned char index) const {
    Bytes indexBytes{index};
    auto found = Find(session, {UlongAttribute(CKA_CLASS, objectClass), UlongAttribute(CKA_KEY_TYPE, keyType),
                                BytesAttribute(CKA_VENDOR_KEY_INDEX, indexBytes)});
    return found.size() == 1 ? found[0] : 0;
}

CK_RV LoadedModule::Sign(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key,
                         const Bytes& data, Bytes& signature) const {
    CK_MECHANISM mech{mechanism, nullptr, 0};
    CK_RV rv = functions_->C_SignInit(session, &mech, key);
    if (rv != CKR_OK) return rv;
    Bytes input = data;
    signature.assign(1024, 0);
    CK_ULONG length = signature.size();
    rv = functions_->C_Sign(session, input.data(), input.size(), signature.data(), &length);
    signature.resize(rv == CKR_OK ? length : 0);
    return rv;
}

void InstallDemo(const SoftTokenDir& dir) {
    static SoftTokenDir* demo = [] {
        static SoftTokenDir made;  // lives until the program ends
        if (made.Tool({"demo"}).exitCode != 0) throw std::runtime_error("softtoken-tool demo failed");
        return &made;
    }();
    setenv("SOFTTOKEN_DIR", dir.Path().c_str(), 1);  // making the template pointed it elsewhere
    std::filesystem::copy(demo->Path(), dir.Path(),
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
}

CK_ATTRIBUTE UlongAttribute(CK_ATTRIBUTE_TYPE type, const CK_ULONG& value) {
    return CK_ATTRIBUTE{type, const_cast<CK_ULONG*>(&value), sizeof value};
}

CK_ATTRIBUTE BytesAttribute(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
    return CK_ATTRIBUTE{type, const_cast<unsigned char*>(value.data()), value.size()};
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string LastLine(const std::string& text) {
    std::string trimmed = text.substr(0, text.find_last_not_of('\n') + 1);
    size_t newline = trimmed.rfind('\n');
    return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// ---- independent OpenSSL checks ---------------------------------------------

namespace {

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(EC_GROUP* p) const { EC_GROUP_free(p); }
    void operator()(EC_POINT* p) const { EC_POINT_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

Owned<EVP_PKEY> KeyFromParams(const char* type, OSSL_PARAM_BLD* build) {
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(build));
    Owned<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return nullptr;
    }
    return Owned<EVP_PKEY>(key);
}

Owned<EVP_PKEY> RsaKey(const Bytes& modulus, const Bytes& exponent) {
    Owned<OSSL_PARAM_BLD> build(OSSL_PARAM_BLD_new());
    Owned<BIGNUM> n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
    Owned<BIGNUM> e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
    OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get());
    OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get());
    return KeyFromParams("RSA", build.get());
}

Owned<EVP_PKEY> Sm2Key(const Bytes& point) {
    Owned<OSSL_PARAM_BLD> build(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    return KeyFromParams("SM2", build.get());
}

Bytes DerSignature(const Bytes& rs) {
    if (rs.size() != 64) return {};
    Owned<ECDSA_SIG> signature(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(rs.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(rs.data() + 32, 32, nullptr);
    ECDSA_SIG_set0(signature.get(), r, s);
    int length = i2d_ECDSA_SIG(signature.get(), nullptr);
    Bytes der(static_cast<size_t>(length));
    unsigned char* cursor = der.data();
    i2d_ECDSA_SIG(signature.get(), &cursor);
    return der;
}

Bytes Padded(const BIGNUM* number) {
    Bytes bytes(32);
    BN_bn2binpad(number, bytes.data(), 32);
    return bytes;
}

}  // namespace

Bytes HashWith(const char* digestName, const Bytes& data) {
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_get_digestbyname(digestName), nullptr);
    digest.resize(length);
    return digest;
}

Bytes Sm2Z(const Bytes& point) {
    Owned<EC_GROUP> group(EC_GROUP_new_by_curve_name(NID_sm2));
    Owned<BIGNUM> p(BN_new()), a(BN_new()), b(BN_new()), gx(BN_new()), gy(BN_new());
    EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), nullptr);
    EC_POINT_get_affine_coordinates(group.get(), EC_GROUP_get0_generator(group.get()), gx.get(), gy.get(), nullptr);
    Bytes block = {0x00, 0x80};
    for (char c : std::string("1234567812345678")) block.push_back(static_cast<unsigned char>(c));
    for (const BIGNUM* number : {a.get(), b.get(), gx.get(), gy.get()}) {
        Bytes bytes = Padded(number);
        block.insert(block.end(), bytes.begin(), bytes.end());
    }
    block.insert(block.end(), point.begin() + 1, point.end());
    return HashWith("SM3", block);
}

bool VerifyRsaPkcs1(const Bytes& modulus, const Bytes& exponent, const char* digestName, const Bytes& digest,
                    const Bytes& signature) {
    Owned<EVP_PKEY> key = RsaKey(modulus, exponent);
    Owned<EVP_PKEY_CTX> context(key ? EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr) : nullptr);
    return context && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context.get(), EVP_get_digestbyname(digestName)) == 1 &&
           EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
}

Bytes RecoverRsaPkcs1(const Bytes& modulus, const Bytes& exponent, const Bytes& signature) {
    Owned<EVP_PKEY> key = RsaKey(modulus, exponent);
    Owned<EVP_PKEY_CTX> context(key ? EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr) : nullptr);
    Bytes recovered(signature.size());
    size_t length = recovered.size();
    if (!context || EVP_PKEY_verify_recover_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_verify_recover(context.get(), recovered.data(), &length, signature.data(), signature.size()) != 1) {
        return {};
    }
    recovered.resize(length);
    return recovered;
}

Bytes Sm3DigestInfo(const Bytes& digest) {
    Bytes info = {0x30, 0x30, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x81, 0x1c, 0xcf, 0x55, 0x01,
                  0x83, 0x11, 0x05, 0x00, 0x04, 0x20};
    info.insert(info.end(), digest.begin(), digest.end());
    return info;
}

bool VerifySm2Raw(const Bytes& point, const Bytes& e, const Bytes& rs) {
    Owned<EVP_PKEY> key = Sm2Key(point);
    Owned<EVP_PKEY_CTX> context(key ? EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr) : nullptr);
    Bytes der = DerSignature(rs);
    return context && !der.empty() && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_verify(context.get(), der.data(), der.size(), e.data(), e.size()) == 1;
}

bool VerifySm2Message(const Bytes& point, const Bytes& message, const Bytes& rs) {
    Owned<EVP_PKEY> key = Sm2Key(point);
    Bytes der = DerSignature(rs);
    if (!key || der.empty()) return false;
    Owned<EVP_MD_CTX> digest(EVP_MD_CTX_new());
    Owned<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    const char id[] = "1234567812345678";
    if (EVP_PKEY_CTX_set1_id(context.get(), id, 16) != 1) return false;
    EVP_MD_CTX_set_pkey_ctx(digest.get(), context.get());
    bool ok = EVP_DigestVerifyInit(digest.get(), nullptr, EVP_sm3(), nullptr, key.get()) == 1 &&
              EVP_DigestVerify(digest.get(), der.data(), der.size(), message.data(), message.size()) == 1;
    EVP_MD_CTX_set_pkey_ctx(digest.get(), nullptr);
    return ok;
}
