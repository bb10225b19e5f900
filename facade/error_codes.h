// Description texts of the program's error codes. The numbers are part of the
// browser protocol and never change.
#pragma once

// The description of a known code, or nullptr for any other code.
const char* FindErrorDescription(long code);

// The text reported for codes without a description of their own.
extern const char* const kOtherErrorDescription;
