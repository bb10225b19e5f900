// Key and certificate queries against the software token.

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstring>
#include <memory>
#include <optional>
#include <fstream>
#include <algorithm>

#include "device/token_query_fixture.h"

namespace {

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    if (text.empty()) return items;
    size_t start = 0;
    for (size_t at; (at = text.find("||", start)) != std::string::npos; start = at + 2) {
        items.push_back(text.substr(start, at - start));
    }
    items.push_back(text.substr(start));
    return items;
}

Bytes FromBase64(const std::string& text) {
    Bytes out(text.size() / 4 * 3 + 3);
    const int length = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    if (length < 0) return {};
    out.resize(static_cast<size_t>(length) - std::count(text.begin(), text.end(), '='));
    return out;
}

std::string ToBase64(const Bytes& bytes) {
    std::string out(bytes.size() / 3 * 4 + 5, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                       static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(length));
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Modulus recovered by OpenSSL from a DER RSAPublicKey; empty when it does not parse.
Bytes ParsedModulus(const Bytes& der, unsigned long* exponent = nullptr) {
    const unsigned char* cursor = der.data();
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(der.size())), EVP_PKEY_free);
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    Bytes modulus;
    if (key && cursor == der.data() + der.size() && EVP_PKEY_get_bn_param(key.get(), "n", &n) &&
        EVP_PKEY_get_bn_param(key.get(), "e", &e)) {
        modulus.resize(BN_num_bytes(n));
        BN_bn2bin(n, modulus.data());
        if (exponent) *exponent = BN_get_word(e);
    }
    BN_free(n);
    BN_free(e);
    return modulus;
}

class QueryTest : public TokenQueryTest {
protected:
    // The key of a pair in the module's export form (RSA: DER RSAPublicKey,
    // SM2: the 65-byte point), from the tool's PEM export.
    Bytes ExportedKey(const std::string& pairId) {
        const std::string path = dir_.Path() + "/" + pairId + ".pem";
        Tool({"export", "--pair-id", pairId, "--what", "pubkey", "--out", path});
        FILE* file = std::fopen(path.c_str(), "r");
        if (!file) return {};
        EVP_PKEY* key = PEM_read_PUBKEY(file, nullptr, nullptr, nullptr);
        std::fclose(file);
        unsigned char* der = nullptr;
        const int length = key ? i2d_PublicKey(key, &der) : -1;
        Bytes out;
        if (length > 0) out.assign(der, der + length);
        OPENSSL_free(der);
        EVP_PKEY_free(key);
        return out;
    }

    std::string AddCertificateFile(const std::string& name, const std::string& bytes, const std::string& pairId) {
        const std::string path = dir_.Path() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return Tool({"add-cert", "--file", path, "--pair-id", pairId});
    }

    CK_OBJECT_HANDLE PublicKeyHandle(const std::string& pairId) {
        return HandleOf(Tool({"list"}), pairId, "public-key");
    }

    std::string ValidRandom() { return ToBase64(Bytes(15, 0xA5)); }
};

// ---- GMGetPublicKey ----

TEST_F(QueryTest, PublicKeyModesAreCaseBlindAndSplitKeysByCertificate) {
    Tool({"init"});
    const std::string certified = AddKey("rsa1024");                                // 02
    const std::string temporary = AddKey("sm2", {"--no-cert"});                     // 11
    const std::string uncertified = AddKey("sm2", {"--index", "5"});                // 16
    Tool({"delete-cert", "--pair-id", uncertified});
    DeviceP11Operation& device = Device();

    std::string text = "old";
    ASSERT_EQ(device.GMGetPublicKey("AllPubKey", text), 0);
    EXPECT_EQ(text, "02" + ToBase64(ExportedKey(certified)) + "||11" + ToBase64(ExportedKey(temporary)) +
                        "||16" + ToBase64(ExportedKey(uncertified)));

    ASSERT_EQ(device.GMGetPublicKey("CERTPUBKEY", text), 0);
    EXPECT_EQ(text, "02" + ToBase64(ExportedKey(certified)));
    ASSERT_EQ(device.GMGetPublicKey("noCertPubKey", text), 0);
    EXPECT_EQ(text, "11" + ToBase64(ExportedKey(temporary)) + "||16" + ToBase64(ExportedKey(uncertified)));

    for (const char* mode : {"allpubkeys", "pubkey", ""}) {
        text = "kept";
        EXPECT_EQ(device.GMGetPublicKey(mode, text), -352) << mode;
        EXPECT_EQ(text, "kept");
    }
}

TEST_F(QueryTest, AnyModeSucceedsWhileTheTokenHoldsNoPublicKey) {
    Tool({"init"});
    std::string text = "old";
    EXPECT_EQ(Device().GMGetPublicKey("no such mode", text), 0);
    EXPECT_EQ(text, "");
}

TEST_F(QueryTest, RsaKeysParseAsPkcs1KeysEqualToTheCertificatesKey) {
    Tool({"init"});
    const std::string pair = AddKey("rsa2048");
    std::string text;
    ASSERT_EQ(Device().GMGetPublicKey("certpubkey", text), 0);
    ASSERT_EQ(text.substr(0, 2), "02");
    const Bytes der = FromBase64(text.substr(2));

    unsigned long exponent = 0;
    const Bytes modulus = ParsedModulus(der, &exponent);
    ASSERT_EQ(modulus.size(), 256u);
    EXPECT_EQ(exponent, 65537u);
    EXPECT_EQ(ParsedModulus(ExportedKey(pair)), modulus);
    // Generated moduli have their top bit set, so the INTEGER needs the 0x00.
    EXPECT_EQ(Bytes(der.begin(), der.begin() + 9), (Bytes{0x30, 0x82, 0x01, 0x0A, 0x02, 0x82, 0x01, 0x01, 0x00}));
}

TEST_F(QueryTest, ModulusGetsALeadingZeroOnlyWhenItsTopBitIsSetAndOversizedOnesAreSkipped) {
    Tool({"init"});
    const std::string pair = AddKey("rsa1024");
    DeviceP11Operation& device = Device();
    SelectedToken token;
    ASSERT_EQ(Connection().CheckToken(token), 0);
    const CK_OBJECT_HANDLE key = PublicKeyHandle(pair);

    struct Case {
        Bytes modulus;
        Bytes header;  // expected start of the encoding; empty when the key must be skipped
    };
    const Case cases[] = {
        {Bytes(100, 0x7F), {0x30, 0x6B, 0x02, 0x64, 0x7F}},
        {Bytes(128, 0x80), {0x30, 0x81, 0x89, 0x02, 0x81, 0x81, 0x00, 0x80}},
        {Bytes(1015, 0x7F), {0x30, 0x82, 0x04, 0x00, 0x02, 0x82, 0x03, 0xF7, 0x7F}},  // fills the area exactly
        {Bytes(1015, 0xC5), {}},
        {Bytes(5000, 0x7F), {}},
        {Bytes(), {}},
    };
    for (const Case& c : cases) {
        AttributeOverride module(token.functions);
        module.Set(key, CKA_MODULUS, c.modulus);
        std::string text = "old";
        ASSERT_EQ(device.GMGetPublicKey("allpubkey", text), 0) << c.modulus.size();
        if (c.header.empty()) {
            EXPECT_EQ(text, "") << c.modulus.size();
            continue;
        }
        ASSERT_EQ(text.substr(0, 2), "02");
        const Bytes der = FromBase64(text.substr(2));
        EXPECT_EQ(Bytes(der.begin(), der.begin() + c.header.size()), c.header);
        EXPECT_EQ(Bytes(der.end() - 5, der.end()), (Bytes{0x02, 0x03, 0x01, 0x00, 0x01}));
        EXPECT_EQ(ParsedModulus(der), c.modulus) << c.modulus.size();
    }
}

TEST_F(QueryTest, KeysWithoutAValidIndexAreSkippedByTheNumberedKeyList) {
    Tool({"init"});
    const std::string rsa = AddKey("rsa1024");
    const std::string sm2 = AddKey("sm2");
    const std::string kept = AddKey("sm2", {"--index", "3"});  // 14
    DeviceP11Operation& device = Device();
    SelectedToken token;
    ASSERT_EQ(Connection().CheckToken(token), 0);
    const CK_OBJECT_HANDLE rsaKey = PublicKeyHandle(rsa);
    const CK_OBJECT_HANDLE sm2Key = PublicKeyHandle(sm2);

    // Out of range for the key's algorithm, empty, and far out.
    const std::pair<Bytes, Bytes> badIndexes[] = {{Bytes{8}, Bytes{6}}, {Bytes{}, Bytes{}}, {Bytes{0xFF}, Bytes{0xFF}}};
    for (const auto& [rsaIndex, sm2Index] : badIndexes) {
        AttributeOverride module(token.functions);
        module.Set(rsaKey, CKA_VENDOR_KEY_INDEX, rsaIndex);
        module.Set(sm2Key, CKA_VENDOR_KEY_INDEX, sm2Index);
        std::string text;
        ASSERT_EQ(device.GMGetPublicKey("allpubkey", text), 0);
        EXPECT_EQ(text, "14" + ToBase64(ExportedKey(kept)));
    }
}

// ---- GetPublicKeyC ----

TEST_F(QueryTest, GetPublicKeyCExportsKeysWhateverTheirIndex) {
    Tool({"init"});
    const std::string rsa = AddKey("rsa1024");
    const std::string sm2 = AddKey("sm2");
    const std::string other = AddKey("sm2", {"--index", "3"});
    DeviceP11Operation& device = Device();
    SelectedToken token;
    ASSERT_EQ(Connection().CheckToken(token), 0);
    const CK_OBJECT_HANDLE rsaKey = PublicKeyHandle(rsa);
    const CK_OBJECT_HANDLE sm2Key = PublicKeyHandle(sm2);
    const std::string all = ToBase64(ExportedKey(rsa)) + "||" + ToBase64(ExportedKey(sm2)) + "||" +
                            ToBase64(ExportedKey(other));

    const struct {
        const char* what;
        std::optional<Bytes> rsaIndex, sm2Index;
    } badIndexes[] = {{"out of range", Bytes{8}, Bytes{6}},
                      {"empty", Bytes{}, Bytes{}},
                      {"far out", Bytes{0xFF}, Bytes{0xFF}},
                      {"absent", std::nullopt, std::nullopt}};
    for (const auto& bad : badIndexes) {
        AttributeOverride module(token.functions);
        module.Set(rsaKey, CKA_VENDOR_KEY_INDEX, bad.rsaIndex);
        module.Set(sm2Key, CKA_VENDOR_KEY_INDEX, bad.sm2Index);
        std::string text;
        ASSERT_EQ(device.GetPublicKeyC(text), 0) << bad.what;
        EXPECT_EQ(text, all) << bad.what;
    }
}

TEST_F(QueryTest, GetPublicKeyCReportsTheFirstTenKeysInTheModulesExportForm) {
    Tool({"init"});
    std::vector<std::string> pairs;
    for (int i = 0; i < 8; ++i) pairs.push_back(AddKey("rsa1024", {"--no-cert"}));
    for (int i = 0; i < 4; ++i) pairs.push_back(AddKey("sm2"));
    std::string text;
    ASSERT_EQ(Device().GetPublicKeyC(text), 0);
    const std::vector<std::string> entries = SplitList(text);
    ASSERT_EQ(entries.size(), 10u);
    for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(entries[i], ToBase64(ExportedKey(pairs[i]))) << i;
}

TEST_F(QueryTest, GetPublicKeyCFailsWhenTheModuleWillNotExportOrOverstatesTheLength) {
    Tool({"init"});
    AddKey("sm2");
    DeviceP11Operation& device = Device();
    std::string text = "kept";

    Tool({"set", "--export-public-key", "off"});
    EXPECT_EQ(device.GetPublicKeyC(text), -411);
    Tool({"set", "--export-public-key", "on"});

    SelectedToken token;
    ASSERT_EQ(Connection().CheckToken(token), 0);
    static E_ExportPublicKey_t exportPublicKey = nullptr;
    AuxEntrySwap overstating(token.aux, AUX_EXPORT_PUBLIC_KEY,
                             reinterpret_cast<void*>(+[](CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, unsigned char* out,
                                                         unsigned int* length) -> CK_RV {
                                 CK_RV rv = exportPublicKey(s, key, out, length);
                                 *length = 2049;
                                 return rv;
                             }));
    exportPublicKey = reinterpret_cast<E_ExportPublicKey_t>(overstating.original());
    EXPECT_EQ(device.GetPublicKeyC(text), -300);
    EXPECT_EQ(text, "kept");
}

// ---- GMGetPublicKeyC ----

class PublicKeyWithRandomTest : public QueryTest {
protected:
    void SetUp() override {
        Tool({"init"});
        rsa_ = AddKey("rsa1024", {"--no-cert", "--subject", "/C=CN/O=Bank/CN=Alice"});  // 02
        sm2_ = AddKey("sm2", {"--no-cert"});                                          // 11
        bob_ = AddKey("sm2", {"--index", "1", "--subject", "/C=CN/O=Bank/CN=Bob"});    // 12
        carol_ = AddKey("sm2", {"--index", "2", "--subject", "/C=CN/O=Bank/CN=Carol"});  // 13
    }

    long Query(const char* keyType, const char* dnOrId, const std::string& random, std::string& text) {
        return Device().GMGetPublicKeyC(keyType, dnOrId, random.c_str(), text);
    }

    // The module's documented answer for the given key numbers.
    Bytes ExpectedBlob(const char* keyType, const Bytes& random,
                       const std::vector<std::pair<Bytes, std::string>>& keys) {
        Bytes blob = Concat({Bytes{'P', 'K', 'W', 'R'}, Bytes(keyType, keyType + 2), random});
        for (const auto& [pair, pairId] : keys) {
            const Bytes key = ExportedKey(pairId);
            blob = Concat({blob, pair, Bytes{static_cast<unsigned char>(key.size() >> 8),
                                             static_cast<unsigned char>(key.size())}, key});
        }
        return blob;
    }

    std::string rsa_, sm2_, bob_, carol_;
};

TEST_F(PublicKeyWithRandomTest, KeyNumbersNameTemporaryKeysAndDnsNameCertifiedOnes) {
    std::string text;
    ASSERT_EQ(Query("01", "02||11", ValidRandom(), text), 0);
    EXPECT_EQ(FromBase64(text), ExpectedBlob("01", Bytes(15, 0xA5), {{{0x2B, 2}, rsa_}, {{0x1B, 1}, sm2_}}));

    ASSERT_EQ(Query("02", "CN=Carol,O=Bank||cn=Bob", ValidRandom(), text), 0);
    EXPECT_EQ(FromBase64(text), ExpectedBlob("02", Bytes(15, 0xA5), {{{0x1B, 3}, carol_}, {{0x1B, 2}, bob_}}));

    ASSERT_EQ(Query("02", "bob", ValidRandom(), text), 0) << "a bare name goes to the lookup as it is";
    EXPECT_EQ(FromBase64(text), ExpectedBlob("02", Bytes(15, 0xA5), {{{0x1B, 2}, bob_}}));
}

TEST_F(PublicKeyWithRandomTest, MalformedRequestsAreRefusedWithTheirOwnCodes) {
    struct Case {
        const char* keyType;
        const char* dnOrId;
        std::string random;
        long code;
    };
    const std::string random = ValidRandom();
    const Case cases[] = {
        {"03", "02||11||12", "!", -352},           // the key type is judged first
        {"1", "02", random, -352},
        {"01", "2||11", random, -304},
        {"01", "02||11||12", random, -304},
        {"01", "02||", random, -304},
        {"02", "O=Bank", random, -304},
        {"02", "CN=Bob||O=Bank", random, -304},
        {"02", "", random, -304},
        {"01", "03", random, -352},                // no such key
        {"01", "12", random, -352},                // certified, not temporary
        {"02", "CN=Nobody", random, -352},         // resolves to no key
        {"02", "CN=Alice", random, -352},          // certificate-less: the signing rule finds none
        {"02", "CN=Bob||CN=Carol", ToBase64(Bytes(16, 1)), -304},
        {"02", "CN=Bob", ToBase64(Bytes(14, 1)), -304},
        {"02", "CN=Bob", "not base64", -401},
        {"02", "CN=Bob", "AB=C", -401},
    };
    for (const Case& c : cases) {
        std::string text = "kept";
        EXPECT_EQ(Query(c.keyType, c.dnOrId, c.random, text), c.code) << c.keyType << " " << c.dnOrId;
        EXPECT_EQ(text, "kept");
    }
}

TEST_F(PublicKeyWithRandomTest, MoreThanTwoKeysAreRefused) {
    AddKey("rsa1024", {"--index", "3", "--subject", "/C=CN/O=Bank/CN=Bobby"});
    std::string text = "kept";
    // "bo" names Bob and Bobby; with Carol that is three keys, six bytes.
    EXPECT_EQ(Query("02", "CN=Bo,O=Bank||CN=Carol", ValidRandom(), text), -352);
    EXPECT_EQ(text, "kept");
}

TEST_F(PublicKeyWithRandomTest, TheModulesAnswerLengthIsCheckedAndAnEmptyAnswerLeavesTheText) {
    SelectedToken token;
    ASSERT_EQ(Connection().CheckToken(token), 0);
    static CK_ULONG reportedLength = 0;
    static CK_RV reportedRv = CKR_OK;
    AuxEntrySwap lying(token.aux, AUX_GET_PUBLIC_KEY_WITH_RANDOM,
                       reinterpret_cast<void*>(+[](CK_SLOT_ID, const unsigned char*, CK_ULONG, const unsigned char*,
                                                   CK_ULONG, unsigned char* out, CK_ULONG* outLength) -> CK_RV {
                           std::memset(out, 'x', 16);
                           *outLength = reportedLength;
                           return reportedRv;
                       }));
    for (auto [length, rv, code] : {std::tuple<CK_ULONG, CK_RV, long>{4097, CKR_OK, -300},
                                    {16, CKR_DEVICE_ERROR, -300},
                                    {0, CKR_OK, 0}}) {
        reportedLength = length;
        reportedRv = rv;
        std::string text = "kept";
        EXPECT_EQ(Query("01", "11", ValidRandom(), text), code) << length;
        EXPECT_EQ(text, "kept");
    }
    reportedLength = 4096;
    std::string text;
    ASSERT_EQ(Query("01", "11", ValidRandom(), text), 0);
    EXPECT_EQ(FromBase64(text).size(), 4096u);
}

// ---- GMGetCertDN ----

TEST_F(QueryTest, CertificateDnsAreJoinedByPosition) {
    Tool({"init"});
    std::string text = "x";
    ASSERT_EQ(Device().GMGetCertDN(text), 0);
    EXPECT_EQ(text, "x") << "no certificate: nothing appended";

    AddKey("rsa1024", {"--subject", "/C=CN/O=Bank/CN=Alice"});
    AddKey("sm2", {"--subject", "/C=CN/O=Bank/emailAddress=bob@bank.cn/CN=Bob"});
    text.clear();
    ASSERT_EQ(Device().GMGetCertDN(text), 0);
    EXPECT_EQ(text, "CN=Alice,O=Bank,C=CN||CN=Bob,E=bob@bank.cn,O=Bank,C=CN");

    // An empty last certificate is skipped but its separator stays.
    AddCertificateFile("empty.der", "", "empty");
    text.clear();
    ASSERT_EQ(Device().GMGetCertDN(text), 0);
    EXPECT_EQ(text, "CN=Alice,O=Bank,C=CN||CN=Bob,E=bob@bank.cn,O=Bank,C=CN||");
}

TEST_F(QueryTest, AnUndecodableCertificateEndsTheWalkWithWhatWasGathered) {
    Tool({"init"});
    AddKey("rsa1024", {"--subject", "/C=CN/O=Bank/CN=Alice"});
    AddCertificateFile("garbage.der", "not a certificate", "garbage");
    AddKey("sm2", {"--subject", "/C=CN/O=Bank/CN=Bob"});
    std::string text;
    ASSERT_EQ(Device().GMGetCertDN(text), 0);
    EXPECT_EQ(text, "CN=Alice,O=Bank,C=CN||");
}

TEST_F(QueryTest, OnlyTheFirstHundredCertificatesAreReported) {
    Tool({"init"});
    const std::string pair = AddKey("rsa1024", {"--subject", "/C=CN/O=Bank/CN=Alice"});
    const std::string path = dir_.Path() + "/alice.der";
    Tool({"export", "--pair-id", pair, "--what", "cert", "--out", path});
    for (int i = 0; i < 100; ++i) Tool({"add-cert", "--file", path, "--pair-id", "copy"});
    std::string text;
    ASSERT_EQ(Device().GMGetCertDN(text), 0);
    const std::vector<std::string> dns = SplitList(text);
    EXPECT_EQ(dns.size(), 100u);
    EXPECT_EQ(std::count(dns.begin(), dns.end(), "CN=Alice,O=Bank,C=CN"), 100);
}

// ---- GetAdminKeyInfo and BankEncGetRand ----

TEST_F(QueryTest, AdminKeyInfoShowsZerosForAnUnsetKeyIdAndEndsAtTheFirstZeroByte) {
    Tool({"init"});
    DeviceP11Operation& device = Device();
    std::string text;
    ASSERT_EQ(device.GetAdminKeyInfo(0, text), 0);
    EXPECT_EQ(text, "STK1" + std::string(14, '0') + "01");

    Tool({"set", "--admin-key-id", "ABCDEFGHIJKLMNOPQR"});
    ASSERT_EQ(device.GetAdminKeyInfo(0, text), 0);
    EXPECT_EQ(text, "STK1ABCDEFGHIJKLMN01");

    Tool({"set", "--admin-key-id", "AB"});
    ASSERT_EQ(device.GetAdminKeyInfo(0, text), 0);
    EXPECT_EQ(text, "STK1AB");

    Tool({"set", "--ext-info", "off"});
    text = "kept";
    EXPECT_EQ(device.GetAdminKeyInfo(0, text), -302);
    EXPECT_EQ(text, "kept");
}

TEST_F(QueryTest, BankRandomIsTwentyBase64CharactersWithoutTerminator) {
    Tool({"init"});
    DeviceP11Operation& device = Device();
    char out[24];
    std::memset(out, '#', sizeof out);
    ASSERT_EQ(device.BankEncGetRand(out, 20), 0);
    EXPECT_EQ(FromBase64(std::string(out, 20)).size(), 15u);
    EXPECT_EQ(std::string(out + 20, 4), "####");

    std::memset(out, '#', sizeof out);
    EXPECT_EQ(device.BankEncGetRand(out, 19), -300);
    EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#'));
}

// ---- failures of the token ----

TEST_F(QueryTest, TokenFailuresGiveTheirCodesAndLeaveNoSessionOpen) {
    Tool({"init"});
    AddKey("sm2");
    DeviceP11Operation& device = Device();
    SelectedToken token;
    ASSERT_EQ(Connection().CheckToken(token), 0);
    std::string text;
    {
        EntrySwap<CK_C_FindObjectsInit> failingSearch(
            token.functions->C_FindObjectsInit,
            [](CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) -> CK_RV { return CKR_DEVICE_ERROR; });
        EXPECT_EQ(device.GMGetPublicKey("allpubkey", text), -103);
        EXPECT_EQ(device.GetPublicKeyC(text), -103);
        EXPECT_EQ(device.GMGetCertDN(text), -103);
        EXPECT_EQ(device.GMGetPublicKeyC("02", "CN=Demo", ValidRandom().c_str(), text), -352);
        EXPECT_EQ(OpenSessionCount(), 0u);
    }
    {
        EntrySwap<CK_C_GetAttributeValue> failingRead(
            token.functions->C_GetAttributeValue,
            [](CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) -> CK_RV { return CKR_DEVICE_ERROR; });
        EXPECT_EQ(device.GMGetPublicKey("allpubkey", text), -302);
        EXPECT_EQ(device.GMGetCertDN(text), -302);
        EXPECT_EQ(OpenSessionCount(), 0u);
    }
    {
        EntrySwap<CK_C_OpenSession> failingOpen(
            token.functions->C_OpenSession,
            [](CK_SLOT_ID, CK_FLAGS, void*, CK_NOTIFY, CK_SESSION_HANDLE*) -> CK_RV { return CKR_DEVICE_ERROR; });
        EXPECT_EQ(device.GMGetPublicKey("allpubkey", text), -103);
        EXPECT_EQ(device.GetPublicKeyC(text), -103);
        EXPECT_EQ(device.GMGetCertDN(text), -103);
    }
    EXPECT_EQ(text, "");
}

}  // namespace
