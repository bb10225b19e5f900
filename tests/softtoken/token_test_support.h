// Shared pieces of the software token's tests: a private load of the module
// (as a fresh host process would see it), PKCS#11 shortcuts, and independent
// OpenSSL checks of the signatures it makes.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/softtoken_fixture.h"
#include "token_module/token_module.h"

using Bytes = std::vector<unsigned char>;

// The PIN prompt block the host passes to C_Login.
extern const Bytes kPinPromptBlock;

// dlopen's a copy of the module, so each instance starts like a new process.
class LoadedModule {
public:
    LoadedModule();
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    CK_FUNCTION_LIST* p11() const { return functions_; }
    AUX_FUNCTION_LIST* aux() const { return aux_; }
    template <typename Fn>
    Fn Aux(AuxEntry entry) const {
        return AuxEntryAt<Fn>(aux_, entry);
    }
    unsigned long OpenSessionCount() const;

    // C_Initialize, then a session on the slot (CKR_OK expected by callers).
    CK_RV InitializeAndOpen(CK_SESSION_HANDLE& session, CK_SLOT_ID slot = 1) const;
    CK_RV Login(CK_SESSION_HANDLE session) const;
    std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE session, const std::vector<CK_ATTRIBUTE>& templ,
                                       CK_ULONG max = 100) const;
    // The attribute's value; empty when it cannot be read.
    Bytes Attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const;
    // The key object of a class and algorithm at an index.
    CK_OBJECT_HANDLE KeyAt(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass, CK_KEY_TYPE keyType,
                           unsigned char index) const;
    CK_RV Sign(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key, const Bytes& data,
               Bytes& signature) const;

private:
    std::string copyPath_;
    void* handle_ = nullptr;
    CK_FUNCTION_LIST* functions_ = nullptr;
    AUX_FUNCTION_LIST* aux_ = nullptr;
};

// Fills the directory with the demo token (made once per test program and
// copied, since key generation is slow).
void InstallDemo(const SoftTokenDir& dir);

// Template entries pointing at caller-owned values.
CK_ATTRIBUTE UlongAttribute(CK_ATTRIBUTE_TYPE type, const CK_ULONG& value);
CK_ATTRIBUTE BytesAttribute(CK_ATTRIBUTE_TYPE type, const Bytes& value);

Bytes ToBytes(const std::string& text);
std::string LastLine(const std::string& text);
Bytes ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const Bytes& bytes);

// Independent checks with OpenSSL.
Bytes HashWith(const char* digestName, const Bytes& data);
// SM2 Z value of a 65-byte point for the default signer ID.
Bytes Sm2Z(const Bytes& point);
bool VerifyRsaPkcs1(const Bytes& modulus, const Bytes& exponent, const char* digestName, const Bytes& digest,
                    const Bytes& signature);
// What PKCS#1 v1.5 signature verification recovers: the signed DigestInfo.
Bytes RecoverRsaPkcs1(const Bytes& modulus, const Bytes& exponent, const Bytes& signature);
// DigestInfo of an SM3 digest (OID 1.2.156.10197.1.401), built by hand.
Bytes Sm3DigestInfo(const Bytes& digest);
bool VerifySm2Raw(const Bytes& point, const Bytes& e, const Bytes& rs);
// Standard SM2 verification of a message (ID 1234567812345678).
bool VerifySm2Message(const Bytes& point, const Bytes& message, const Bytes& rs);

// A demo token (RSA and SM2 certified pairs), a private load of the module,
// and an open session on its slot.
class DemoTokenFixture : public ::testing::Test {
protected:
    void SetUp() override {
        InstallDemo(dir);
        module = std::make_unique<LoadedModule>();
        f = module->p11();
        ASSERT_EQ(module->InitializeAndOpen(session), CKR_OK);
    }

    SoftTokenDir dir;
    std::unique_ptr<LoadedModule> module;
    CK_FUNCTION_LIST* f = nullptr;
    CK_SESSION_HANDLE session = 0;
};
