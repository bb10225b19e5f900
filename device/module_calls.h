// Names for what the token module answers, and the record of the module
// calls that failed. Every name is our own fixed text: nothing the module
// says reaches a log or a report through them.
#pragma once

#include <string>

#include "device/device_facts.h"
#include "token_module/token_module.h"

// "CKR_DEVICE_ERROR" for every standard result and the module's own
// time-out; "0x80001234" for any other value.
std::string ModuleResultName(CK_RV rv);

// The first module call that failed since the record was last taken. The
// first, not the last: once a call fails, later ones often fail because of
// it (a search left open, a key pulled out), and the first names the cause.
// A question the key may answer with a failure (whether it has extended
// information) is kept apart, and named only when nothing else failed, so
// that a key without extended information cannot hide every real failure.
class ModuleCallRecorder {
public:
    // Returns rv; anything but CKR_OK and alsoFine (an answer the caller
    // takes as success) is a failure. function must be a string literal.
    CK_RV Record(const char* function, CK_RV rv, CK_RV alsoFine = CKR_OK) {
        if (rv != CKR_OK && rv != alsoFine && !failure_.function) failure_ = {function, rv};
        return rv;
    }
    // The same for a question: a failure here is an answer.
    CK_RV RecordAnswer(const char* function, CK_RV rv) {
        if (rv != CKR_OK && !answer_.function) answer_ = {function, rv};
        return rv;
    }
    // The failure recorded since the previous call, which is forgotten.
    ModuleCallFailure Take();

private:
    struct Call {
        const char* function = nullptr;
        CK_RV result = CKR_OK;
    };
    Call failure_;
    Call answer_;
};

// Records through a recorder that may be absent.
inline CK_RV RecordCall(ModuleCallRecorder* calls, const char* function, CK_RV rv, CK_RV alsoFine = CKR_OK) {
    return calls ? calls->Record(function, rv, alsoFine) : rv;
}
