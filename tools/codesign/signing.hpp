#pragma once
// Making signatures of bundle directories, the counterpart of codesign/bundle_signature.hpp:
// the signing tool, and the tests and benchmarks that sign what they check. The helper verifies
// only and does not link this.

#include <string>
#include <string_view>

#include "codesign/openssl_ptr.hpp"
#include "common/error.hpp"

namespace codesign {

// A signing key with its leaf certificate and the intermediates to embed.
struct SigningIdentity {
  EvpPkeyPtr key;
  X509Ptr leaf;
  X509StackPtr chain;
};

// Loads PEM files; `chain_path` may be empty. Errors name the file that failed.
common::Result<SigningIdentity> load_signing_identity(const std::string& key_path,
                                                      const std::string& cert_path,
                                                      const std::string& chain_path);

// The DER detached signature of `content`.
common::Result<std::string> sign_detached(std::string_view content,
                                          const SigningIdentity& identity);

// Seals the bundle at `bundle_path`: reads CFBundleIdentifier and CFBundleExecutable from
// Contents/Info.plist, hashes the tree and writes Contents/_CodeSignature/{CodeManifest,
// CodeSignature}, replacing an earlier signature. Refuses devices, FIFOs and sockets.
common::Status sign_bundle(const std::string& bundle_path, const SigningIdentity& identity);

// Writes an already made manifest and its signature into the bundle (tests craft manifests).
common::Status write_signature(const std::string& bundle_path, std::string_view manifest,
                               std::string_view signature_der);

}  // namespace codesign
