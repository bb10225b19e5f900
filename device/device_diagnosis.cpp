// The device's part of --diagnose: loading the module, the slots and tokens,
// the one-key rule, and the key's certificates. It only reads: no login, no
// signing, no writing, a read-only session.
#include "device/DeviceP11Operation.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "device/module_connection.h"
#include "device/p11_session.h"
#include "support/Gener_Func.h"
#include "support/openssl_ptr.h"

namespace {

// The same bounds as discovery and the certificate queries.
constexpr CK_ULONG kMaxSlots = 64;
constexpr CK_ULONG kMaxCertificates = 100;

// Length of the valid UTF-8 sequence of a printable character starting at
// text[at], or 0.
size_t PrintableUtf8Length(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead >= 0x20 && lead < 0x7F) return 1;
    size_t length = 0;
    unsigned long code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    const unsigned long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool valid = code >= smallest[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    const bool control = code >= 0x80 && code <= 0x9F;
    return valid && !control ? length : 0;
}

// Text a module or a certificate gave, fit for a report: up to its first zero
// byte, without the blanks that pad fixed fields, and with every byte that is
// no printable UTF-8 shown as '?'.
std::string ReportableText(const std::string& raw) {
    std::string text(raw.c_str());
    text.erase(text.find_last_not_of(' ') + 1);
    std::string shown;
    for (size_t at = 0; at < text.size();) {
        const size_t length = PrintableUtf8Length(text, at);
        if (length == 0) {
            shown += '?';
            ++at;
        } else {
            shown.append(text, at, length);
            at += length;
        }
    }
    return shown;
}

template <size_t N>
std::string FieldText(const CK_UTF8CHAR (&field)[N]) {
    return ReportableText(std::string(reinterpret_cast<const char*>(field), N));
}

std::string VersionText(const CK_VERSION& version) {
    return std::to_string(version.major) + "." + std::to_string(version.minor);
}

struct FlagName {
    CK_FLAGS flag;
    const char* name;
};

#define TH_FLAG(constant) {constant, #constant}
constexpr FlagName kTokenFlags[] = {
    TH_FLAG(CKF_RNG),
    TH_FLAG(CKF_WRITE_PROTECTED),
    TH_FLAG(CKF_LOGIN_REQUIRED),
    TH_FLAG(CKF_USER_PIN_INITIALIZED),
    TH_FLAG(CKF_RESTORE_KEY_NOT_NEEDED),
    TH_FLAG(CKF_CLOCK_ON_TOKEN),
    TH_FLAG(CKF_PROTECTED_AUTHENTICATION_PATH),
    TH_FLAG(CKF_DUAL_CRYPTO_OPERATIONS),
    TH_FLAG(CKF_TOKEN_INITIALIZED),
    TH_FLAG(CKF_SECONDARY_AUTHENTICATION),
    TH_FLAG(CKF_USER_PIN_COUNT_LOW),
    TH_FLAG(CKF_USER_PIN_FINAL_TRY),
    TH_FLAG(CKF_USER_PIN_LOCKED),
    TH_FLAG(CKF_USER_PIN_TO_BE_CHANGED),
    TH_FLAG(CKF_SO_PIN_COUNT_LOW),
    TH_FLAG(CKF_SO_PIN_FINAL_TRY),
    TH_FLAG(CKF_SO_PIN_LOCKED),
    TH_FLAG(CKF_SO_PIN_TO_BE_CHANGED),
};
#undef TH_FLAG

std::vector<std::string> TokenFlagNames(CK_FLAGS flags) {
    std::vector<std::string> names;
    for (const FlagName& entry : kTokenFlags) {
        if (flags & entry.flag) names.push_back(entry.name);
        flags &= ~entry.flag;
    }
    if (flags != 0) {
        char rest[24];
        std::snprintf(rest, sizeof rest, "0x%lX", static_cast<unsigned long>(flags));
        names.push_back(rest);
    }
    return names;
}

bool Initialised(const LoadingFacts& loading) {
    return loading.initializeResult &&
           (*loading.initializeResult == CKR_OK || *loading.initializeResult == CKR_CRYPTOKI_ALREADY_INITIALIZED);
}

ModuleFacts ExamineModule(ModuleConnection& module) {
    ModuleFacts facts;
    struct stat status {};
    facts.fileExists = stat(module.Path().c_str(), &status) == 0;
    facts.fileReadable = facts.fileExists && access(module.Path().c_str(), R_OK) == 0;
    const LoadingFacts& loading = module.Loading();
    facts.loaded = loading.attempted && loading.loadError.empty();
    facts.loadError = ReportableText(loading.loadError);
    facts.functionList = loading.functionList;
    facts.auxFunctionList = loading.auxFunctionList;
    if (loading.initializeResult) facts.initializeResult = ModuleResultName(*loading.initializeResult);

    CK_FUNCTION_LIST_PTR f = module.Functions();
    if (!f || !f->C_GetInfo || !Initialised(loading)) return facts;
    CK_INFO info{};
    const CK_RV rv = module.Calls().Record("C_GetInfo", f->C_GetInfo(&info));
    facts.infoResult = ModuleResultName(rv);
    if (rv != CKR_OK) return facts;
    facts.cryptokiVersion = VersionText(info.cryptokiVersion);
    facts.manufacturer = FieldText(info.manufacturerID);
    facts.description = FieldText(info.libraryDescription);
    facts.libraryVersion = VersionText(info.libraryVersion);
    return facts;
}

TokenFacts ExamineToken(CK_FUNCTION_LIST_PTR f, ModuleCallRecorder& calls, CK_SLOT_ID slot) {
    TokenFacts facts;
    facts.slot = slot;
    if (!f->C_GetTokenInfo) {
        facts.infoResult = ModuleResultName(CKR_FUNCTION_NOT_SUPPORTED);
        return facts;
    }
    CK_TOKEN_INFO info{};
    const CK_RV rv = calls.Record("C_GetTokenInfo", f->C_GetTokenInfo(slot, &info));
    facts.infoResult = ModuleResultName(rv);
    if (rv != CKR_OK) return facts;
    facts.label = FieldText(info.label);
    facts.model = FieldText(info.model);
    facts.serial = FieldText(info.serialNumber);
    facts.flags = TokenFlagNames(info.flags);
    return facts;
}

// Every slot holding a token, without discovery's waits.
void ListTokens(ModuleConnection& module, KeyFacts& key) {
    CK_FUNCTION_LIST_PTR f = module.Functions();
    if (!f || !Initialised(module.Loading())) return;
    if (!f->C_GetSlotList) {
        key.slotListResult = ModuleResultName(CKR_FUNCTION_NOT_SUPPORTED);
        return;
    }
    ModuleCallRecorder& calls = module.Calls();
    CK_ULONG count = 0;
    CK_RV rv = calls.Record("C_GetSlotList", f->C_GetSlotList(CK_TRUE, nullptr, &count));
    std::vector<CK_SLOT_ID> slots(std::min(count, kMaxSlots));
    CK_ULONG listed = slots.size();
    if (rv == CKR_OK && !slots.empty()) {
        rv = calls.Record("C_GetSlotList", f->C_GetSlotList(CK_TRUE, slots.data(), &listed));
    }
    key.slotListResult = ModuleResultName(rv);
    if (rv != CKR_OK) return;
    slots.resize(std::min<CK_ULONG>(listed, slots.size()));
    for (const CK_SLOT_ID slot : slots) key.tokens.push_back(ExamineToken(f, calls, slot));
}

std::string OneLineName(const X509_NAME* name) {
    if (!name) return std::string();
    OpenSslText line(X509_NAME_oneline(name, nullptr, 0));
    if (!line) return std::string();
    return ReportableText(InvertDN(line.get(), static_cast<int>(std::strlen(line.get()))));
}

std::string TimeText(const ASN1_TIME* time) {
    std::tm parts{};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1) return "unreadable";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

std::string KeyTypeOf(const X509* certificate) {
    EVP_PKEY* key = X509_get0_pubkey(certificate);
    if (!key) return "unreadable";
    if (EVP_PKEY_is_a(key, "SM2")) return "SM2";
    if (EVP_PKEY_is_a(key, "RSA")) return "RSA " + std::to_string(EVP_PKEY_get_bits(key));
    if (EVP_PKEY_is_a(key, "EC")) {
        char group[64] = {};
        size_t length = 0;
        if (EVP_PKEY_get_group_name(key, group, sizeof group, &length) != 1) return "EC";
        return std::string(group) == "SM2" ? "SM2" : "EC " + ReportableText(group);
    }
    const char* type = EVP_PKEY_get0_type_name(key);
    return type ? ReportableText(type) : "unknown";
}

void DescribeCertificate(const std::vector<unsigned char>& der, CertificateFacts& facts) {
    if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX)) return;
    const unsigned char* cursor = der.data();
    const X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!certificate) return;
    facts.decoded = true;
    facts.subject = OneLineName(X509_get_subject_name(certificate.get()));
    facts.issuer = OneLineName(X509_get_issuer_name(certificate.get()));
    const ASN1_TIME* notBefore = X509_get0_notBefore(certificate.get());
    const ASN1_TIME* notAfter = X509_get0_notAfter(certificate.get());
    facts.notBefore = TimeText(notBefore);
    facts.notAfter = TimeText(notAfter);
    // X509_cmp_current_time: -1 before now, 1 after, 0 when unreadable.
    facts.notYetValid = notBefore && X509_cmp_current_time(notBefore) > 0;
    facts.expired = notAfter && X509_cmp_current_time(notAfter) < 0;
    facts.keyType = KeyTypeOf(certificate.get());
}

bool HasObjectOfPair(const P11Session& session, CK_OBJECT_CLASS objectClass, const std::vector<unsigned char>& pairId) {
    std::vector<CK_OBJECT_HANDLE> found;
    return FindObjects(session,
                       {UlongItem(CKA_CLASS, objectClass), BoolItem(CKA_TOKEN, true),
                        BytesItem(CKA_VENDOR_PAIR_ID, pairId.data(), pairId.size())},
                       1, found) &&
           !found.empty();
}

CertificateFacts ExamineCertificate(const P11Session& session, ModuleCallRecorder& calls, CK_OBJECT_HANDLE object) {
    CertificateFacts facts;
    calls.Take();
    std::vector<unsigned char> value;
    facts.read = ReadAttribute(session, object, CKA_VALUE, value);
    if (!facts.read) {
        facts.readFailure = calls.Take();
        return facts;
    }
    DescribeCertificate(value, facts);
    std::vector<unsigned char> pairId;
    // A certificate without a pair ID has no key pair on the token.
    facts.hasPairId = ReadAttribute(session, object, CKA_VENDOR_PAIR_ID, pairId) && !pairId.empty();
    if (facts.hasPairId) {
        facts.publicKeyFound = HasObjectOfPair(session, CKO_PUBLIC_KEY, pairId);
        facts.privateKeyFound = HasObjectOfPair(session, CKO_PRIVATE_KEY, pairId);
    }
    return facts;
}

void ListCertificates(const SelectedToken& token, ModuleCallRecorder& calls, KeyFacts& key) {
    calls.Take();
    P11Session session;
    std::vector<CK_OBJECT_HANDLE> certificates;
    if (!token.OpenReadOnlySession(session) ||
        !FindObjects(session, {UlongItem(CKA_CLASS, CKO_CERTIFICATE), BoolItem(CKA_TOKEN, true)}, kMaxCertificates,
                     certificates)) {
        key.certificatesFailure = calls.Take();
        return;
    }
    key.certificatesListed = true;
    for (const CK_OBJECT_HANDLE certificate : certificates) {
        key.certificates.push_back(ExamineCertificate(session, calls, certificate));
    }
}

}  // namespace

DeviceDiagnosis DeviceP11Operation::Diagnose() {
    DeviceDiagnosis facts;
    ModuleCallRecorder& calls = m_module->Calls();
    calls.Take();
    SelectedToken token;
    facts.key.code = m_module->CheckToken(token);
    if (facts.key.code != 0) facts.key.failedCall = calls.Take();
    facts.module = ExamineModule(*m_module);
    ListTokens(*m_module, facts.key);
    if (facts.key.code == 0) {
        facts.key.slot = token.slot;
        facts.key.extInfoFlag = m_module->GetExtInfoFlag();
        calls.Take();
        std::string extInfo;
        facts.key.extInfoCode = GetAdminKeyInfo(0, extInfo);
        if (facts.key.extInfoCode == 0) {
            facts.key.extInfo = ReportableText(extInfo);
        } else {
            facts.key.extInfoFailure = calls.Take();
        }
        ListCertificates(token, calls, facts.key);
    }
    // What the diagnosis met is in the facts; it is no request's failure.
    calls.Take();
    return facts;
}
