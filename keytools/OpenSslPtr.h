#pragma once
// Owning pointers for the OpenSSL objects of the build tools, the authoring
// library and their tests.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>

#include <memory>

template <typename T, void (*Free)(T*)>
struct OpensslFree {
    void operator()(T* object) const { Free(object); }
};

using PkeyPtr = std::unique_ptr<EVP_PKEY, OpensslFree<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpensslFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OpensslFree<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using DecoderCtxPtr = std::unique_ptr<OSSL_DECODER_CTX, OpensslFree<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>>;
using SecretBnPtr = std::unique_ptr<BIGNUM, OpensslFree<BIGNUM, BN_clear_free>>; // cleared before release

inline void freeBio(BIO* bio)
{
    BIO_free(bio);
}
using BioPtr = std::unique_ptr<BIO, OpensslFree<BIO, freeBio>>;
