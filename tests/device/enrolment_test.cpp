// The whole enrolment against the software token: the token makes keys and
// requests, the demo CA issues certificates, the host installs them and
// removes temporary keys.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/modules/recorded_device.h"
#include "device/p11_session.h"
#include "support/MyBase64.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct ReqFree {
    void operator()(X509_REQ* r) const { X509_REQ_free(r); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using ReqPtr = std::unique_ptr<X509_REQ, ReqFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + separator.size()) {
        parts.push_back(text.substr(start, at - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

Bytes FromBase64(const std::string& text) {
    CMyBase64 base64;
    unsigned int length = 0;
    int needed = base64.Decode(text.c_str(), nullptr, &length);
    if (needed <= 0) return {};
    Bytes bytes(static_cast<size_t>(needed));
    length = static_cast<unsigned int>(needed);
    base64.Decode(text.c_str(), reinterpret_cast<char*>(bytes.data()), &length);
    return bytes;
}

std::string ToBase64(const Bytes& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), bytes.data(), static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string WithCrLf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

X509Ptr CertificateFromPem(const std::string& pem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

Bytes DerOf(X509* cert) {
    Bytes der(static_cast<size_t>(i2d_X509(cert, nullptr)));
    unsigned char* p = der.data();
    i2d_X509(cert, &p);
    return der;
}

// A certificates-only PKCS#7 bundle (as a CA hands them out), in DER.
Bytes Bundle(const std::vector<std::string>& pems) {
    std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(PKCS7_new(), PKCS7_free);
    PKCS7_set_type(p7.get(), NID_pkcs7_signed);
    PKCS7_content_new(p7.get(), NID_pkcs7_data);
    for (const std::string& pem : pems) {
        X509Ptr cert = CertificateFromPem(pem);
        PKCS7_add_certificate(p7.get(), cert.get());
    }
    Bytes der(static_cast<size_t>(i2d_PKCS7(p7.get(), nullptr)));
    unsigned char* p = der.data();
    i2d_PKCS7(p7.get(), &p);
    return der;
}

std::string BundlePem(const Bytes& der) {
    std::string text = "-----BEGIN PKCS7-----\n";
    std::string body = ToBase64(der);
    for (size_t at = 0; at < body.size(); at += 64) text += body.substr(at, 64) + "\n";
    return text + "-----END PKCS7-----\n";
}

// One line of "softtoken-tool list".
struct TokenObject {
    std::string handle, kind, keyType, index, format, pairId, subject;
};

// Records the certificate types the module is asked to generate keys for.
class GenerationRecorder {
public:
    explicit GenerationRecorder(AUX_FUNCTION_LIST* aux) : aux_(aux) {
        real_ = AuxEntryAt<E_GenerateRequestKeys_t>(aux, AUX_GENERATE_REQUEST_KEYS);
        aux_->entries[AUX_GENERATE_REQUEST_KEYS] = reinterpret_cast<void*>(&Record);
    }
    ~GenerationRecorder() { aux_->entries[AUX_GENERATE_REQUEST_KEYS] = reinterpret_cast<void*>(real_); }
    static std::string& CertTypes() {
        static std::string types;
        return types;
    }

private:
    static CK_RV Record(CK_SLOT_ID slot, CK_ULONG count, const unsigned int* algs, const CK_ULONG* bits,
                        const char* certTypes, unsigned char* records) {
        CertTypes() = certTypes;
        return real_(slot, count, algs, bits, certTypes, records);
    }
    AUX_FUNCTION_LIST* aux_;
    static inline E_GenerateRequestKeys_t real_ = nullptr;
};

class Enrolment : public SoftTokenTest {
protected:
    void SetUp() override {
        SoftTokenTest::SetUp();
        Tool({"init"});
    }

    // Runs "GMCreatePKCS10" and returns the DER requests.
    std::vector<Bytes> Create(const std::string& certInfo, long expected = 0) {
        std::string text = "untouched";
        long code = d->GMCreatePKCS10(certInfo.c_str(), text);
        EXPECT_EQ(code, expected) << certInfo;
        std::vector<Bytes> requests;
        if (code != 0) {
            EXPECT_EQ(text, "untouched");
            return requests;
        }
        for (const std::string& part : Split(text, "||")) requests.push_back(FromBase64(part));
        return requests;
    }

    // Verifies the request's own signature and returns its subject one-line.
    static std::string VerifiedSubject(const Bytes& der) {
        const unsigned char* p = der.data();
        ReqPtr request(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
        EXPECT_TRUE(request);
        if (!request) return {};
        EXPECT_EQ(p, der.data() + der.size());
        if (X509_REQ_get_signature_nid(request.get()) == NID_SM2_with_SM3) {
            ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
            ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>("1234567812345678"), 16);
            X509_REQ_set0_distinguishing_id(request.get(), id);
        }
        EXPECT_EQ(X509_REQ_verify(request.get(), X509_REQ_get0_pubkey(request.get())), 1);
        char subject[512];
        X509_NAME_oneline(X509_REQ_get_subject_name(request.get()), subject, sizeof subject);
        return subject;
    }

    static int SignatureNid(const Bytes& der) {
        const unsigned char* p = der.data();
        ReqPtr request(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
        return request ? X509_REQ_get_signature_nid(request.get()) : NID_undef;
    }

    // The demo CA's certificate for a request, in PEM.
    std::string Issue(const Bytes& request, const std::string& alg) {
        std::string csr = dir.Path() + "/request.der";
        std::ofstream(csr, std::ios::binary).write(reinterpret_cast<const char*>(request.data()),
                                                   static_cast<std::streamsize>(request.size()));
        std::string out = dir.Path() + "/issued.pem";
        Tool({"issue", "--csr", csr, "--out", out, "--alg", alg});
        return ReadText(out);
    }

    std::string CaPem(const std::string& alg) {
        std::string out = dir.Path() + "/ca.pem";
        Tool({"ca-cert", "--alg", alg, "--out", out});
        return ReadText(out);
    }

    std::vector<TokenObject> Objects(const std::string& kind) {
        std::vector<TokenObject> objects;
        std::istringstream lines(dir.Tool({"list"}).out);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            TokenObject object;
            fields >> object.handle >> object.kind >> object.keyType >> object.index >> object.format >> object.pairId;
            std::getline(fields >> std::ws, object.subject);
            if (object.kind == kind) objects.push_back(object);
        }
        return objects;
    }

    // Pair IDs of key pairs without a certificate.
    std::vector<std::string> TemporaryPairs() {
        std::vector<std::string> pairs;
        std::vector<TokenObject> certificates = Objects("certificate");
        for (const TokenObject& key : Objects("public-key")) {
            bool certified = std::any_of(certificates.begin(), certificates.end(),
                                         [&](const TokenObject& c) { return c.pairId == key.pairId; });
            if (!certified) pairs.push_back(key.pairId);
        }
        return pairs;
    }

    std::vector<Bytes> CertificateValues() {
        std::vector<Bytes> values;
        SelectedToken token;
        EXPECT_EQ(d.module->CheckToken(token), 0);
        P11Session session;
        EXPECT_TRUE(token.OpenSession(session));
        std::vector<CK_OBJECT_HANDLE> found;
        EXPECT_TRUE(FindObjects(session, {UlongItem(CKA_CLASS, CKO_CERTIFICATE)}, 100, found));
        for (CK_OBJECT_HANDLE handle : found) {
            Bytes value;
            EXPECT_TRUE(ReadAttribute(session, handle, CKA_VALUE, value));
            values.push_back(value);
        }
        return values;
    }

    long Install(const std::string& text) { return d->GMWritePKCS07(text.c_str()); }

    // One RSA key with its request and the CA's certificate for it.
    std::string EnrolRsa(const std::string& cn, Bytes* requestOut = nullptr) {
        std::vector<Bytes> requests = Create("DN(CN=" + cn + ",O=Example,C=CN)HASH(SHA256)KEYTYPE(RSA1024)CERTTYPE(01)");
        if (requests.size() != 1) return {};
        if (requestOut) *requestOut = requests[0];
        return Issue(requests[0], "rsa");
    }

    RecordedDevice d;
};

TEST_F(Enrolment, OneSm2Request) {
    std::vector<Bytes> requests = Create("DN(CN=Test User,O=Example,C=CN)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(VerifiedSubject(requests[0]), "/CN=Test User/O=Example/C=CN");
    EXPECT_EQ(SignatureNid(requests[0]), NID_SM2_with_SM3);
    const Bytes spki{0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01, 0x06,
                     0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D, 0x03, 0x42, 0x00, 0x04};
    EXPECT_NE(std::search(requests[0].begin(), requests[0].end(), spki.begin(), spki.end()), requests[0].end());
    std::vector<TokenObject> keys = Objects("public-key");
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].keyType, "sm2");
    EXPECT_EQ(TemporaryPairs().size(), 1u);
}

TEST_F(Enrolment, OneRsaRequest) {
    std::vector<Bytes> requests = Create("DN(CN=Rsa User,OU=Unit,Email=a@b.cn)HASH(SHA256)KEYTYPE(RSA2048)CERTTYPE(02)");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(VerifiedSubject(requests[0]), "/CN=Rsa User/OU=Unit/emailAddress=a@b.cn");
    EXPECT_EQ(SignatureNid(requests[0]), NID_sha256WithRSAEncryption);
}

TEST_F(Enrolment, TwoRequestsAtOnce) {
    std::vector<Bytes> requests = Create(
        "DN(CN=First,C=CN)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)||DN(CN=Second,C=CN)HASH(SHA1)KEYTYPE(RSA1024)CERTTYPE(03)");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(VerifiedSubject(requests[0]), "/CN=First/C=CN");
    EXPECT_EQ(VerifiedSubject(requests[1]), "/CN=Second/C=CN");
    EXPECT_EQ(SignatureNid(requests[1]), NID_sha1WithRSAEncryption);
    EXPECT_EQ(TemporaryPairs().size(), 2u);
}

TEST_F(Enrolment, RefusedParametersMakeNoKeys) {
    Create("DN(CN=A, O=B)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)", -304);
    Create("DN(CN=A)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)||x||y", -304);
    EXPECT_TRUE(Objects("public-key").empty());
}

TEST_F(Enrolment, RsaRequestWithSm3FailsAfterTheKeysWereMade) {
    Create("DN(CN=A)HASH(SM3)KEYTYPE(RSA1024)CERTTYPE(01)", -353);
    EXPECT_EQ(TemporaryPairs().size(), 1u);
}

TEST_F(Enrolment, NoRoomForANewKey) {
    for (int i = 0; i < 6; ++i) Tool({"add-key", "--type", "sm2", "--no-cert"});
    Create("DN(CN=A)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)", -403);
}

TEST_F(Enrolment, CertificateTypeIsOverriddenWithoutExtendedInfo) {
    SelectedToken token;
    ASSERT_EQ(d.module->CheckToken(token), 0);
    GenerationRecorder recorder(token.aux);
    Create("DN(CN=A)HASH(SHA256)KEYTYPE(RSA1024)CERTTYPE(01)||DN(CN=B)HASH(SHA1)KEYTYPE(RSA1024)CERTTYPE(03)");
    EXPECT_EQ(GenerationRecorder::CertTypes(), "0103");

    Tool({"set", "--ext-info", "off"});
    std::vector<Bytes> requests = Create("DN(CN=A)HASH(SHA512)KEYTYPE(RSA1024)CERTTYPE(01)");
    EXPECT_EQ(GenerationRecorder::CertTypes(), "02");
    // Signed over PKCS#11, the request is just as valid.
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(VerifiedSubject(requests[0]), "/CN=A");
    EXPECT_EQ(SignatureNid(requests[0]), NID_sha512WithRSAEncryption);
    Create("DN(CN=A)HASH(SHA256)KEYTYPE(RSA1024)CERTTYPE(03)||DN(CN=B)HASH(SHA1)KEYTYPE(RSA1024)CERTTYPE(01)");
    EXPECT_EQ(GenerationRecorder::CertTypes(), "0202");
}

TEST_F(Enrolment, Sm2NeedsTheExtendedInterface) {
    Tool({"set", "--ext-info", "off"});
    Create("DN(CN=A)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)", -103);
    EXPECT_EQ(TemporaryPairs().size(), 1u);
}

TEST_F(Enrolment, TokenSigningAnswers) {
    const std::string certInfo = "DN(CN=A)HASH(SHA256)KEYTYPE(RSA1024)CERTTYPE(01)";
    Tool({"queue", "cancel@signrequest"});
    Create(certInfo, -100);
    Tool({"queue", "timeout@signrequest"});
    Create(certInfo, -404);
    Tool({"queue", "wrong-pin@signrequest"});
    Create(certInfo, -404);
    Tool({"set-tries", "--tries", "1"});
    Tool({"queue", "wrong-pin@signrequest"});
    Create(certInfo, -221);
    EXPECT_EQ(TemporaryPairs().size(), 4u);  // every failure keeps its keys
}

TEST_F(Enrolment, PkcsElevenSigningAnswers) {
    Tool({"set", "--ext-info", "off"});
    const std::string one = "DN(CN=A)HASH(SHA256)KEYTYPE(RSA1024)CERTTYPE(01)";
    Tool({"queue", "cancel@login"});
    Create(one, -100);
    Tool({"queue", "approve@login", "wrong-pin@login"});  // the second request's login fails
    Create(one + "||DN(CN=B)HASH(MD5)KEYTYPE(RSA1024)CERTTYPE(01)", -205);
    Tool({"queue", "timeout@login"});
    Create(one, -105);
    Tool({"queue", "rv:0x30@login"});
    Create(one, -352);
    Tool({"queue", "rv:0x5@sign"});  // a signing failure after the login
    Create(one, -103);
    Tool({"set-tries", "--tries", "1"});
    Tool({"queue", "wrong-pin@login"});
    Create(one, -221);
    Tool({"set-tries", "--tries", "6"});
    EXPECT_EQ(Create(one).size(), 1u);
}

TEST_F(Enrolment, InstallsOnlyTheUsersCertificateFromABundle) {
    std::string issued = EnrolRsa("Bundle User");
    ASSERT_FALSE(issued.empty());
    Bytes bundle = Bundle({CaPem("rsa"), issued});
    ASSERT_EQ(Install(WithCrLf(BundlePem(bundle))), 0);
    EXPECT_TRUE(TemporaryPairs().empty());
    std::vector<Bytes> values = CertificateValues();
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0], DerOf(CertificateFromPem(issued).get()));

    // The same bundle as one line of Base64 is just as good (the token keeps one copy).
    ASSERT_EQ(Install(ToBase64(bundle)), 0);
    EXPECT_EQ(CertificateValues(), values);
}

TEST_F(Enrolment, InstallsASingleCertificate) {
    std::string issued = EnrolRsa("Single User");
    ASSERT_EQ(Install(issued), 0);
    EXPECT_TRUE(TemporaryPairs().empty());
    // A certificate for a key the token does not hold is refused by the module.
    Tool({"add-key", "--type", "rsa1024", "--no-cert"});
    std::string other = ReadText(std::string(TEST_DATA_DIR) + "/enrolment/rsa_user.pem");
    EXPECT_EQ(Install(ToBase64(DerOf(CertificateFromPem(other).get()))), -352);
    EXPECT_EQ(CertificateValues().size(), 1u);
}

TEST_F(Enrolment, UnreadableTextIsRefused) {
    std::string issued = EnrolRsa("Spaced User");
    std::string spaced = WithCrLf(issued);
    spaced.insert(spaced.find('\r'), " ");
    EXPECT_EQ(Install(spaced), -401);
    EXPECT_EQ(TemporaryPairs().size(), 1u);
}

TEST_F(Enrolment, Sm2BundleIsHandedOverWhole) {
    std::vector<Bytes> requests = Create("DN(CN=Sm2 User,C=CN)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)");
    ASSERT_EQ(requests.size(), 1u);
    Bytes bundle = Bundle({CaPem("sm2"), Issue(requests[0], "sm2")});
    ASSERT_EQ(Install(WithCrLf(BundlePem(bundle))), 0);
    EXPECT_TRUE(TemporaryPairs().empty());
    EXPECT_EQ(CertificateValues().size(), 1u);
    ASSERT_EQ(Install(ToBase64(bundle)), 0);
    EXPECT_EQ(CertificateValues().size(), 1u);
}

TEST_F(Enrolment, RefusedSecondPartRollsTheFirstBack) {
    std::string issued = EnrolRsa("First Part");
    std::string foreign = ReadText(std::string(TEST_DATA_DIR) + "/enrolment/rsa_user.pem");
    EXPECT_EQ(Install(issued + "||" + foreign), -352);
    EXPECT_TRUE(CertificateValues().empty());
    EXPECT_EQ(TemporaryPairs().size(), 1u);
}

TEST_F(Enrolment, RollbackKeepsAnOlderCertificateOfTheSameSubject) {
    Bytes request;
    std::string older = EnrolRsa("Renewed User", &request);
    ASSERT_EQ(Install(older), 0);
    std::string newer = Issue(request, "rsa");  // same subject and issuer, another serial
    std::string foreign = ReadText(std::string(TEST_DATA_DIR) + "/enrolment/rsa_user.pem");
    EXPECT_EQ(Install(newer + "||" + foreign), -352);
    std::vector<Bytes> values = CertificateValues();
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0], DerOf(CertificateFromPem(older).get()));
}

TEST_F(Enrolment, RollbackNeverTouchesAnEarlierInstallation) {
    std::string issued = EnrolRsa("Earlier User");
    ASSERT_EQ(Install(issued), 0);
    std::string foreign = ReadText(std::string(TEST_DATA_DIR) + "/enrolment/rsa_user.pem");
    // No first part: nothing of this installation to roll back.
    EXPECT_EQ(Install("||" + foreign), -352);
    EXPECT_EQ(CertificateValues().size(), 1u);
    EXPECT_TRUE(TemporaryPairs().empty());
}

TEST_F(Enrolment, RefusedSecondPartRollsAnSm2BundleBack) {
    std::vector<Bytes> requests = Create("DN(CN=Sm2 User,C=CN)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)");
    ASSERT_EQ(requests.size(), 1u);
    std::string issued = Issue(requests[0], "sm2");
    std::string foreign = ReadText(std::string(TEST_DATA_DIR) + "/enrolment/rsa_user.pem");
    EXPECT_EQ(Install(ToBase64(Bundle({CaPem("sm2"), issued})) + "||" + foreign), -352);
    EXPECT_TRUE(CertificateValues().empty());
    EXPECT_EQ(TemporaryPairs().size(), 1u);
}

TEST_F(Enrolment, DeletesTemporaryKeysByNumber) {
    Create("DN(CN=A)HASH(SM3)KEYTYPE(SM2256)CERTTYPE(01)||DN(CN=B)HASH(SHA1)KEYTYPE(RSA1024)CERTTYPE(01)");
    ASSERT_EQ(TemporaryPairs().size(), 2u);
    Tool({"queue", "cancel@deletekey"});
    EXPECT_EQ(d->GMDelTempKey("", "11||02"), -100);
    EXPECT_EQ(TemporaryPairs().size(), 2u);
    EXPECT_EQ(d->GMDelTempKey("", "02"), 0);
    ASSERT_EQ(Objects("public-key").size(), 1u);
    EXPECT_EQ(Objects("public-key")[0].keyType, "sm2");
    EXPECT_EQ(d->GMDelTempKey(nullptr, "11"), 0);
    EXPECT_TRUE(Objects("public-key").empty());
    EXPECT_TRUE(Objects("private-key").empty());
}

TEST_F(Enrolment, KeyNumbersNameOnlyTemporaryKeysWhileDnsNameCertifiedPairs) {
    std::string issued = EnrolRsa("Certified");
    ASSERT_EQ(Install(issued), 0);
    EXPECT_EQ(d->GMDelTempKey("", "02"), -352);         // has its certificate now
    EXPECT_EQ(d->GMDelTempKey("CN=Nobody", ""), -352);  // no certificate matches
    EXPECT_EQ(Objects("public-key").size(), 1u);
    Tool({"queue", "cancel@deletekey"});
    EXPECT_EQ(d->GMDelTempKey("C=CN,CN=Certified,O=Example", ""), -100);
    EXPECT_EQ(Objects("public-key").size(), 1u);
    EXPECT_EQ(d->GMDelTempKey("C=CN,CN=Certified,O=Example", ""), 0);  // order-free, whole DN
    EXPECT_TRUE(Objects("public-key").empty());
    EXPECT_TRUE(Objects("private-key").empty());
    EXPECT_TRUE(CertificateValues().empty());
}

}  // namespace
