// What the host does when a person starts it: --version, --help and
// --diagnose [--json]. Browsers pass arguments of their own (Chrome the
// caller's origin; Firefox the manifest path and the extension id), which
// never begin with these options and are left alone.
#pragma once

#include <optional>

#include "facade/PKCSHandle.h"

// Runs what the first argument asks for and returns the exit status, or
// nothing when the host is to serve a browser.
std::optional<int> RunForAPerson(int argc, char** argv, const TokenSettings& settings);
