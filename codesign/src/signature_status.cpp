#include "codesign/signature_status.hpp"

namespace codesign {

std::string_view status_description(OSStatus status) {
  switch (status) {
    case INVALID_OBJECT_REF:
      return "invalid API object reference";
    case STATIC_CODE_NOT_FOUND:
      return "cannot find code object on disk";
    case NO_SUCH_CODE:
      return "host has no guest with the requested attributes";
    case GUEST_INVALID:
      return "the identity of the running code has been invalidated";
    case UNSIGNED:
      return "code object is not signed at all";
    case SIGNATURE_FAILED:
      return "invalid signature (code or signature have been modified)";
    case SIGNATURE_NOT_VERIFIABLE:
      return "the code signature cannot be read";
    case SIGNATURE_UNSUPPORTED:
      return "unsupported type or version of signature";
    case RESOURCES_INVALID:
      return "the sealed resource directory is invalid";
    case BAD_RESOURCE:
      return "a sealed resource is missing or invalid";
    case REQUIREMENT_INVALID:
      return "invalid or corrupted code requirement(s)";
    case REQUIREMENT_UNSUPPORTED:
      return "unsupported type or version of code requirement(s)";
    case REQUIREMENT_FAILED:
      return "code failed to satisfy specified code requirement(s)";
    case STATIC_CODE_CHANGED:
      return "the code on disk does not match what is running";
    case INFO_PLIST_FAILED:
      return "invalid Info.plist (plist or signature have been modified)";
    case BAD_BUNDLE_FORMAT:
      return "bundle format unrecognized, invalid, or unsuitable";
    case SIGNATURE_UNTRUSTED:
      return "the signature is valid but the signer is not trusted";
    default:
      return "internal error in code signing subsystem";
  }
}

std::string SignatureProblem::text() const {
  std::string text(status_description(status));
  if (!detail.empty()) {
    text += ": ";
    text += detail;
  }
  return text;
}

}  // namespace codesign
