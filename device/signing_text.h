// The signing text: the record of "XmlMsg", "KeyMsg" and an optional file
// that the key signs, in its binary or decimal form. utf8 says whether the
// texts go to the key as they are or converted to GB18030 (the charset flag).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// Appends the complete signing text to out; 0 or kBadParameter,
// kReadFailed, kEncodeFailed, with out then as it was.
long MakeTLVSignFile(bool utf8, const char* xmlMsg, const char* keyMsg, const std::string& filePath, std::string& out,
                     bool binary);
// The text up to where the file's Base64 begins, without the binary form's
// key-message field: the module appends both itself when it signs a file.
long MakePaddingTLVSignFile(bool utf8, const char* xmlMsg, const char* keyMsg, const char* filePath, std::string& out,
                            bool binary);
// MakeTLVSignFile reserving the capacity capacityFor asks for, given the
// position in out where the text will end, so that a caller growing out
// afterwards never moves the text.
using CapacityFor = std::function<size_t(size_t textEnd)>;
long MakeTLVSignFileWithRoom(bool utf8, const char* xmlMsg, const char* keyMsg, const std::string& filePath,
                             std::string& out, bool binary, const CapacityFor& capacityFor);
