// E_SignFileWithDisplay: completing hand-built prefixes and signing them.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "token_test_support.h"

namespace {

std::string Decimal(size_t value, int width) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*zu", width, value);
    return text;
}

Bytes BinaryHeader(unsigned char tag, size_t length) {
    Bytes header{tag};
    for (int shift = 56; shift >= 0; shift -= 8) header.push_back(static_cast<unsigned char>(uint64_t{length} >> shift));
    return header;
}

std::string Base64(const Bytes& content) {
    std::string text(4 * ((content.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), content.data(),
                                 static_cast<int>(content.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

// A complete signing text and the prefix the host hands to the token for it.
struct SigningText {
    Bytes complete;
    Bytes prefix;
};

std::string FileRecord(const std::string& name, const std::string& base64) {
    return "00000000" + Decimal(name.size() + base64.size() + 16, 8) + Decimal(name.size() + base64.size() + 8, 8) +
           Decimal(name.size(), 8) + name + base64;
}

SigningText DecimalText(const std::string& text, const std::string& key, const std::string& path, const Bytes& file) {
    std::string base64 = path.empty() ? "" : Base64(file);
    std::string record = path.empty() ? "" : FileRecord(path, base64);
    std::string inner = "21" + Decimal(text.size(), 10) + text + "22" + Decimal(key.size(), 10) + key + "23" +
                        Decimal(record.size(), 10) + record;
    std::string whole = "11" + Decimal(inner.size(), 10) + inner;
    SigningText result{ToBytes(whole), ToBytes(whole.substr(0, whole.size() - base64.size()))};
    return result;
}

SigningText BinaryText(const std::string& text, const std::string& key, const std::string& path, const Bytes& file) {
    std::string base64 = path.empty() ? "" : Base64(file);
    std::string record = path.empty() ? "" : FileRecord(path, base64);
    Bytes inner = BinaryHeader(0x21, text.size());
    inner.insert(inner.end(), text.begin(), text.end());
    Bytes fileField = BinaryHeader(0x23, record.size());
    fileField.insert(fileField.end(), record.begin(), record.end());
    inner.insert(inner.end(), fileField.begin(), fileField.end());
    Bytes keyField = BinaryHeader(0x22, key.size());
    keyField.insert(keyField.end(), key.begin(), key.end());
    inner.insert(inner.end(), keyField.begin(), keyField.end());
    SigningText result;
    result.complete = BinaryHeader(0x11, inner.size());
    result.complete.insert(result.complete.end(), inner.begin(), inner.end());
    result.prefix.assign(result.complete.begin(), result.complete.end() - static_cast<std::ptrdiff_t>(
                                                                                 base64.size() + keyField.size()));
    return result;
}

Bytes Reversed(Bytes bytes) {
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

class SignFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        InstallDemo(dir);
        module = std::make_unique<LoadedModule>();
        ASSERT_EQ(module->InitializeAndOpen(session), CKR_OK);
        ASSERT_EQ(module->Login(session), CKR_OK);
        signFile = module->Aux<E_SignFileWithDisplay_t>(AUX_SIGN_FILE_WITH_DISPLAY);
        rsaKey = module->KeyAt(session, CKO_PRIVATE_KEY, CKK_RSA, 0);
        sm2Key = module->KeyAt(session, CKO_PRIVATE_KEY, CKK_VENDOR_SM2, 0);
        CK_OBJECT_HANDLE rsaPublic = module->KeyAt(session, CKO_PUBLIC_KEY, CKK_RSA, 0);
        modulus = module->Attribute(session, rsaPublic, CKA_MODULUS);
        exponent = module->Attribute(session, rsaPublic, CKA_PUBLIC_EXPONENT);
        point = module->Attribute(session, module->KeyAt(session, CKO_PUBLIC_KEY, CKK_VENDOR_SM2, 0), CKA_MODULUS);
        filePath = dir.Path() + "/contract.txt";
        WriteFileBytes(filePath, fileContent);
    }

    CK_RV SignRsa(const Bytes& prefix, const std::string& display, const std::string& path, Bytes& signature,
                  CK_MECHANISM_TYPE mechanismType = CKM_SHA256_RSA_PKCS) {
        CK_MECHANISM mechanism{mechanismType, nullptr, 0};
        return Call(rsaKey, mechanism, prefix, display, path, signature);
    }

    CK_RV SignSm2(const Bytes& text, const std::string& display, const std::string& path, Bytes& signature) {
        CK_MECHANISM mechanism{CKM_VENDOR_SM2_SM3, nullptr, 0};
        Bytes prefix = Sm2Z(point);
        prefix.insert(prefix.end(), text.begin(), text.end());
        return Call(sm2Key, mechanism, prefix, display, path, signature);
    }

    CK_RV Call(CK_OBJECT_HANDLE key, CK_MECHANISM& mechanism, const Bytes& prefix, const std::string& display,
               const std::string& path, Bytes& signature) {
        // The prefix is handed over in a buffer of exactly its size, so a read
        // beyond its structure shows up in the sanitizer build.
        std::unique_ptr<unsigned char[]> exact(new unsigned char[prefix.size()]);
        std::copy(prefix.begin(), prefix.end(), exact.get());
        signature.assign(1024, 0);
        CK_ULONG length = signature.size();
        CK_RV rv = signFile(session, key, &mechanism, exact.get(), display.c_str(), path.c_str(), signature.data(),
                            &length, 0);
        signature.resize(rv == CKR_OK ? length : 0);
        return rv;
    }

    bool RsaVerifies(const Bytes& complete, const Bytes& reversedSignature) {
        return VerifyRsaPkcs1(modulus, exponent, "SHA256", HashWith("SHA256", complete), Reversed(reversedSignature));
    }

    bool Sm2Verifies(const Bytes& complete, const Bytes& reversedSignature) {
        if (reversedSignature.size() != 64) return false;
        Bytes rs(reversedSignature.rbegin() + 32, reversedSignature.rend());
        rs.insert(rs.end(), reversedSignature.rbegin(), reversedSignature.rbegin() + 32);
        Bytes data = Sm2Z(point);
        data.insert(data.end(), complete.begin(), complete.end());
        return VerifySm2Raw(point, HashWith("SM3", data), rs);
    }

    SoftTokenDir dir;
    std::unique_ptr<LoadedModule> module;
    CK_SESSION_HANDLE session = 0;
    E_SignFileWithDisplay_t signFile = nullptr;
    CK_OBJECT_HANDLE rsaKey = 0, sm2Key = 0;
    Bytes modulus, exponent, point;
    std::string filePath;
    const Bytes fileContent = ToBytes("Pay 100 to Bob\nand 3 more bytes\x01\x02\x03");
};

TEST_F(SignFileTest, DecimalPrefixIsCompletedWithTheFile) {
    SigningText text = DecimalText("<xml>AB</xml>", "Transfer", filePath, fileContent);
    Bytes signature;
    ASSERT_EQ(SignRsa(text.prefix, "Transfer", filePath, signature), CKR_OK);
    ASSERT_EQ(signature.size(), 256u);
    EXPECT_TRUE(RsaVerifies(text.complete, signature));
}

TEST_F(SignFileTest, BinaryPrefixGetsTheFileAndTheKeyMessageField) {
    SigningText text = BinaryText("AB", "C", filePath, fileContent);
    Bytes signature;
    ASSERT_EQ(SignRsa(text.prefix, "C", filePath, signature), CKR_OK);
    EXPECT_TRUE(RsaVerifies(text.complete, signature));
}

TEST_F(SignFileTest, WithoutFileTheTextsAreCompleteOrLackOnlyTheKeyMessage) {
    SigningText decimal = DecimalText("AB", "C", "", {});
    EXPECT_EQ(std::string(decimal.complete.begin(), decimal.complete.end()),
              "110000000039210000000002AB220000000001C230000000000");
    Bytes signature;
    ASSERT_EQ(SignRsa(decimal.prefix, "C", "", signature), CKR_OK);
    EXPECT_TRUE(RsaVerifies(decimal.complete, signature));

    SigningText binary = BinaryText("AB", "C", "", {});
    ASSERT_EQ(SignRsa(binary.prefix, "C", "", signature), CKR_OK);
    EXPECT_TRUE(RsaVerifies(binary.complete, signature));
}

TEST_F(SignFileTest, Sm2SignsZAndTheCompleteTextAndReversesRAndS) {
    SigningText decimal = DecimalText("AB", "C", filePath, fileContent);
    Bytes signature;
    ASSERT_EQ(SignSm2(decimal.prefix, "C", filePath, signature), CKR_OK);
    EXPECT_TRUE(Sm2Verifies(decimal.complete, signature));

    SigningText binary = BinaryText("text", "key message", filePath, fileContent);
    ASSERT_EQ(SignSm2(binary.prefix, "key message", filePath, signature), CKR_OK);
    EXPECT_TRUE(Sm2Verifies(binary.complete, signature));
}

TEST_F(SignFileTest, EmptyFileHasARecordWithoutContent) {
    std::string emptyPath = dir.Path() + "/empty";
    WriteFileBytes(emptyPath, {});
    SigningText text = DecimalText("AB", "C", emptyPath, {});
    EXPECT_EQ(text.complete, text.prefix);
    Bytes signature;
    ASSERT_EQ(SignRsa(text.prefix, "C", emptyPath, signature), CKR_OK);
    EXPECT_TRUE(RsaVerifies(text.complete, signature));
}

TEST_F(SignFileTest, MalformedPrefixesAreRejected) {
    SigningText good = DecimalText("AB", "C", filePath, fileContent);
    auto corrupt = [&](size_t at, unsigned char value) {
        Bytes prefix = good.prefix;
        prefix[at] = value;
        return prefix;
    };
    Bytes signature;
    EXPECT_EQ(SignRsa(corrupt(0, '2'), "C", filePath, signature), CKR_ARGUMENTS_BAD);   // no outer tag
    EXPECT_EQ(SignRsa(corrupt(5, 'x'), "C", filePath, signature), CKR_ARGUMENTS_BAD);   // not a digit
    EXPECT_EQ(SignRsa(corrupt(11, '9'), "C", filePath, signature), CKR_ARGUMENTS_BAD);  // outer length disagrees
    size_t record = good.prefix.size() - filePath.size() - 32;
    EXPECT_EQ(SignRsa(corrupt(record, '1'), "C", filePath, signature), CKR_ARGUMENTS_BAD);       // marker
    unsigned char l1Digit = good.prefix[record + 15] == '0' ? '1' : '0';
    EXPECT_EQ(SignRsa(corrupt(record + 15, l1Digit), "C", filePath, signature), CKR_ARGUMENTS_BAD);  // L1 vs L2

    // A text length far beyond any request must not be followed.
    Bytes huge = ToBytes("11" "9999999999" "21" "9999999999");
    EXPECT_EQ(SignRsa(huge, "C", filePath, signature), CKR_ARGUMENTS_BAD);
    Bytes binaryHuge = BinaryHeader(0x11, 40);
    Bytes textHeader = BinaryHeader(0x21, 0x7FFFFFFF);
    binaryHuge.insert(binaryHuge.end(), textHeader.begin(), textHeader.end());
    EXPECT_EQ(SignRsa(binaryHuge, "C", filePath, signature), CKR_ARGUMENTS_BAD);
    Bytes highBytes = BinaryText("AB", "C", "", {}).prefix;
    highBytes[1] = 0x01;
    EXPECT_EQ(SignRsa(highBytes, "C", "", signature), CKR_ARGUMENTS_BAD);
    // The binary outer length counts the display text the module appends.
    EXPECT_EQ(SignRsa(BinaryText("AB", "C", "", {}).prefix, "CD", "", signature), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(SignRsa(Bytes{0x00}, "C", "", signature), CKR_ARGUMENTS_BAD);
}

TEST_F(SignFileTest, ArgumentsStateAndHolderAreChecked) {
    SigningText text = DecimalText("AB", "C", filePath, fileContent);
    Bytes signature;
    EXPECT_EQ(SignRsa(text.prefix, "C", dir.Path() + "/missing", signature), CKR_FUNCTION_FAILED);
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_ULONG length = 255;
    Bytes out(1024);
    EXPECT_EQ(signFile(session, rsaKey, &mechanism, text.prefix.data(), "C", filePath.c_str(), out.data(), &length, 0),
              CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 256u);
    EXPECT_EQ(signFile(session, rsaKey, nullptr, text.prefix.data(), "C", "", out.data(), &length, 0),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(signFile(session, rsaKey, &mechanism, nullptr, "C", "", out.data(), &length, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(signFile(0xBAD, rsaKey, &mechanism, text.prefix.data(), "C", "", out.data(), &length, 0),
              CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(SignRsa(text.prefix, "C", filePath, signature, CKM_VENDOR_SM2_SM3), CKR_OK);  // RSA with SM3 is fine
    CK_MECHANISM rsaOnSm2{CKM_SHA1_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(Call(sm2Key, rsaOnSm2, text.prefix, "C", filePath, signature), CKR_KEY_TYPE_INCONSISTENT);

    ASSERT_EQ(dir.Tool({"queue", "cancel@signfile", "timeout"}).exitCode, 0);
    EXPECT_EQ(SignRsa(text.prefix, "C", filePath, signature), CKR_CANCEL);
    EXPECT_EQ(SignRsa(text.prefix, "C", filePath, signature), CKR_VENDOR_USER_TIMEOUT);
    EXPECT_EQ(SignRsa(text.prefix, "C", filePath, signature), CKR_OK);

    ASSERT_EQ(module->p11()->C_Logout(session), CKR_OK);
    EXPECT_EQ(SignRsa(text.prefix, "C", filePath, signature), CKR_USER_NOT_LOGGED_IN);
}

}  // namespace
