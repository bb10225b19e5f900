// token-host --diagnose: what someone supporting the host needs to see in a
// minute. It never asks for the PIN, never logs in, signs nothing, changes
// nothing on the key or on disk, and never touches the browser's channel.
#pragma once

#include <optional>
#include <string>

#include "facade/PKCSHandle.h"
#include "host/browser_manifests.h"
#include "host/diagnosis_report.h"

// Everything the report looks at outside the key, given apart so that tests
// can point it at a scratch tree.
struct DiagnosisInput {
    TokenSettings settings;
    std::string hostVersion;
    HostIdentity host;
    std::optional<std::string> logSetting;  // TOKEN_HOST_LOG
    ManifestRoots manifestRoots;
};

// This process: /proc/self/exe, TOKEN_HOST_LOG, this user's folders.
DiagnosisInput DiagnosisInputOfThisProcess(const TokenSettings& settings, std::string hostVersion);

// The sections "host", "module", "chooser", "log", "browsers", "slots" and
// "key", and the verdict: what the device layer found (PKCS_Handle::
// DiagnoseDevice) decides the exit status.
DiagnosisReport Diagnose(const DiagnosisInput& input, const DeviceDiagnosis& device);

// How a person reads where a path came from; the variable names make it
// plain what to change.
std::string DescribeOrigin(PathOrigin origin, const char* buildOption, const char* environmentVariable);
