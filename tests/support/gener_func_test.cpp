#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Gener_Func.h"

namespace {

std::string Invert(const std::string& oneLine) { return InvertDN(oneLine.c_str(), static_cast<int>(oneLine.size())); }

TEST(InvertDN, ReversesRdnsAndShortensEmail) {
    EXPECT_EQ(Invert("/C=CN/O=BANK/CN=TESTER ONE"), "CN=TESTER ONE,O=BANK,C=CN");
    EXPECT_EQ(Invert("/C=CN/CN=X/emailAddress=Y"), "E=Y,CN=X,C=CN");
    EXPECT_EQ(Invert("/C=CN/O=BANK/OU=IT/CN=TESTER ONE"), "CN=TESTER ONE,OU=IT,O=BANK,C=CN");
    EXPECT_EQ(Invert("/CN=ONLY"), "CN=ONLY");
}

TEST(InvertDN, OddSeparators) {
    EXPECT_EQ(Invert("0123456789"), "0123456789");
    EXPECT_EQ(Invert(""), "");
    EXPECT_EQ(Invert("/a//b"), "b,,a");            // empty RDN gives an empty item
    EXPECT_EQ(Invert("/CN=A/B"), "B,CN=A");         // a "/" inside a value splits it
    EXPECT_EQ(Invert("/emailAddress=a/emailAddress=b"), "E=b,emailAddress=a");  // first only
    EXPECT_EQ(Invert("/"), "");
}

TEST(SignMatchDN, BareNames) {
    EXPECT_EQ(SignMatchDN("CN=TESTERONE,O=BANK", "tester"), 1);
    EXPECT_EQ(SignMatchDN("CN=TESTER ONE,O=BANK", "TEST"), 1);
    EXPECT_EQ(SignMatchDN("OU=TESTER,CN=LI", "tester"), 0);
    EXPECT_EQ(SignMatchDN("OU=TESTER,CN=TESTER", "tester"), 1);  // second occurrence counts
    EXPECT_EQ(SignMatchDN("CN=LI,O=BANK", "ZHANG"), 0);
}

TEST(SignMatchDN, Patterns) {
    EXPECT_EQ(SignMatchDN("CN=TESTER,O=BANK", "O=BANK"), 0);
    EXPECT_EQ(SignMatchDN("CN=TESTER,O=BANK", "A,B"), 0);
    EXPECT_EQ(SignMatchDN("CN=TESTER,O=BANK", "CN=TESTER,"), 0);
    EXPECT_EQ(SignMatchDN("CN=TESTER,OU=HR,O=BANK", "CN=TESTER,OU=IT"), 1);
    EXPECT_EQ(SignMatchDN("CN=TESTER,OU=HR,O=BANK", "CN=TESTER,OU=IT,O=BANK"), 0);
    EXPECT_EQ(SignMatchDN("CN=TESTER,OU=HR,O=BANK", "o=bank,ou=hr,cn=tester"), 1);
    EXPECT_EQ(SignMatchDN("CN=TESTER,OU=HR,O=BANKING", "CN=TESTER,OU=HR,O=BANK"), 1);
    EXPECT_EQ(SignMatchDN("CN=A,CN=B,O=X", "CN=A,CN=B"), 1);
    EXPECT_EQ(SignMatchDN("CN=A,CN=B,O=X", "CN=A,CN=C"), 0);
    EXPECT_EQ(SignMatchDN("CN=A,CN=B,O=X", "CN=A,CN=B,"), 0);  // second CN ended by a final comma
    EXPECT_EQ(SignMatchDN("CN=TESTER", ""), 0);
}

TEST(IsMatchCertDN, AlternativesAreOrderFree) {
    const char* cert = "CN=TESTER ONE,O=BANK,C=CN";
    EXPECT_EQ(IsMatchCertDN(cert, "O=BANK,C=CN,CN=TESTERONE"), 1);
    EXPECT_EQ(IsMatchCertDN(cert, "O=BANK,C=CN,CN=TESTER ONE"), 0);
    EXPECT_EQ(IsMatchCertDN(cert, "CN=A,O=B||CN=TESTERONE,O=BANK,C=CN"), 1);
    EXPECT_EQ(IsMatchCertDN(cert, "cn=testerone,o=bank,c=cn"), 1);
    EXPECT_EQ(IsMatchCertDN(cert, "CN=TESTERONE,O=BANK,C=CX"), 0);
    EXPECT_EQ(IsMatchCertDN("CN=X", "CN=X"), 1);
    EXPECT_EQ(IsMatchCertDN("CN=X", "CN=Y"), 0);
    EXPECT_EQ(IsMatchCertDN("", ""), 1);
    EXPECT_EQ(IsMatchCertDN("CN=X", ""), 0);
}

TEST(ByteUtilities, TransLengthWritesLow32BitsBigEndian) {
    unsigned char field[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0, 0, 0, 0};
    TransLength(field, 0x1234567890ULL);
    const unsigned char expected[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0x34, 0x56, 0x78, 0x90};
    EXPECT_EQ(std::vector<unsigned char>(field, field + 8), std::vector<unsigned char>(expected, expected + 8));
}

TEST(ByteUtilities, InvertBuffer) {
    std::vector<unsigned char> odd = {1, 2, 3};
    InvertBuffer(odd.data(), odd.size());
    EXPECT_EQ(odd, (std::vector<unsigned char>{3, 2, 1}));
    std::vector<unsigned char> even = {1, 2, 3, 4};
    InvertBuffer(even.data(), even.size());
    EXPECT_EQ(even, (std::vector<unsigned char>{4, 3, 2, 1}));
    unsigned char one = 7;
    InvertBuffer(&one, 1);
    InvertBuffer(&one, 0);
    EXPECT_EQ(one, 7);
}

}  // namespace
