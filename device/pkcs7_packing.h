// Packing a signature with its certificate and the signed content as PKCS#7
// SignedData, returned as Base64 text or written to a file. Every function
// returns 0 or kPackFailed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class Base64Text;

// content: the signed text (SM2: with the Z value in front, which the
// SignedData leaves out). out receives the Base64 text.
long PackCert2P7(const std::string& content, const std::vector<unsigned char>& cert,
                 const std::vector<unsigned char>& signature, unsigned long mechanism, bool sm2, std::string& out);
// The same for a signature the module made over a file (least-significant
// byte first): the text goes to path, or to out when path is empty.
long PackCert2P7SignFile(const std::string& content, const std::vector<unsigned char>& cert,
                         std::vector<unsigned char> signature, unsigned long mechanism, bool sm2, std::string& out,
                         const std::string& path);

// The same two built in place: buffer holds the content from contentStart to
// its end (SM2 content without its Z value) and at least kSignedDataHeadroom
// bytes before it. The DER headers are written into those bytes and the
// certificate and signer appended, so a content that was built there (spare
// capacity reserved) is never copied or moved. PackCert2P7InPlace then turns
// the DER into its Base64 text where it lies and hands the buffer over as
// out; buffer is left holding out's former value.
constexpr size_t kSignedDataHeadroom = 128;
long PackCert2P7InPlace(std::string& buffer, size_t contentStart, const std::vector<unsigned char>& cert,
                        const std::vector<unsigned char>& signature, unsigned long mechanism, bool sm2,
                        std::string& out);
// The same, handing the DER over as a text that is encoded only as it is read:
// the buffer needs no capacity for the text.
long PackCert2P7InPlace(std::string& buffer, size_t contentStart, const std::vector<unsigned char>& cert,
                        const std::vector<unsigned char>& signature, unsigned long mechanism, bool sm2,
                        Base64Text& out);
long PackCert2P7SignFileInPlace(std::string& buffer, size_t contentStart, const std::vector<unsigned char>& cert,
                                std::vector<unsigned char> signature, unsigned long mechanism, bool sm2,
                                std::string& out, const std::string& path);
// Room after a content for the certificate and the signer of one SignedData,
// however long the signature (up to the 1,024-byte buffer).
size_t SignedDataTailRoom(const std::vector<unsigned char>& cert);
// Capacity for the Base64 text of a DER of at most derEnd bytes (counted from
// the start of its buffer), encoded where the DER lies.
size_t Base64InPlaceCapacity(size_t derEnd);
