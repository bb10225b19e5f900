// Owning pointers for the OpenSSL objects we create, so that every path out of
// a function releases them. Header-only; users link OpenSSL themselves.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

template <typename T, void (*Free)(T*)>
struct OpenSslDeleter {
    void operator()(T* object) const { Free(object); }
};

template <typename T, void (*Free)(T*)>
using OpenSslPtr = std::unique_ptr<T, OpenSslDeleter<T, Free>>;

using BioPtr = OpenSslPtr<BIO, BIO_free_all>;
using BignumPtr = OpenSslPtr<BIGNUM, BN_free>;
using EcdsaSigPtr = OpenSslPtr<ECDSA_SIG, ECDSA_SIG_free>;
using EvpMdCtxPtr = OpenSslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using EvpPkeyCtxPtr = OpenSslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using EvpPkeyPtr = OpenSslPtr<EVP_PKEY, EVP_PKEY_free>;
using Pkcs7Ptr = OpenSslPtr<PKCS7, PKCS7_free>;
using X509NamePtr = OpenSslPtr<X509_NAME, X509_NAME_free>;
using X509Ptr = OpenSslPtr<X509, X509_free>;
using X509ReqPtr = OpenSslPtr<X509_REQ, X509_REQ_free>;
using X509SigPtr = OpenSslPtr<X509_SIG, X509_SIG_free>;

// Memory OpenSSL hands over to us: X509_NAME_oneline text, i2d_* output.
struct OpenSslFree {
    void operator()(void* memory) const { OPENSSL_free(memory); }
};
using OpenSslText = std::unique_ptr<char, OpenSslFree>;
using OpenSslBytes = std::unique_ptr<unsigned char, OpenSslFree>;
