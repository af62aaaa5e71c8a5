#pragma once
// Sole owners of OpenSSL objects: each is freed exactly once, on every path.

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace codesign {

template <auto Free>
struct OpenSslDeleter {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};

using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<EVP_MD_CTX_free>>;
using EvpMdPtr = std::unique_ptr<EVP_MD, OpenSslDeleter<EVP_MD_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, OpenSslDeleter<CMS_ContentInfo_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OpenSslDeleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, OpenSslDeleter<X509_STORE_CTX_free>>;
using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, OpenSslDeleter<ASN1_OBJECT_free>>;

// A stack of certificates that owns its elements (OSSL_STACK_OF_X509_free is not in 3.0).
inline void free_x509_stack(STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); }
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OpenSslDeleter<free_x509_stack>>;
// A stack whose elements are borrowed (CMS_get0_signers).
inline void free_x509_stack_shallow(STACK_OF(X509) * stack) { sk_X509_free(stack); }
using X509StackViewPtr = std::unique_ptr<STACK_OF(X509), OpenSslDeleter<free_x509_stack_shallow>>;

}  // namespace codesign
