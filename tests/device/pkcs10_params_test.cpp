// "CertInfo" parsing and the DER subject Name of certificate requests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/pkcs10.h"

namespace {

using Bytes = std::vector<unsigned char>;

class Pkcs10ParamsTest : public ::testing::Test {
protected:
    pkcs10info infos[5];
    unsigned int count = 0;

    bool Parse(const std::string& text) { return ParsePKCS10Param(text, infos, &count); }

    long Encode(const std::string& dn, Bytes& name, unsigned long capacity = 4096) {
        name.assign(capacity, 0xEE);
        unsigned long length = capacity;
        long code = GetSubjectDN(dn, name.data(), &length);
        if (code == 0) name.resize(length);
        return code;
    }
};

const char kBlock[] = "DN(CN=Test User,O=Example,C=CN)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)";

TEST_F(Pkcs10ParamsTest, OneBlockFillsOneRecord) {
    ASSERT_TRUE(Parse(kBlock));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(infos[0].dn, "CN=Test User,O=Example,C=CN");
    EXPECT_EQ(infos[0].hashAlg, "SM3");
    EXPECT_EQ(infos[0].keyAlg, "SM2256");
    EXPECT_EQ(infos[0].certType, "01");
}

TEST_F(Pkcs10ParamsTest, TwoBlocksFillTwoRecordsAndThreeFail) {
    std::string second = "DN(CN=Other)HASH(SHA256)KEYTYPE(RSA2048)CERTTYPE(03)";
    ASSERT_TRUE(Parse(std::string(kBlock) + "||" + second));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(infos[0].keyAlg, "SM2256");
    EXPECT_EQ(infos[1].dn, "CN=Other");
    EXPECT_EQ(infos[1].hashAlg, "SHA256");
    EXPECT_EQ(infos[1].keyAlg, "RSA2048");
    EXPECT_EQ(infos[1].certType, "03");

    EXPECT_FALSE(Parse(std::string(kBlock) + "||" + second + "||" + second));
    EXPECT_FALSE(Parse(std::string(kBlock) + "||"));  // an empty second block has no markers
}

TEST_F(Pkcs10ParamsTest, TextAroundTheBlockIsIgnored) {
    ASSERT_TRUE(Parse(std::string("junk ") + kBlock + " tail"));
    EXPECT_EQ(infos[0].certType, "01");
}

TEST_F(Pkcs10ParamsTest, ValuesAreCheckedExactly) {
    EXPECT_FALSE(Parse("DN(CN=A)HASH(sha1)KEYTYPE(RSA1024)CERTTYPE(01)"));
    EXPECT_FALSE(Parse("DN(CN=A)HASH(SHA1)KEYTYPE(SM2)CERTTYPE(01)"));
    EXPECT_FALSE(Parse("DN(CN=A)HASH(SHA1)KEYTYPE(RSA1024)CERTTYPE(1)"));
    EXPECT_FALSE(Parse("DN(CN=A, O=B)HASH(SHA1)KEYTYPE(RSA1024)CERTTYPE(01)"));
    for (const char* hash : {"MD5", "SHA1", "SHA256", "SHA384", "SHA512", "SM3"}) {
        EXPECT_TRUE(Parse(std::string("DN(CN=A)HASH(") + hash + ")KEYTYPE(RSA1024)CERTTYPE(02)")) << hash;
    }
}

TEST_F(Pkcs10ParamsTest, MissingOrMisplacedMarkersFail) {
    EXPECT_FALSE(Parse("DN(CN=A)HASH(SHA1)KEYTYPE(RSA1024)"));
    EXPECT_FALSE(Parse("CN=A)HASH(SHA1)KEYTYPE(RSA1024)CERTTYPE(01)"));
    EXPECT_FALSE(Parse(""));
    // The closing marker of the DN stands before its opening marker.
    EXPECT_FALSE(Parse(")HASH(SHA1)KEYTYPE(RSA1024)CERTTYPE(01)DN(CN=A"));
}

TEST_F(Pkcs10ParamsTest, ValueMayHoldEqualsSign) {
    ASSERT_TRUE(Parse("DN(CN=a=b)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(02)"));
    EXPECT_EQ(infos[0].dn, "CN=a=b");
    Bytes name;
    ASSERT_EQ(Encode("CN=a=b", name), 0);
    EXPECT_EQ(name, (Bytes{0x30, 0x0E, 0x31, 0x0C, 0x30, 0x0A, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0C, 0x03, 'a', '=', 'b'}));
}

TEST_F(Pkcs10ParamsTest, DnSyntax) {
    EXPECT_TRUE(IsRightDN("OU=a,CN=b,C=c,L=d,ST=e,O=f,Email=g,SN=h,title=i,serialNumber=j"));
    EXPECT_TRUE(IsRightDN("CN="));
    EXPECT_FALSE(IsRightDN(""));
    EXPECT_FALSE(IsRightDN("CN=A,,O=B"));
    EXPECT_FALSE(IsRightDN("CN=A,"));
    EXPECT_FALSE(IsRightDN("CN"));
    EXPECT_FALSE(IsRightDN("cn=A"));
    EXPECT_FALSE(IsRightDN("CN=A, O=B"));
    EXPECT_FALSE(IsRightDN("email=x@y"));
}

TEST_F(Pkcs10ParamsTest, NameKeepsWrittenOrder) {
    Bytes name;
    ASSERT_EQ(Encode("CN=Test,C=CN", name), 0);
    EXPECT_EQ(name, (Bytes{0x30, 0x1C, 0x31, 0x0D, 0x30, 0x0B, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0C, 0x04, 0x54, 0x65,
                           0x73, 0x74, 0x31, 0x0B, 0x30, 0x09, 0x06, 0x03, 0x55, 0x04, 0x06, 0x0C, 0x02, 0x43, 0x4E}));
}

TEST_F(Pkcs10ParamsTest, EmailIsIa5String) {
    Bytes name;
    ASSERT_EQ(Encode("Email=a@b", name), 0);
    EXPECT_EQ(name, (Bytes{0x30, 0x14, 0x31, 0x12, 0x30, 0x10, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01,
                           0x09, 0x01, 0x16, 0x03, 'a', '@', 'b'}));
}

TEST_F(Pkcs10ParamsTest, LongValueGetsLongFormLengths) {
    // 200 bytes overflow every one-byte length of the RDN.
    std::string value(200, 'x');
    Bytes name;
    ASSERT_EQ(Encode("CN=" + value, name), 0);
    Bytes head{0x30, 0x81, 0xD6, 0x31, 0x81, 0xD3, 0x30, 0x81, 0xD0, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0C, 0x81, 0xC8};
    ASSERT_EQ(name.size(), head.size() + value.size());
    EXPECT_TRUE(std::equal(head.begin(), head.end(), name.begin()));
    EXPECT_EQ(std::string(name.begin() + head.size(), name.end()), value);

    // A Name of several hundred bytes needs a two-byte outer length.
    std::string dn = "CN=" + value + ",O=" + value;
    ASSERT_EQ(Encode(dn, name), 0);
    EXPECT_EQ(name[0], 0x30);
    EXPECT_EQ(name[1], 0x82);
    EXPECT_EQ(static_cast<size_t>((name[2] << 8) | name[3]), name.size() - 4);
}

TEST_F(Pkcs10ParamsTest, NameErrors) {
    Bytes name;
    EXPECT_EQ(Encode("CN=A,O", name), -304);
    EXPECT_EQ(Encode("CN=A,X=B", name), -304);
    EXPECT_EQ(Encode("", name), -304);
    // A bad key is reported even after a value too long for the Name.
    EXPECT_EQ(Encode("CN=" + std::string(5000, 'x') + ",X=1", name), -304);
    EXPECT_EQ(Encode("CN=" + std::string(5000, 'x'), name), -353);
    EXPECT_EQ(Encode("CN=" + std::string(2100, 'x') + ",O=" + std::string(2100, 'y'), name), -353);

    // CN=Test,C=CN needs 30 bytes: 29 is too few and leaves the output alone.
    Bytes small(29, 0xEE);
    unsigned long length = small.size();
    EXPECT_EQ(GetSubjectDN("CN=Test,C=CN", small.data(), &length), -353);
    EXPECT_EQ(small, Bytes(29, 0xEE));
    EXPECT_EQ(length, 29u);
    ASSERT_EQ(Encode("CN=Test,C=CN", name, 30), 0);
    EXPECT_EQ(name.size(), 30u);
}

}  // namespace
