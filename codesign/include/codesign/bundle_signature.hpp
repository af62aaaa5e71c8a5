#pragma once
// Signatures of bundle directories: a detached CMS SignedData (DER, SHA-256) over the manifest,
// carrying the signing leaf and its intermediates, in Contents/_CodeSignature.
//
// A signature is valid when the CMS verifies over the manifest bytes, the signer's chain ends at
// the trust anchor (dates checked against now), and the leaf is a code-signing certificate
// (extended key usage codeSigning). A bundle is valid when, in addition, its tree matches the
// manifest exactly. Only verification is here: signatures are made by the signing tool's own
// library (tools/codesign), which the helper never links.

#include <expected>
#include <string>
#include <string_view>

#include "codesign/bundle_manifest.hpp"
#include "codesign/openssl_ptr.hpp"
#include "codesign/requirement_language.hpp"

namespace codesign {

// The first certificate of a PEM text, or nullptr; ready to be shared by verifications on
// several threads at once.
X509Ptr parse_pem_certificate(std::string_view pem);

struct VerifiedSignature {
  Manifest manifest;
  SignatureFacts facts;
};

// Reads Contents/_CodeSignature of the bundle open at `root_fd` (never following a symlink),
// verifies the CMS against `anchor` and parses the manifest. Problems: UNSIGNED when either
// component is missing, SIGNATURE_FAILED for a signature that does not verify, SIGNATURE_UNTRUSTED
// for a signer that does not chain to the anchor or may not sign code, RESOURCES_INVALID or
// SIGNATURE_UNSUPPORTED for the manifest.
std::expected<VerifiedSignature, SignatureProblem> read_verified_signature(int root_fd,
                                                                           const X509* anchor);

// The verification of a detached signature over `content` alone (no bundle): for tests and tools.
std::expected<SignatureFacts, SignatureProblem> verify_detached_signature(
    std::string_view signature_der, std::string_view content, const X509* anchor);

// Everything a static check does, in this order: the signature, the requirement (before reading
// any file, so a bundle from another signer costs nothing to refuse), then for a Full check the
// tree's structure and the contents of every file, hashed on every core, for an Identity check
// only that Info.plist and the main executable are regular files where the manifest says.
// Problem REQUIREMENT_FAILED when the requirement does not hold.
std::expected<void, SignatureProblem> validate_bundle(int root_fd, const X509* anchor,
                                                      const RequirementNode& requirement,
                                                      CheckScope scope);

}  // namespace codesign
