// The Linux code-signing adapter between the helper and the engine: bundles found from running
// executables, the engine's answers as the helper logs them, objects it did not make refused,
// and the signing tool, which verifies through the same adapter.

#include "platform/linux/code_signing_linux.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>

#include "codesign_support.hpp"
#include "main/app_package_validation.hpp"
#include "platform/fake/fake_code_signing.hpp"
#include "util/security/requirement.hpp"

namespace {

using namespace codesign_test;
using platform::linux_impl::bundle_of_executable;
using platform::linux_impl::is_code_injecting_variable;
using platform::linux_impl::LinuxCodeSigning;

constexpr std::string_view PREFIX = "SecStaticCodeCheckValidityWithErrors failed with code: ";

TEST(LinuxCodeSigningTest, BundlesAreFoundFromTheirExecutables) {
  EXPECT_EQ(bundle_of_executable("/Applications/Kolvaris.app/Contents/MacOS/Kolvaris"),
            "/Applications/Kolvaris.app");
  EXPECT_EQ(bundle_of_executable("/opt/X/Contents/MacOS/x"), "/opt/X");
  EXPECT_EQ(bundle_of_executable("/usr/bin/sleep"), "");
  EXPECT_EQ(bundle_of_executable("/Contents/MacOS/x"), "");
  EXPECT_EQ(bundle_of_executable("relative/Contents/MacOS/x"), "");
  EXPECT_EQ(bundle_of_executable("/a/Contents/MacOS/"), "");
  EXPECT_TRUE(is_code_injecting_variable("LD_PRELOAD="));
  EXPECT_TRUE(is_code_injecting_variable("LD_AUDIT=x.so"));
  EXPECT_TRUE(is_code_injecting_variable("LD_LIBRARY_PATH=/tmp"));
  EXPECT_FALSE(is_code_injecting_variable("LD_BIND_NOW=1"));
  EXPECT_FALSE(is_code_injecting_variable("XLD_PRELOAD=x"));
}

TEST(LinuxCodeSigningTest, CompileErrorsReachTheLogThroughSecRequirementCreate) {
  LinuxCodeSigning code_signing("");
  platform::Platform platform;
  platform.code_signing = &code_signing;
  auto compiled = util::security::create_sec_requirement(platform, "identifier \"x\" or");
  ASSERT_FALSE(compiled);
  EXPECT_EQ(compiled.error().text(),
            "SecRequirementCreate failed with code: -67052 and error: invalid or corrupted code "
            "requirement(s): 1:18: expected a requirement but found end of requirement");
  auto unsupported = util::security::create_sec_requirement(platform, "anchor apple");
  ASSERT_FALSE(unsupported);
  EXPECT_EQ(unsupported.error().text(),
            "SecRequirementCreate failed with code: -67051 and error: unsupported type or version "
            "of code requirement(s): 1:1: only \"anchor apple generic\" is supported");
  EXPECT_TRUE(util::security::create_sec_requirement_from_requirement_string(platform));
}

// A bundle checked through the adapter and the portable validation, as the helper checks one.
class LinuxStaticValidationTest : public OtherSignersTest {
 protected:
  void SetUp() override {
    code_signing_ = std::make_unique<LinuxCodeSigning>(read_file(test_pki() + "/root.pem"));
    platform_.code_signing = code_signing_.get();
    bundle_ = make_bundle(scratch_.path());
  }

  // The error text of validating `path`, or "valid".
  std::string validate(const fs::path& path) {
    auto result = main_service::validate_app_package_signature(platform_, path.string());
    return result ? std::string("valid") : result.error().text();
  }
  std::string validate() { return validate(bundle_); }

  void signed_bundle() { ASSERT_TRUE(sign(bundle_, test_pki()).has_value()); }

  static std::string failure(std::string_view code, std::string_view description) {
    return std::string(PREFIX) + std::string(code) + " and error: " + std::string(description);
  }

  ScratchDir scratch_;
  std::unique_ptr<LinuxCodeSigning> code_signing_;
  platform::Platform platform_;
  fs::path bundle_;
};

// The engine's problem becomes the error object's code and description, which the helper logs
// after the call's name; what the engine finds is tested with the engine.
TEST_F(LinuxStaticValidationTest, ProblemsReachTheLogWithTheirStatusAndDescription) {
  EXPECT_EQ(validate(), failure("-67062", "code object is not signed at all"));
  signed_bundle();
  EXPECT_EQ(validate(), "valid");
  write_file(bundle_ / "Contents/Resources/nested/deep.txt", "DEEP\n");
  EXPECT_EQ(validate(), failure("-67054",
                                "a sealed resource is missing or invalid: file modified: "
                                "Contents/Resources/nested/deep.txt"));
  // An installed bundle is identified without reading its contents: still the application.
  auto identity = main_service::validate_app_package_signature(
      platform_, platform::FileUrl{bundle_.string()}, platform::ValidationScope::Identity);
  EXPECT_TRUE(identity.has_value()) << identity.error().text();
}

TEST_F(LinuxStaticValidationTest, PathsThatAreNotBundlesFailWhenTheCodeObjectIsMade) {
  EXPECT_EQ(validate(scratch_.path() / "missing.app"),
            "SecStaticCodeCreateWithPath failed with code: -67068");
  write_file(scratch_.path() / "plain-file", "x");
  EXPECT_EQ(validate(scratch_.path() / "plain-file"),
            "SecStaticCodeCreateWithPath failed with code: -67028");
  signed_bundle();
  fs::create_directory_symlink(bundle_, scratch_.path() / "Link.app");
  EXPECT_EQ(validate(scratch_.path() / "Link.app"),
            "SecStaticCodeCreateWithPath failed with code: -67028");
  EXPECT_EQ(validate(fs::path("")), "Failed to create CFURL from path");
  EXPECT_EQ(validate(fs::path("/tmp/\xff.app")),
            "Failed to create \"CFString\" from the given app_path");
}

// Objects of another implementation (here the fake's) are never taken for the adapter's own,
// whatever they hold: each call that takes one back refuses it as an invalid object reference.
TEST_F(LinuxStaticValidationTest, ObjectsTheAdapterDidNotMakeAreInvalidObjectReferences) {
  constexpr platform::OSStatus INVALID_OBJECT_REF = -67071;
  platform::fake::FakeCodeSigning other;
  auto url = code_signing_->create_code_url(bundle_.string());
  ASSERT_TRUE(url);
  auto code = code_signing_->create_static_code(*url);
  ASSERT_TRUE(code.has_value());
  auto requirement = code_signing_->create_requirement("anchor apple generic");
  ASSERT_TRUE(requirement.has_value());

  auto other_url = other.create_code_url(bundle_.string());
  auto other_peer = other.copy_peer_process(3);
  auto other_code = other.create_static_code(*other_url);
  auto other_guest = other.copy_guest_code(**other_peer);
  auto other_requirement = other.create_requirement("anchor apple generic");
  ASSERT_TRUE(other_url && other_peer && other_code && other_guest && other_requirement);

  auto static_code = code_signing_->create_static_code(*other_url);
  ASSERT_FALSE(static_code.has_value());
  EXPECT_EQ(static_code.error(), INVALID_OBJECT_REF);
  auto guest = code_signing_->copy_guest_code(**other_peer);
  ASSERT_FALSE(guest.has_value());
  EXPECT_EQ(guest.error(), INVALID_OBJECT_REF);

  const platform::CFError refused{INVALID_OBJECT_REF, "invalid API object reference"};
  const auto full = platform::ValidationScope::Full;
  auto foreign_code = code_signing_->check_static_validity(**other_code, **requirement, full);
  ASSERT_FALSE(foreign_code.has_value());
  EXPECT_EQ(foreign_code.error().status, INVALID_OBJECT_REF);
  EXPECT_EQ(foreign_code.error().error, refused);
  auto foreign_requirement =
      code_signing_->check_static_validity(**code, **other_requirement, full);
  ASSERT_FALSE(foreign_requirement.has_value());
  EXPECT_EQ(foreign_requirement.error().error, refused);
  auto foreign_guest = code_signing_->check_guest_validity(**other_guest, **requirement);
  ASSERT_FALSE(foreign_guest.has_value());
  EXPECT_EQ(foreign_guest.error().error, refused);
}

// The signing tool: same texts, exit status 0 for a valid bundle and 1 otherwise.
class CodesignToolTest : public LinuxStaticValidationTest {
 protected:
  struct Run {
    int status;
    std::string output;
  };
  Run run(const std::string& arguments) {
    std::string command = std::string(KOLVARIS_CODESIGN_TOOL) + " " + arguments + " 2>&1";
    Run result{-1, {}};
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }
  std::string quoted(const fs::path& path) { return test_support::shell_quoted(path.string()); }
};

TEST_F(CodesignToolTest, SignsAndVerifiesWithTheHelpersTexts) {
  const std::string pki = test_pki();
  const std::string anchor = " --anchor '" + pki + "/root.pem' ";

  Run unsigned_run = run("verify" + anchor + quoted(bundle_));
  EXPECT_EQ(unsigned_run.status, 1);
  EXPECT_EQ(unsigned_run.output, failure("-67062", "code object is not signed at all") + "\n");

  Run signing = run("sign --key '" + pki + "/leaf.key' --cert '" + pki + "/leaf.pem' --chain '" +
                    pki + "/chain.pem' " + quoted(bundle_));
  EXPECT_EQ(signing.status, 0) << signing.output;

  Run valid = run("verify" + anchor + quoted(bundle_));
  EXPECT_EQ(valid.status, 0);
  EXPECT_EQ(valid.output, bundle_.string() + ": valid\n");

  Run other_requirement =
      run("verify" + anchor + "--requirement 'identifier \"com.example.x\"' " + quoted(bundle_));
  EXPECT_EQ(other_requirement.status, 1);
  EXPECT_EQ(other_requirement.output,
            failure("-67050", "code failed to satisfy specified code requirement(s)") + "\n");

  Run bad_requirement = run("verify" + anchor + "--requirement 'identifier' " + quoted(bundle_));
  EXPECT_EQ(bad_requirement.status, 1);
  EXPECT_EQ(bad_requirement.output,
            "SecRequirementCreate failed with code: -67052 and error: invalid or corrupted code "
            "requirement(s): 1:11: expected a string after \"identifier\" but found end of "
            "requirement\n");

  Run untrusted = run("verify --anchor '" + other_root() + "/root.pem' " + quoted(bundle_));
  EXPECT_EQ(untrusted.status, 1);

  EXPECT_EQ(run("verify").status, 2);
  EXPECT_EQ(run("sign --key x " + quoted(bundle_)).status, 2);
}

}  // namespace
