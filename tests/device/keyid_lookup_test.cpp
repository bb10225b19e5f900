// Key references to packed key-ID lists, against the software token.

#include <fstream>

#include "device/token_query_fixture.h"

namespace {

constexpr unsigned char kSm2 = 0x1B;
constexpr unsigned char kRsa = 0x2B;

class KeyIdLookupTest : public TokenQueryTest {
protected:
    DeviceP11Operation& Ready() {
        DeviceP11Operation& device = Device();
        EXPECT_TRUE(device.CheckToken());
        return device;
    }

    std::string WriteFile(const std::string& name, const std::string& bytes) {
        const std::string path = dir_.Path() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::string ExportCertificate(const std::string& pairId) {
        const std::string path = dir_.Path() + "/" + pairId + ".der";
        Tool({"export", "--pair-id", pairId, "--what", "cert", "--out", path});
        return path;
    }
};

TEST_F(KeyIdLookupTest, TransPubKidWantsTwoDigitsForALoneNumberAndListsAPairOnce) {
    Tool({"init"});
    AddKey("rsa1024", {"--no-cert"});
    AddKey("sm2", {"--no-cert"});
    DeviceP11Operation& device = Ready();

    Bytes list;
    EXPECT_EQ(device.TransPubKid(list, "2"), -304);
    EXPECT_EQ(device.GetLastError(), -304);
    EXPECT_TRUE(list.empty());

    EXPECT_EQ(device.TransPubKid(list, "02"), 0);
    EXPECT_EQ(list, (Bytes{kRsa, 2}));
    EXPECT_EQ(device.GetLastError(), -304) << "success leaves the stored code alone";

    list.clear();
    EXPECT_EQ(device.TransPubKid(list, "11||11"), 0);
    EXPECT_EQ(list, (Bytes{kSm2, 1}));

    // The duplicate test compares whole pairs: an SM2 pair numbered 2 does not
    // keep RSA key 02 out.
    list = {kSm2, 2};
    EXPECT_EQ(device.TransPubKid(list, "02"), 0);
    EXPECT_EQ(list, (Bytes{kSm2, 2, kRsa, 2}));
}

TEST_F(KeyIdLookupTest, TransPubKidStopsAtTheFirstNumberThatNamesNoTemporaryKey) {
    Tool({"init"});
    AddKey("sm2", {"--no-cert"});   // 11, temporary
    AddKey("rsa1024");              // 02, certified
    DeviceP11Operation& device = Ready();

    Bytes list;
    EXPECT_EQ(device.TransPubKid(list, "11||17"), -352);
    EXPECT_EQ(list, (Bytes{kSm2, 1})) << "pairs before the error stay";

    for (const char* text : {"02", "12", "10", "||11", "99999999999999999999||11"}) {
        list.clear();
        EXPECT_EQ(device.TransPubKid(list, text), -352) << text;
        EXPECT_TRUE(list.empty()) << text;
    }
    // A pair already listed is not looked up again, certified or not.
    list = {kRsa, 2};
    EXPECT_EQ(device.TransPubKid(list, "02"), 0);
    EXPECT_EQ(list, (Bytes{kRsa, 2}));
}

TEST_F(KeyIdLookupTest, GetPubKidByKidTakesDigitsOnlyAndAppendsWithoutDuplicateTest) {
    Tool({"init"});
    AddKey("sm2", {"--index", "5", "--no-cert"});
    AddKey("rsa1024");
    DeviceP11Operation& device = Ready();

    Bytes list;
    const std::string callsBefore = Tool({"calls"});
    EXPECT_FALSE(device.GetPubKidByKid("1a", list));
    EXPECT_EQ(Tool({"calls"}), callsBefore) << "a malformed number must not reach the token";

    EXPECT_TRUE(device.GetPubKidByKid("16", list));
    EXPECT_TRUE(device.GetPubKidByKid("16", list));
    EXPECT_EQ(list, (Bytes{kSm2, 6, kSm2, 6}));

    for (const char* text : {"02", "11", "", "17", "1", "99999999999999999999"}) {
        EXPECT_FALSE(device.GetPubKidByKid(text, list)) << text;
    }
    EXPECT_EQ(list.size(), 4u);
}

TEST_F(KeyIdLookupTest, AKeyIsTemporaryExactlyWhileNoCertificateCarriesItsPair) {
    Tool({"init"});
    const std::string pair = AddKey("rsa1024");
    DeviceP11Operation& device = Ready();

    EXPECT_FALSE(device.CheckPubKeyIsValid(2));
    Tool({"delete-cert", "--pair-id", pair});
    EXPECT_TRUE(device.CheckPubKeyIsValid(2));
    for (int number : {0, 1, 3, 10, 11, 17, -9}) EXPECT_FALSE(device.CheckPubKeyIsValid(number)) << number;
}

TEST_F(KeyIdLookupTest, GetPubKidByDNFailsWithoutCertificatesAndKeepsTheListWhenNoneMatches) {
    Tool({"init"});
    AddKey("rsa1024", {"--no-cert"});
    DeviceP11Operation& device = Ready();

    Bytes list{kRsa, 9};
    EXPECT_FALSE(device.GetPubKidByDN("CN=Alice", list, true));
    AddKey("sm2", {"--subject", "/C=CN/O=Bank/CN=Alice"});
    EXPECT_TRUE(device.GetPubKidByDN("CN=Bob", list, true));
    EXPECT_TRUE(device.GetPubKidByDN("CN=Bob,O=Bank,C=CN", list, false));
    EXPECT_EQ(list, (Bytes{kRsa, 9}));
}

TEST_F(KeyIdLookupTest, GetPubKidByDNFindsKeysByEitherMatchRule) {
    Tool({"init"});
    AddKey("rsa1024", {"--subject", "/C=CN/O=Bank/CN=Alice"});             // 02
    AddKey("sm2", {"--index", "2", "--subject", "/C=CN/O=Bank/CN=Bob"});  // 13
    DeviceP11Operation& device = Ready();

    Bytes list;
    EXPECT_TRUE(device.GetPubKidByDN("alice", list, true));
    EXPECT_EQ(list, (Bytes{kRsa, 2}));

    list.clear();
    EXPECT_TRUE(device.GetPubKidByDN("CN=Bob,O=Bank", list, true));
    EXPECT_EQ(list, (Bytes{kSm2, 3}));

    list.clear();
    EXPECT_TRUE(device.GetPubKidByDN("CN=Bob,O=Bank", list, false)) << "the whole name is needed";
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(device.GetPubKidByDN("C=CN,O=Bank,CN=Bob||CN=Alice,O=Bank,C=CN", list, false));
    EXPECT_EQ(list, (Bytes{kRsa, 2, kSm2, 3}));
}

TEST_F(KeyIdLookupTest, GetPubKidByDNKeepsOutANumberAlreadyListedWhateverItsTag) {
    Tool({"init"});
    AddKey("rsa1024", {"--subject", "/C=CN/O=Bank/CN=Alice"});               // RSA 2: (2B, 2)
    AddKey("sm2", {"--index", "1", "--subject", "/C=CN/O=Bank/CN=Alicia"});  // SM2 12: (1B, 2)
    DeviceP11Operation& device = Ready();

    Bytes list;
    EXPECT_TRUE(device.GetPubKidByDN("ali", list, true));
    EXPECT_EQ(list, (Bytes{kRsa, 2}));

    list = {kSm2, 2};
    EXPECT_TRUE(device.GetPubKidByDN("CN=Alice,O=Bank,C=CN", list, false));
    EXPECT_EQ(list, (Bytes{kSm2, 2}));
}

TEST_F(KeyIdLookupTest, ACertificateWithoutItsKeyFailsTheSigningRuleAndIsSkippedByTheOther) {
    Tool({"init"});
    const std::string alice = AddKey("rsa1024", {"--subject", "/C=CN/O=Bank/CN=Alice"});
    Tool({"add-cert", "--file", ExportCertificate(alice), "--pair-id", "orphan"});
    DeviceP11Operation& device = Ready();

    Bytes list;
    EXPECT_FALSE(device.GetPubKidByDN("CN=Alice", list, true));
    list.clear();
    EXPECT_TRUE(device.GetPubKidByDN("CN=Alice,O=Bank,C=CN", list, false));
    EXPECT_EQ(list, (Bytes{kRsa, 2}));
}

TEST_F(KeyIdLookupTest, AnEmptyCertificateIsSkippedButAnUndecodableOneFailsTheLookup) {
    Tool({"init"});
    Tool({"add-cert", "--file", WriteFile("empty.der", ""), "--pair-id", "empty"});
    AddKey("rsa1024", {"--subject", "/C=CN/O=Bank/CN=Alice"});
    DeviceP11Operation& device = Ready();

    Bytes list;
    EXPECT_TRUE(device.GetPubKidByDN("Alice", list, true));
    EXPECT_EQ(list, (Bytes{kRsa, 2}));

    Tool({"add-cert", "--file", WriteFile("garbage.der", "\x30\x03garbage"), "--pair-id", "garbage"});
    EXPECT_FALSE(device.GetPubKidByDN("Alice", list, true));
}

TEST_F(KeyIdLookupTest, KeysWithoutAValidIndexAreNeverListed) {
    Tool({"init"});
    const std::string rsa = AddKey("rsa1024", {"--subject", "/C=CN/O=Bank/CN=Alice"});
    const std::string sm2 = AddKey("sm2", {"--subject", "/C=CN/O=Bank/CN=Bob"});
    DeviceP11Operation& device = Ready();
    const std::string listing = Tool({"list"});
    const CK_OBJECT_HANDLE rsaKey = HandleOf(listing, rsa, "public-key");
    const CK_OBJECT_HANDLE sm2Key = HandleOf(listing, sm2, "public-key");

    for (const Bytes& rsaIndex : {Bytes{8}, Bytes{}, Bytes{0xFF}}) {
        AttributeOverride module(device.Functions());
        module.Set(rsaKey, CKA_VENDOR_KEY_INDEX, rsaIndex);
        module.Set(sm2Key, CKA_VENDOR_KEY_INDEX, Bytes{6});
        Bytes list;
        EXPECT_TRUE(device.GetPubKidByDN("CN=Alice", list, true));
        EXPECT_TRUE(device.GetPubKidByDN("CN=Bob", list, true));
        EXPECT_TRUE(list.empty());
    }
}

TEST_F(KeyIdLookupTest, TokenFailuresGiveFalseAndLeaveNoSessionOpen) {
    Tool({"init"});
    AddKey("rsa1024", {"--no-cert", "--subject", "/C=CN/O=Bank/CN=Alice"});
    AddKey("sm2", {"--subject", "/C=CN/O=Bank/CN=Bob"});
    DeviceP11Operation& device = Ready();

    EntrySwap<CK_C_FindObjects> failingSearch(
        device.Functions()->C_FindObjects,
        [](CK_SESSION_HANDLE, CK_OBJECT_HANDLE*, CK_ULONG, CK_ULONG*) -> CK_RV { return CKR_DEVICE_ERROR; });
    Bytes list;
    EXPECT_FALSE(device.GetPubKidByDN("CN=Bob", list, true));
    EXPECT_FALSE(device.GetPubKidByDN("CN=Bob,O=Bank,C=CN", list, false));
    EXPECT_FALSE(device.CheckPubKeyIsValid(2));
    EXPECT_FALSE(device.GetPubKidByKid("02", list));
    EXPECT_EQ(device.TransPubKid(list, "02"), -352);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(OpenSessionCount(), 0u);
}

}  // namespace
