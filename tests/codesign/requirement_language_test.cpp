// The requirement language subset: every construct compiles to what it means, and text outside
// the subset or outside the language fails with its code and a located description.

#include "codesign/requirement_language.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/constants.hpp"

namespace {

using codesign::compile_requirement;
using codesign::RequirementNode;
using codesign::SignatureFacts;

SignatureFacts client_facts() {
  SignatureFacts facts;
  facts.identifier = std::string(common::CLIENT_BUNDLE_IDENTIFIER);
  facts.anchored = true;
  facts.leaf_subject_ou = std::string(common::SIGNING_TEAM_IDENTIFIER);
  facts.leaf_extension_oids = {"2.5.29.19", "1.2.840.113635.100.6.1.13", "2.5.29.37"};
  return facts;
}

bool holds(std::string_view text, const SignatureFacts& facts) {
  auto compiled = compile_requirement(text);
  EXPECT_TRUE(compiled.has_value()) << text << ": " << (compiled ? "" : compiled.error().detail);
  return compiled && compiled->evaluate(facts);
}

// "<status> <detail>" of a text that must not compile.
std::string error_of(std::string_view text) {
  auto compiled = compile_requirement(text);
  if (compiled) return "compiled";
  return std::to_string(compiled.error().status) + " " + compiled.error().detail;
}

TEST(RequirementLanguageTest, TheClientRequirementHoldsOnlyWhenEveryClauseDoes) {
  const auto facts = client_facts();
  EXPECT_TRUE(holds(common::CLIENT_CODE_REQUIREMENT, facts));

  auto other_identifier = facts;
  other_identifier.identifier = "com.kolvaris.desktopx";
  EXPECT_FALSE(holds(common::CLIENT_CODE_REQUIREMENT, other_identifier));
  auto unanchored = facts;
  unanchored.anchored = false;
  EXPECT_FALSE(holds(common::CLIENT_CODE_REQUIREMENT, unanchored));
  auto other_team = facts;
  other_team.leaf_subject_ou = "KOLVARIS02";
  EXPECT_FALSE(holds(common::CLIENT_CODE_REQUIREMENT, other_team));
  auto no_ou = facts;
  no_ou.leaf_subject_ou.reset();
  EXPECT_FALSE(holds(common::CLIENT_CODE_REQUIREMENT, no_ou));
  auto no_extension = facts;
  no_extension.leaf_extension_oids = {"2.5.29.19", "1.2.840.113635.100.6.1.130"};
  EXPECT_FALSE(holds(common::CLIENT_CODE_REQUIREMENT, no_extension));
}

TEST(RequirementLanguageTest, EachConstructOfTheSubset) {
  const auto facts = client_facts();
  EXPECT_TRUE(holds("identifier \"com.kolvaris.desktop\"", facts));
  EXPECT_TRUE(holds("identifier com.kolvaris.desktop", facts));
  EXPECT_TRUE(holds("identifier = \"com.kolvaris.desktop\"", facts));
  EXPECT_FALSE(holds("identifier \"com.kolvaris\"", facts));
  EXPECT_TRUE(holds("identifier \"com.\\\"kolvaris\\\\\"", [] {
    SignatureFacts f;
    f.identifier = "com.\"kolvaris\\";
    return f;
  }()));
  EXPECT_TRUE(holds("anchor apple generic", facts));
  EXPECT_TRUE(holds("certificate leaf[subject.OU] = KOLVARIS01", facts));
  EXPECT_TRUE(holds("cert leaf[subject.OU] = \"KOLVARIS01\"", facts));
  EXPECT_FALSE(holds("certificate leaf[subject.OU] = KOLVARIS0", facts));
  EXPECT_TRUE(holds("certificate leaf[field.1.2.840.113635.100.6.1.13]", facts));
  EXPECT_TRUE(holds("certificate leaf[field.1.2.840.113635.100.6.1.13] exists", facts));
  EXPECT_FALSE(holds("certificate leaf[field.1.2.840.113635.100.6.1.14] exists", facts));
  EXPECT_FALSE(holds("!anchor apple generic", facts));
  EXPECT_TRUE(holds("!!anchor apple generic", facts));
  EXPECT_TRUE(holds("identifier x or anchor apple generic", facts));
  EXPECT_FALSE(holds("identifier x and anchor apple generic", facts));
  EXPECT_TRUE(holds("/* a */ ( /* b */ anchor /* c */ apple generic ) /* d */", facts));
  EXPECT_TRUE(holds("anchor apple generic\n and\n\tidentifier com.kolvaris.desktop", facts));
}

TEST(RequirementLanguageTest, PrecedenceIsNotOverAndOverOr) {
  // a or b and c  ==  a or (b and c)
  auto parsed = compile_requirement("identifier a or identifier b and identifier c");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->kind, RequirementNode::Kind::Or);
  EXPECT_EQ(parsed->operands[1].kind, RequirementNode::Kind::And);
  SignatureFacts a;
  a.identifier = "a";
  EXPECT_TRUE(parsed->evaluate(a));
  SignatureFacts b;
  b.identifier = "b";
  EXPECT_FALSE(parsed->evaluate(b));

  // !a and b  ==  (!a) and b
  auto negated = compile_requirement("!identifier a and identifier b");
  ASSERT_TRUE(negated.has_value());
  EXPECT_EQ(negated->kind, RequirementNode::Kind::And);
  EXPECT_TRUE(negated->evaluate(b));
  EXPECT_FALSE(negated->evaluate(a));

  EXPECT_TRUE(holds("(identifier a or identifier b) and !identifier c", b));
  EXPECT_FALSE(holds("(identifier a or identifier b) and identifier c", b));
}

TEST(RequirementLanguageTest, MalformedTextsAreInvalidWithTheirPlace) {
  EXPECT_EQ(error_of(""), "-67052 1:1: expected a requirement but found end of requirement");
  EXPECT_EQ(error_of("   /* only a comment */ "),
            "-67052 1:25: expected a requirement but found end of requirement");
  EXPECT_EQ(error_of("identifier"),
            "-67052 1:11: expected a string after \"identifier\" but found end of requirement");
  EXPECT_EQ(error_of("identifier \"abc"), "-67052 1:12: unterminated string");
  EXPECT_EQ(error_of("anchor apple generic /* open"), "-67052 1:22: unterminated comment");
  EXPECT_EQ(error_of("(anchor apple generic"),
            "-67052 1:22: expected \")\" but found end of requirement");
  EXPECT_EQ(error_of("identifier a b"), "-67052 1:14: unexpected \"b\" after the requirement");
  EXPECT_EQ(error_of("identifier a and"),
            "-67052 1:17: expected a requirement but found end of requirement");
  EXPECT_EQ(error_of("identifier a && identifier b"), "-67052 1:14: unexpected character \"&\"");
  EXPECT_EQ(error_of("anchor apple generic and\n  ) "),
            "-67052 2:3: expected a requirement but found \")\"");
  EXPECT_EQ(error_of("certificate leaf[field.1.2.x]"),
            "-67052 1:18: \"1.2.x\" is not an object identifier");
  EXPECT_EQ(error_of("certificate leaf[field.1]"),
            "-67052 1:18: \"1\" is not an object identifier");
  EXPECT_EQ(error_of("certificate leaf[subject.OU]"),
            "-67052 1:29: expected \"=\" after certificate leaf[subject.OU]");
  EXPECT_EQ(error_of("certificate leaf[subject.OU = X"),
            "-67052 1:29: expected \"]\" but found \"=\"");
  EXPECT_EQ(error_of("frobnicate"), "-67052 1:1: expected a requirement but found \"frobnicate\"");
}

TEST(RequirementLanguageTest, ConstructsOutsideTheSubsetAreUnsupported) {
  EXPECT_EQ(error_of("anchor apple"), "-67051 1:1: only \"anchor apple generic\" is supported");
  EXPECT_EQ(error_of("anchor trusted"), "-67051 1:1: only \"anchor apple generic\" is supported");
  EXPECT_EQ(error_of("certificate root[subject.OU] = X"),
            "-67051 1:13: certificate position \"root\" is not supported");
  EXPECT_EQ(error_of("certificate 1[field.1.2.3] exists"),
            "-67051 1:13: certificate position \"1\" is not supported");
  EXPECT_EQ(error_of("certificate leaf = H\"abc\""),
            "-67051 1:18: only certificate fields of the leaf are supported");
  EXPECT_EQ(error_of("certificate leaf[subject.CN] = X"),
            "-67051 1:18: certificate field \"subject.CN\" is not supported");
  EXPECT_EQ(error_of("certificate leaf[subject.OU] < X"),
            "-67051 1:30: only \"=\" is supported for subject.OU");
  EXPECT_EQ(error_of("certificate leaf[field.1.2.3] = X"),
            "-67051 1:31: only \"exists\" is supported for certificate fields");
  EXPECT_EQ(error_of("info[CFBundleVersion] = 1"), "-67051 1:1: \"info\" is not supported");
  EXPECT_EQ(error_of("identifier a and entitlement[\"x\"] exists"),
            "-67051 1:18: \"entitlement\" is not supported");
  EXPECT_EQ(error_of("cdhash H\"00\""), "-67051 1:1: \"cdhash\" is not supported");
}

// Nesting and chains deepen the compiler's recursion and the compiled tree: a text built to
// exhaust the stack is refused at its 257th operator, while 256 still compile and evaluate.
TEST(RequirementLanguageTest, OperatorCountIsBoundedSoNoTextCanExhaustTheStack) {
  auto repeat = [](std::string_view s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
  };
  EXPECT_EQ(error_of(repeat("(", 100000)), "-67051 1:257: more than 256 operators");
  EXPECT_EQ(error_of(repeat("!", 100000) + "anchor apple generic"),
            "-67051 1:257: more than 256 operators");
  EXPECT_EQ(error_of("anchor apple generic" + repeat(" and anchor apple generic", 300)),
            "-67051 1:6422: more than 256 operators");
  auto facts = client_facts();
  EXPECT_TRUE(holds(repeat("(", 128) + "anchor apple generic" + repeat(")", 128), facts));
  EXPECT_FALSE(holds(repeat("!", 255) + "anchor apple generic", facts));
  EXPECT_TRUE(holds("anchor apple generic" + repeat(" or identifier x", 256), facts));
}

}  // namespace
