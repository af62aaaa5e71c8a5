#include "codesign/bundle_signature.hpp"

#include <fcntl.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "codesign/openssl_error.hpp"
#include "common/bundle_layout.hpp"
#include "common/error.hpp"
#include "common/util/unique_fd.hpp"
#include "posix/open_beneath.hpp"
#include "posix/read_beneath.hpp"

namespace codesign {

using posix::open_beneath;

using common::bundle_layout::INFO_PLIST_PATH;
using common::bundle_layout::MANIFEST_PATH;
using common::bundle_layout::SIGNATURE_PATH;
using common::util::UniqueFd;

namespace {

constexpr std::size_t MAX_MANIFEST_SIZE = 8 * 1024 * 1024;
constexpr std::size_t MAX_SIGNATURE_SIZE = 1024 * 1024;

// OpenSSL failed, not the signature: no verdict on the bundle can be given.
SignatureProblem openssl_problem(std::string_view what) {
  return SignatureProblem{INTERNAL_ERROR, openssl_failure(what).text()};
}

// A file of the bundle read whole (posix::read_file_beneath), or the errno of the failure: EINVAL
// for anything but a regular file, EFBIG for one over its limit.
using FileRead = std::expected<std::string, int>;

std::optional<SignatureProblem> component_problem(const FileRead& read, std::string_view name,
                                                  OSStatus too_large_status) {
  if (read) return std::nullopt;
  const int error = read.error();
  if (error == ENOENT || error == ENOTDIR) return SignatureProblem{UNSIGNED, ""};
  if (error == ELOOP || error == EXDEV || error == EINVAL) {
    return SignatureProblem{SIGNATURE_FAILED,
                            std::string(name) + " is not a regular file inside the bundle"};
  }
  if (error == EFBIG) {
    return SignatureProblem{too_large_status, std::string(name) + " is too large"};
  }
  return SignatureProblem{SIGNATURE_NOT_VERIFIABLE, "cannot read " + std::string(name) + ": " +
                                                        common::os_error_description(error)};
}

std::optional<std::string> first_subject_ou(X509* cert) {
  X509_NAME* name = X509_get_subject_name(cert);
  int index = X509_NAME_get_index_by_NID(name, NID_organizationalUnitName, -1);
  if (index < 0) return std::nullopt;
  unsigned char* utf8 = nullptr;
  int length =
      ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
  if (length < 0) return std::nullopt;
  std::string ou(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
  OPENSSL_free(utf8);
  return ou;
}

std::vector<std::string> extension_oids(X509* cert) {
  std::vector<std::string> oids;
  int count = X509_get_ext_count(cert);
  for (int i = 0; i < count; ++i) {
    const ASN1_OBJECT* object = X509_EXTENSION_get_object(X509_get_ext(cert, i));
    char text[128];
    int length = OBJ_obj2txt(text, sizeof text, object, 1);
    if (length > 0 && static_cast<std::size_t>(length) < sizeof text) oids.emplace_back(text);
  }
  return oids;
}

SignatureProblem failed(std::string detail) {
  return SignatureProblem{SIGNATURE_FAILED, std::move(detail)};
}
SignatureProblem untrusted(std::string detail) {
  return SignatureProblem{SIGNATURE_UNTRUSTED, std::move(detail)};
}

}  // namespace

X509Ptr parse_pem_certificate(std::string_view pem) {
  ErrorQueueGuard guard;
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  // OpenSSL fills a certificate's cached extension data the first time a verification needs
  // it; done here, while one thread holds the certificate, verifications that share it on
  // several threads afterwards only read it.
  if (certificate) (void)X509_check_purpose(certificate.get(), -1, 0);
  return certificate;
}

std::expected<SignatureFacts, SignatureProblem> verify_detached_signature(
    std::string_view signature_der, std::string_view content, const X509* anchor) {
  ErrorQueueGuard guard;
  if (!anchor) return std::unexpected(untrusted("no trust anchor is configured"));

  BioPtr signature_bio(
      BIO_new_mem_buf(signature_der.data(), static_cast<int>(signature_der.size())));
  if (!signature_bio) return std::unexpected(openssl_problem("cannot read the signature"));
  CmsPtr cms(d2i_CMS_bio(signature_bio.get(), nullptr));
  if (!cms) return std::unexpected(failed("the signature is not a CMS structure"));
  if (BIO_ctrl_pending(signature_bio.get()) != 0) {
    return std::unexpected(failed("bytes follow the CMS structure"));
  }
  if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
    return std::unexpected(failed("the CMS structure is not signed data"));
  }
  if (CMS_is_detached(cms.get()) != 1) {
    return std::unexpected(failed("the CMS structure embeds content"));
  }
  if (sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms.get())) != 1) {
    return std::unexpected(failed("the CMS structure has not exactly one signer"));
  }

  // First the signature itself, with the certificates it carries; trust is decided below, so that
  // a broken signature and an untrusted signer are told apart.
  BioPtr content_bio(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  if (!content_bio) return std::unexpected(openssl_problem("cannot read the manifest"));
  if (CMS_verify(cms.get(), nullptr, nullptr, content_bio.get(), nullptr,
                 CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
    return std::unexpected(failed("the signature does not match the manifest"));
  }

  X509StackViewPtr signers(CMS_get0_signers(cms.get()));
  if (!signers || sk_X509_num(signers.get()) != 1) {
    return std::unexpected(failed("the signer's certificate is missing"));
  }
  X509* leaf = sk_X509_value(signers.get(), 0);

  X509StackPtr carried(CMS_get1_certs(cms.get()));
  X509StorePtr store(X509_STORE_new());
  X509StoreCtxPtr context(X509_STORE_CTX_new());
  if (!store || !context || X509_STORE_add_cert(store.get(), const_cast<X509*>(anchor)) != 1 ||
      X509_STORE_CTX_init(context.get(), store.get(), leaf, carried.get()) != 1) {
    return std::unexpected(openssl_problem("cannot set up the certificate check"));
  }
  // No purpose: the S/MIME default would demand the emailProtection usage. Code signing is
  // checked below instead.
  if (X509_verify_cert(context.get()) != 1) {
    int error = X509_STORE_CTX_get_error(context.get());
    int depth = X509_STORE_CTX_get_error_depth(context.get());
    return std::unexpected(untrusted(std::string(X509_verify_cert_error_string(error)) +
                                     " (certificate " + std::to_string(depth) + " of the chain)"));
  }
  std::uint32_t flags = X509_get_extension_flags(leaf);
  if (!(flags & EXFLAG_XKUSAGE) || !(X509_get_extended_key_usage(leaf) & XKU_CODE_SIGN)) {
    return std::unexpected(untrusted("the signing certificate is not for code signing"));
  }
  if ((flags & EXFLAG_KUSAGE) && !(X509_get_key_usage(leaf) & KU_DIGITAL_SIGNATURE)) {
    return std::unexpected(untrusted("the signing certificate may not make signatures"));
  }

  SignatureFacts facts;
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
  int length = chain ? sk_X509_num(chain) : 0;
  facts.anchored = length > 0 && X509_cmp(sk_X509_value(chain, length - 1), anchor) == 0;
  facts.leaf_subject_ou = first_subject_ou(leaf);
  facts.leaf_extension_oids = extension_oids(leaf);
  return facts;
}

std::expected<VerifiedSignature, SignatureProblem> read_verified_signature(int root_fd,
                                                                           const X509* anchor) {
  FileRead manifest_file = posix::read_file_beneath(root_fd, MANIFEST_PATH, MAX_MANIFEST_SIZE);
  FileRead signature_file = posix::read_file_beneath(root_fd, SIGNATURE_PATH, MAX_SIGNATURE_SIZE);
  // A bundle with either component missing is not signed, whatever is wrong with the other.
  auto missing = [](const FileRead& read) {
    return !read && (read.error() == ENOENT || read.error() == ENOTDIR);
  };
  if (missing(manifest_file) || missing(signature_file)) {
    return std::unexpected(SignatureProblem{UNSIGNED, ""});
  }
  if (auto problem = component_problem(manifest_file, "the manifest", RESOURCES_INVALID)) {
    return std::unexpected(std::move(*problem));
  }
  if (auto problem = component_problem(signature_file, "the signature", SIGNATURE_FAILED)) {
    return std::unexpected(std::move(*problem));
  }

  auto facts = verify_detached_signature(*signature_file, *manifest_file, anchor);
  if (!facts) return std::unexpected(std::move(facts.error()));
  auto manifest = parse_manifest(*manifest_file);
  if (!manifest) return std::unexpected(std::move(manifest.error()));
  facts->identifier = manifest->identifier;
  return VerifiedSignature{std::move(*manifest), std::move(*facts)};
}

namespace {

// What an identity check asks of the tree: the two items that make a directory an application
// are where the manifest says, and of the right type; their contents are not read.
std::expected<void, SignatureProblem> check_layout(int root_fd, const Manifest& manifest) {
  for (std::string_view path : {INFO_PLIST_PATH, std::string_view(manifest.main_executable)}) {
    auto fd = open_beneath(root_fd, path, O_PATH);
    struct stat st;
    if (!fd || ::fstat(fd->get(), &st) != 0) {
      return std::unexpected(SignatureProblem{BAD_RESOURCE, "file missing: " + std::string(path)});
    }
    if (!S_ISREG(st.st_mode)) {
      return std::unexpected(SignatureProblem{BAD_RESOURCE, "file modified: " + std::string(path)});
    }
  }
  return {};
}

}  // namespace

std::expected<void, SignatureProblem> validate_bundle(int root_fd, const X509* anchor,
                                                      const RequirementNode& requirement,
                                                      CheckScope scope) {
  auto verified = read_verified_signature(root_fd, anchor);
  if (!verified) return std::unexpected(std::move(verified.error()));
  if (!requirement.evaluate(verified->facts)) {
    return std::unexpected(SignatureProblem{REQUIREMENT_FAILED, ""});
  }
  if (scope == CheckScope::Identity) return check_layout(root_fd, verified->manifest);
  auto tree = scan_bundle(root_fd);
  if (!tree) return std::unexpected(std::move(tree.error()));
  auto same = compare_structure(verified->manifest, *tree);
  if (!same) return same;
  return hash_files(root_fd, &verified->manifest, verified->manifest.entries, true, &*tree);
}

}  // namespace codesign
