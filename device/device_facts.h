// What the device layer tells the people who support the host: plain facts,
// free of the module's types, so that the layers above may hold them. Texts
// that come from the module or from certificates are trimmed and hold no
// control characters and no invalid UTF-8; names of functions, results and
// flags are our own fixed strings ("C_Sign", "CKR_DEVICE_ERROR", "0x80001234").
#pragma once

#include <string>
#include <vector>

// A token module call that failed: the function and its result. Empty when
// none failed.
struct ModuleCallFailure {
    std::string function;
    std::string result;
    bool Empty() const { return function.empty(); }
};

// How asking the module for one of its function lists went.
enum class ListLookup {
    NotTried,     // the module did not load
    NotExported,  // no such symbol
    CallFailed,   // the getter failed: see result
    NoList,       // the getter succeeded and gave no list
    Found,
};

struct ListLookupFacts {
    ListLookup lookup = ListLookup::NotTried;
    std::string result;  // CallFailed: the getter's result
};

// Loading the module and what it says about itself.
struct ModuleFacts {
    bool fileExists = false;
    bool fileReadable = false;
    bool loaded = false;
    std::string loadError;  // dlopen's text when it failed
    ListLookupFacts functionList;     // C_GetFunctionList
    ListLookupFacts auxFunctionList;  // E_GetAuxFunctionList
    std::string initializeResult;     // C_Initialize; empty when not called
    std::string infoResult;           // C_GetInfo; empty when not called
    std::string cryptokiVersion;      // "2.40"
    std::string manufacturer;
    std::string description;
    std::string libraryVersion;
};

// A slot holding a token.
struct TokenFacts {
    unsigned long slot = 0;
    std::string infoResult;  // C_GetTokenInfo; the rest only when "CKR_OK"
    std::string label;
    std::string model;
    std::string serial;
    std::vector<std::string> flags;  // "CKF_LOGIN_REQUIRED", ...
};

// A certificate object of the key, read without logging in.
struct CertificateFacts {
    bool read = false;              // its value could be read
    ModuleCallFailure readFailure;  // why not, when a module call failed
    bool decoded = false;           // the rest only when the value is an X.509 certificate
    std::string subject;     // inverted ("CN=...,O=...,C=..."), as the host reports DNs
    std::string issuer;
    std::string notBefore;  // "2025-01-31 23:59:59 UTC"
    std::string notAfter;
    bool expired = false;
    bool notYetValid = false;
    std::string keyType;  // "RSA 2048", "SM2", ...
    bool hasPairId = false;
    bool publicKeyFound = false;   // a public key object with its pair ID
    bool privateKeyFound = false;  // a private key object with its pair ID
};

// The one key a command would use, and what is on it.
struct KeyFacts {
    // The one-key rule as every command applies it: 0 when exactly one key
    // was selected, else the code a command would answer (-101 ... -104).
    long code = 0;
    // The module call behind a failing rule, when one failed.
    ModuleCallFailure failedCall;
    std::string slotListResult;  // C_GetSlotList; empty when not called
    std::vector<TokenFacts> tokens;
    // The rest only when code is 0.
    unsigned long slot = 0;
    long extInfoCode = 0;  // what GMGetAdminKeyInfo would answer
    std::string extInfo;   // its text when extInfoCode is 0
    ModuleCallFailure extInfoFailure;
    bool extInfoFlag = false;  // whether discovery found the key answering E_GetTokenExtInfo
    bool certificatesListed = false;
    ModuleCallFailure certificatesFailure;  // why they could not be listed
    std::vector<CertificateFacts> certificates;
};

struct DeviceDiagnosis {
    ModuleFacts module;
    KeyFacts key;
};
