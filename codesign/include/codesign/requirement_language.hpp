#pragma once
// The subset of the code-signing requirement language the helper uses:
//
//   identifier "com.example.app"            (also: identifier = "…", unquoted words)
//   anchor apple generic                    the chain ends at the build-time trust anchor
//   certificate leaf[subject.OU] = TEAMID   the leaf's first subject OU equals the value
//   certificate leaf[field.1.2.3] [exists]  the leaf carries the extension with that OID
//   and, or, !, ( ), /* comments */         precedence: ! over and over or
//
// `cert` stands for `certificate`. Constructs of the full language outside the subset (other
// anchors, other certificate positions or fields, info[], entitlement[], cdhash, comparisons
// other than = and exists, ...) fail with REQUIREMENT_UNSUPPORTED; text that is not a
// requirement at all fails with REQUIREMENT_INVALID. Details name line and column.

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codesign/signature_status.hpp"

namespace codesign {

// What a verified signature tells about the signed code.
struct SignatureFacts {
  std::string identifier;
  bool anchored = false;                         // the chain ends at the trust anchor
  std::optional<std::string> leaf_subject_ou;    // first OU of the leaf's subject
  std::vector<std::string> leaf_extension_oids;  // dotted OIDs of every leaf extension
};

struct RequirementNode {
  enum class Kind { Identifier, AnchorAppleGeneric, LeafSubjectOU, LeafFieldExists, And, Or, Not };
  Kind kind = Kind::AnchorAppleGeneric;
  std::string value;  // identifier, OU or OID
  std::vector<RequirementNode> operands;

  bool evaluate(const SignatureFacts& facts) const;
  friend bool operator==(const RequirementNode&, const RequirementNode&) = default;
};

std::expected<RequirementNode, SignatureProblem> compile_requirement(std::string_view text);

}  // namespace codesign
