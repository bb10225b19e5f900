// Key references to packed key-ID lists, against the software token.

#include <fstream>

#include "device/keyid_lookup.h"
#include "device/token_query_fixture.h"

namespace {

constexpr unsigned char kSm2 = 0x1B;
constexpr unsigned char kRsa = 0x2B;

class KeyIdLookupTest : public TokenQueryTest {
protected:
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
    const SelectedToken token = Token();

    Bytes list;
    EXPECT_EQ(TransPubKid(token, list, "2"), -304);
    EXPECT_TRUE(list.empty());

    EXPECT_EQ(TransPubKid(token, list, "02"), 0);
    EXPECT_EQ(list, (Bytes{kRsa, 2}));

    list.clear();
    EXPECT_EQ(TransPubKid(token, list, "11||11"), 0);
    EXPECT_EQ(list, (Bytes{kSm2, 1}));

    // The duplicate test compares whole pairs: an SM2 pair numbered 2 does not
    // keep RSA key 02 out.
    list = {kSm2, 2};
    EXPECT_EQ(TransPubKid(token, list, "02"), 0);
    EXPECT_EQ(list, (Bytes{kSm2, 2, kRsa, 2}));
}

TEST_F(KeyIdLookupTest, TransPubKidStopsAtTheFirstNumberThatNamesNoTemporaryKey) {
    Tool({"init"});
    AddKey("sm2", {"--no-cert"});   // 11, temporary
    AddKey("rsa1024");              // 02, certified
    const SelectedToken token = Token();

    Bytes list;
    EXPECT_EQ(TransPubKid(token, list, "11||17"), -352);
    EXPECT_EQ(list, (Bytes{kSm2, 1})) << "pairs before the error stay";

    for (const char* text : {"02", "12", "10", "||11", "99999999999999999999||11"}) {
        list.clear();
        EXPECT_EQ(TransPubKid(token, list, text), -352) << text;
        EXPECT_TRUE(list.empty()) << text;
    }
    // A pair already listed is not looked up again, certified or not.
    list = {kRsa, 2};
    EXPECT_EQ(TransPubKid(token, list, "02"), 0);
    EXPECT_EQ(list, (Bytes{kRsa, 2}));
}

TEST_F(KeyIdLookupTest, GetPubKidByKidTakesDigitsOnlyAndAppendsWithoutDuplicateTest) {
    Tool({"init"});
    AddKey("sm2", {"--index", "5", "--no-cert"});
    AddKey("rsa1024");
    const SelectedToken token = Token();

    Bytes list;
    const std::string callsBefore = Tool({"calls"});
    EXPECT_FALSE(GetPubKidByKid(token, "1a", list));
    EXPECT_EQ(Tool({"calls"}), callsBefore) << "a malformed number must not reach the token";

    EXPECT_TRUE(GetPubKidByKid(token, "16", list));
    EXPECT_TRUE(GetPubKidByKid(token, "16", list));
    EXPECT_EQ(list, (Bytes{kSm2, 6, kSm2, 6}));

    for (const char* text : {"02", "11", "", "17", "1", "99999999999999999999"}) {
        EXPECT_FALSE(GetPubKidByKid(token, text, list)) << text;
    }
    EXPECT_EQ(list.size(), 4u);
}

TEST_F(KeyIdLookupTest, AKeyIsTemporaryExactlyWhileNoCertificateCarriesItsPair) {
    Tool({"init"});
    const std::string pair = AddKey("rsa1024");
    const SelectedToken token = Token();

    EXPECT_FALSE(CheckPubKeyIsValid(token, 2));
    Tool({"delete-cert", "--pair-id", pair});
    EXPECT_TRUE(CheckPubKeyIsValid(token, 2));
    for (int number : {0, 1, 3, 10, 11, 17, -9}) EXPECT_FALSE(CheckPubKeyIsValid(token, number)) << number;
}

TEST_F(KeyIdLookupTest, GetPubKidByDNFailsWithoutCertificatesAndKeepsTheListWhenNoneMatches) {
    Tool({"init"});
    AddKey("rsa1024", {"--no-cert"});
    const SelectedToken token = Token();

    Bytes list{kRsa, 9};
    EXPECT_FALSE(GetPubKidByDN(token, "CN=Alice", list, true));
    AddKey("sm2", {"--subject", "/C=CN/O=Bank/CN=Alice"});
    EXPECT_TRUE(GetPubKidByDN(token, "CN=Bob", list, true));
    EXPECT_TRUE(GetPubKidByDN(token, "CN=Bob,O=Bank,C=CN", list, false));
    EXPECT_EQ(list, (Bytes{kRsa, 9}));
}

TEST_F(KeyIdLookupTest, GetPubKidByDNFindsKeysByEitherMatchRule) {
    Tool({"init"});
    AddKey("rsa1024", {"--subject", "/C=CN/O=Bank/CN=Alice"});             // 02
    AddKey("sm2", {"--index", "2", "--subject", "/C=CN/O=Bank/CN=Bob"});  // 13
    const SelectedToken token = Token();

    Bytes list;
    EXPECT_TRUE(GetPubKidByDN(token, "alice", list, true));
    EXPECT_EQ(list, (Bytes{kRsa, 2}));

    list.clear();
    EXPECT_TRUE(GetPubKidByDN(token, "CN=Bob,O=Bank", list, true));
    EXPECT_EQ(list, (Bytes{kSm2, 3}));

    list.clear();
    EXPECT_TRUE(GetPubKidByDN(token, "CN=Bob,O=Bank", list, false)) << "the whole name is needed";
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(GetPubKidByDN(token, "C=CN,O=Bank,CN=Bob||CN=Alice,O=Bank,C=CN", list, false));
    EXPECT_EQ(list, (Bytes{kRsa, 2, kSm2, 3}));
}

TEST_F(KeyIdLookupTest, GetPubKidByDNKeepsOutANumberAlreadyListedWhateverItsTag) {
    Tool({"init"});
    AddKey("rsa1024", {"--subject", "/C=CN/O=Bank/CN=Alice"});               // RSA 2: (2B, 2)
    AddKey("sm2", {"--index", "1", "--subject", "/C=CN/O=Bank/CN=Alicia"});  // SM2 12: (1B, 2)
    const SelectedToken token = Token();

    Bytes list;
    EXPECT_TRUE(GetPubKidByDN(token, "ali", list, true));
    EXPECT_EQ(list, (Bytes{kRsa, 2}));

    list = {kSm2, 2};
    EXPECT_TRUE(GetPubKidByDN(token, "CN=Alice,O=Bank,C=CN", list, false));
    EXPECT_EQ(list, (Bytes{kSm2, 2}));
}

TEST_F(KeyIdLookupTest, ACertificateWithoutItsKeyFailsTheSigningRuleAndIsSkippedByTheOther) {
    Tool({"init"});
    const std::string alice = AddKey("rsa1024", {"--subject", "/C=CN/O=Bank/CN=Alice"});
    Tool({"add-cert", "--file", ExportCertificate(alice), "--pair-id", "orphan"});
    const SelectedToken token = Token();

    Bytes list;
    EXPECT_FALSE(GetPubKidByDN(token, "CN=Alice", list, true));
    list.clear();
    EXPECT_TRUE(GetPubKidByDN(token, "CN=Alice,O=Bank,C=CN", list, false));
    EXPECT_EQ(list, (Bytes{kRsa, 2}));
}

TEST_F(KeyIdLookupTest, AnEmptyCertificateIsSkippedButAnUndecodableOneFailsTheLookup) {
    Tool({"init"});
    Tool({"add-cert", "--file", WriteFile("empty.der", ""), "--pair-id", "empty"});
    AddKey("rsa1024", {"--subject", "/C=CN/O=Bank/CN=Alice"});
    const SelectedToken token = Token();

    Bytes list;
    EXPECT_TRUE(GetPubKidByDN(token, "Alice", list, true));
    EXPECT_EQ(list, (Bytes{kRsa, 2}));

    Tool({"add-cert", "--file", WriteFile("garbage.der", "\x30\x03garbage"), "--pair-id", "garbage"});
    EXPECT_FALSE(GetPubKidByDN(token, "Alice", list, true));
}

TEST_F(KeyIdLookupTest, KeysWithoutAValidIndexAreNeverListed) {
    Tool({"init"});
    const std::string rsa = AddKey("rsa1024", {"--subject", "/C=CN/O=Bank/CN=Alice"});
    const std::string sm2 = AddKey("sm2", {"--subject", "/C=CN/O=Bank/CN=Bob"});
    const SelectedToken token = Token();
    const std::string listing = Tool({"list"});
    const CK_OBJECT_HANDLE rsaKey = HandleOf(listing, rsa, "public-key");
    const CK_OBJECT_HANDLE sm2Key = HandleOf(listing, sm2, "public-key");

    for (const Bytes& rsaIndex : {Bytes{8}, Bytes{}, Bytes{0xFF}}) {
        AttributeOverride module(token.functions);
        module.Set(rsaKey, CKA_VENDOR_KEY_INDEX, rsaIndex);
        module.Set(sm2Key, CKA_VENDOR_KEY_INDEX, Bytes{6});
        Bytes list;
        EXPECT_TRUE(GetPubKidByDN(token, "CN=Alice", list, true));
        EXPECT_TRUE(GetPubKidByDN(token, "CN=Bob", list, true));
        EXPECT_TRUE(list.empty());
    }
}

TEST_F(KeyIdLookupTest, TokenFailuresGiveFalseAndLeaveNoSessionOpen) {
    Tool({"init"});
    AddKey("rsa1024", {"--no-cert", "--subject", "/C=CN/O=Bank/CN=Alice"});
    AddKey("sm2", {"--subject", "/C=CN/O=Bank/CN=Bob"});
    const SelectedToken token = Token();

    EntrySwap<CK_C_FindObjects> failingSearch(
        token.functions->C_FindObjects,
        [](CK_SESSION_HANDLE, CK_OBJECT_HANDLE*, CK_ULONG, CK_ULONG*) -> CK_RV { return CKR_DEVICE_ERROR; });
    Bytes list;
    EXPECT_FALSE(GetPubKidByDN(token, "CN=Bob", list, true));
    EXPECT_FALSE(GetPubKidByDN(token, "CN=Bob,O=Bank,C=CN", list, false));
    EXPECT_FALSE(CheckPubKeyIsValid(token, 2));
    EXPECT_FALSE(GetPubKidByKid(token, "02", list));
    EXPECT_EQ(TransPubKid(token, list, "02"), -352);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(OpenSessionCount(), 0u);
}

}  // namespace
