#include "facade/error_codes.h"

#include <string>

#include "facade/PKCSHandle.h"

const char* const kOtherErrorDescription = "Error:Other";

namespace {

struct ErrorEntry {
    long code;
    const char* description;
};

constexpr ErrorEntry kErrorTable[] = {
    {0, "Success."},
    {-100, "Warning:Operation is canceled by user."},
    {-101, "Error:Device driver/PKCS#11/Library files is not installed correctly."},
    {-102, "Error:No UKey is detected."},
    {-103, "Error:UKey cannot be connected."},
    {-104, "Error:Multiple UKeys are detected. For current situation, only one UKey is required."},
    {-105, "Error:User operation is time out"},
    {-200, "Error:Password is incorrect. 0 times left for retry."},
    {-201, "Error:Password is incorrect. 1 times left for retry."},
    {-202, "Error:Password is incorrect. 2 times left for retry."},
    {-203, "Error:Password is incorrect. 3 times left for retry."},
    {-204, "Error:Password is incorrect. 4 times left for retry."},
    {-205, "Error:Password is incorrect. 5 times left for retry."},
    {-206, "Error:Password is incorrect. 6 times left for retry."},
    {-207, "Error:Password is incorrect. 7 times left for retry."},
    {-208, "Error:Password is incorrect. 8 times left for retry."},
    {-209, "Error:Password is incorrect. 9 times left for retry."},
    {-210, "Error:Password is incorrect. 10 times left for retry."},
    {-211, "Error:Password is incorrect. 11 times left for retry."},
    {-212, "Error:Password is incorrect. 12 times left for retry."},
    {-213, "Error:Password is incorrect. 13 times left for retry."},
    {-214, "Error:Password is incorrect. 14 times left for retry."},
    {-215, "Error:Password is incorrect. 15 times left for retry."},
    {-221, "Error:UKey has been locked."},
    {-222, "Error:Input value is not composed of 6-8 characters."},
    {-301, "Error:UKey has not been initialized."},
    {-302, "Error:Reading data failed.(e.g. certificate data cannot be found or is invalid)"},
    {-303, "Error:Input UKey Admin Key is error ."},
    {-304, "Error:Input Param Format or Length error ."},
    {-350, "Error:Certificate data cannot be found."},
    {-351, "Error:Open register error."},
    {-352, "Error:Input value is incorrect."},
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
    if (description == nullptr) {
        description = kOtherErrorDescription;
        g_lErrorCode = -300;
    }
    const std::string text(description);
    setVec(result, text.data(), text.size());
    return text.empty() ? -300 : 0;
}
