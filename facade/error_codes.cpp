#include "facade/error_codes.h"

#include <string>

#include "facade/PKCSHandle.h"
#include "support/result_codes.h"

const char* const kOtherErrorDescription = "Error:Other";

namespace {

struct ErrorEntry {
    long code;
    const char* description;
};

constexpr ErrorEntry kErrorTable[] = {
    {rc::kSuccess, "Success."},
    {rc::kCancelled, "Warning:Operation is canceled by user."},
    {rc::kModuleNotInstalled, "Error:Device driver/PKCS#11/Library files is not installed correctly."},
    {rc::kNoKey, "Error:No UKey is detected."},
    {rc::kCannotConnect, "Error:UKey cannot be connected."},
    {rc::kSeveralKeys, "Error:Multiple UKeys are detected. For current situation, only one UKey is required."},
    {rc::kTimedOut, "Error:User operation is time out"},
    {rc::WrongPin(0), "Error:Password is incorrect. 0 times left for retry."},
    {rc::WrongPin(1), "Error:Password is incorrect. 1 times left for retry."},
    {rc::WrongPin(2), "Error:Password is incorrect. 2 times left for retry."},
    {rc::WrongPin(3), "Error:Password is incorrect. 3 times left for retry."},
    {rc::WrongPin(4), "Error:Password is incorrect. 4 times left for retry."},
    {rc::WrongPin(5), "Error:Password is incorrect. 5 times left for retry."},
    {rc::WrongPin(6), "Error:Password is incorrect. 6 times left for retry."},
    {rc::WrongPin(7), "Error:Password is incorrect. 7 times left for retry."},
    {rc::WrongPin(8), "Error:Password is incorrect. 8 times left for retry."},
    {rc::WrongPin(9), "Error:Password is incorrect. 9 times left for retry."},
    {rc::WrongPin(10), "Error:Password is incorrect. 10 times left for retry."},
    {rc::WrongPin(11), "Error:Password is incorrect. 11 times left for retry."},
    {rc::WrongPin(12), "Error:Password is incorrect. 12 times left for retry."},
    {rc::WrongPin(13), "Error:Password is incorrect. 13 times left for retry."},
    {rc::WrongPin(14), "Error:Password is incorrect. 14 times left for retry."},
    {rc::WrongPin(15), "Error:Password is incorrect. 15 times left for retry."},
    {rc::kPinLocked, "Error:UKey has been locked."},
    {rc::kPinLengthWrong, "Error:Input value is not composed of 6-8 characters."},
    {rc::kNotInitialised, "Error:UKey has not been initialized."},
    {rc::kReadFailed, "Error:Reading data failed.(e.g. certificate data cannot be found or is invalid)"},
    {rc::kAdminKeyWrong, "Error:Input UKey Admin Key is error ."},
    {rc::kBadParameter, "Error:Input Param Format or Length error ."},
    {rc::kNoCertificate, "Error:Certificate data cannot be found."},
    {rc::kOpenRegisterFailed, "Error:Open register error."},
    {rc::kBadValue, "Error:Input value is incorrect."},
};

}  // namespace

const char* FindErrorDescription(long code) {
    for (const ErrorEntry& entry : kErrorTable) {
        if (entry.code == code) return entry.description;
    }
    return nullptr;
}

long PKCS_Handle::GetLastErrorDesc(long code, ResultVector& result) {
    const char* description = FindErrorDescription(code);
    const std::string text(description != nullptr ? description : kOtherErrorDescription);
    setVec(result, text.data(), text.size());
    return text.empty() ? rc::kGeneralFailure : 0;
}
