// Client verification and bundle validation against the fake platform: the order of calls, the
// objects released (and when), and every error text.

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/constants.hpp"
#include "main/app_package_validation.hpp"
#include "main/client_verification.hpp"
#include "platform/fake/fake_code_signing.hpp"

namespace {

using platform::SecFailure;
using platform::fake::FakeCodeSigning;
using Journal = std::vector<std::string>;

const std::string REQUIREMENT(common::CLIENT_CODE_REQUIREMENT);

class CodeSigningOrderTest : public ::testing::Test {
 protected:
  CodeSigningOrderTest() { platform_.code_signing = &fake_; }

  std::string verify_client(int fd = 7) {
    auto result = main_service::validate_client_code_signing(platform_, fd);
    return result ? std::string("ok") : result.error().text();
  }
  std::string validate_bundle(std::string_view path = "/Applications/Kolvaris.app") {
    auto result = main_service::validate_app_package_signature(platform_, path);
    return result ? std::string("ok") : result.error().text();
  }

  FakeCodeSigning fake_;
  platform::Platform platform_;
};

TEST_F(CodeSigningOrderTest, ClientVerificationCallsInOrderAndReleasesInReverse) {
  EXPECT_EQ(verify_client(7), "ok");
  EXPECT_EQ(fake_.journal, (Journal{
                               "copy_peer_process 7",
                               "peer_credentials 7",
                               "copy_guest_code 4242",
                               "create_requirement " + REQUIREMENT,
                               "check_guest_validity pid 4242 against " + REQUIREMENT,
                               "copy_guest_signing_facts pid 4242",
                               "release Requirement",
                               "release GuestCode",
                               "release PeerProcess",
                           }));
}

TEST_F(CodeSigningOrderTest, CodeThatSatisfiesTheRequirementButCanBeInjectedIsRefused) {
  // Each of these satisfies identifier, team and certificate, and still lets someone else's code
  // run as the application.
  struct Case {
    std::function<void(platform::GuestSigningFacts&)> edit;
    std::string error;
  };
  const std::vector<Case> cases = {
      {[](auto& f) { f.hardened_runtime = false; },
       "The client is not signed for the hardened runtime"},
      {[](auto& f) { f.valid = false; }, "The client's running code is no longer valid"},
      {[](auto& f) { f.debugged = true; }, "The client is being debugged"},
      {[](auto& f) {
         f.entitlements = {"com.apple.security.app-sandbox", "com.apple.security.get-task-allow"};
       },
       "The client has the entitlement com.apple.security.get-task-allow"},
      {[](auto& f) { f.entitlements = {"com.apple.security.cs.disable-library-validation"}; },
       "The client has the entitlement com.apple.security.cs.disable-library-validation"},
      {[](auto& f) { f.entitlements = {"com.apple.security.cs.allow-dyld-environment-variables"}; },
       "The client has the entitlement com.apple.security.cs.allow-dyld-environment-variables"},
  };
  for (const auto& c : cases) {
    platform::GuestSigningFacts facts{true, true, false, {}, "2.0"};
    c.edit(facts);
    auto result = main_service::check_client_signing_facts(facts, "");
    ASSERT_FALSE(result) << c.error;
    EXPECT_EQ(result.error().text(), c.error);
  }
  // Harmless entitlements pass.
  platform::GuestSigningFacts sandboxed{true, true, false, {"com.apple.security.app-sandbox"}, {}};
  EXPECT_TRUE(main_service::check_client_signing_facts(sandboxed, ""));

  // Through the whole verification, with the refusal after the requirement was checked and
  // every object released.
  fake_.signing_facts.entitlements = {"com.apple.security.get-task-allow"};
  EXPECT_EQ(verify_client(), "The client has the entitlement com.apple.security.get-task-allow");
  EXPECT_EQ(fake_.journal.back(), "release PeerProcess");
  fake_.journal.clear();
  fake_.signing_facts_status = -67030;
  EXPECT_EQ(verify_client(), "SecCodeCopySigningInformation failed with code: -67030");
}

TEST_F(CodeSigningOrderTest, AMinimumVersionShutsOutOlderBuilds) {
  auto with_version = [](std::optional<std::string> version) {
    return platform::GuestSigningFacts{true, true, false, {}, std::move(version)};
  };
  auto error_for = [](const platform::GuestSigningFacts& facts, std::string_view minimum) {
    auto result = main_service::check_client_signing_facts(facts, minimum);
    return result ? std::string("ok") : result.error().text();
  };
  EXPECT_EQ(error_for(with_version("2.3.1"), "2.3"), "ok");
  EXPECT_EQ(error_for(with_version("2.3"), "2.3.0"), "ok");
  EXPECT_EQ(error_for(with_version("2.10"), "2.9"), "ok");
  EXPECT_EQ(error_for(with_version("2.2.9"), "2.3"),
            "The client's version 2.2.9 is older than 2.3");
  EXPECT_EQ(error_for(with_version(std::nullopt), "1"), "The client has no CFBundleVersion");
  EXPECT_EQ(error_for(with_version("2.3-beta"), "1"),
            "The client's version \"2.3-beta\" is not a dotted version number");
  // Without a minimum, any version (or none) is served.
  EXPECT_EQ(error_for(with_version(std::nullopt), ""), "ok");
  EXPECT_EQ(error_for(with_version("0.1"), ""), "ok");
}

TEST_F(CodeSigningOrderTest, PeerLookupFailuresAreOsErrors) {
  fake_.peer_process_errno = ENOTCONN;
  auto result = main_service::validate_client_code_signing(platform_, 7);
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().is_os());
  EXPECT_EQ(result.error().text(), "Transport endpoint is not connected (os error 107)");
  EXPECT_EQ(fake_.journal, Journal{"copy_peer_process 7"});

  fake_.journal.clear();
  fake_.peer_process_errno.reset();
  fake_.peer_credentials_errno = EBADF;
  EXPECT_EQ(verify_client(7), "Bad file descriptor (os error 9)");
  EXPECT_EQ(fake_.journal,
            (Journal{"copy_peer_process 7", "peer_credentials 7", "release PeerProcess"}));
}

TEST_F(CodeSigningOrderTest, NoGuestCodeGivesTheBareStatus) {
  fake_.guest_status = -67065;
  EXPECT_EQ(verify_client(), "SecCodeCopyGuestWithAttributes failed with code: -67065");
  EXPECT_EQ(fake_.journal, (Journal{"copy_peer_process 7", "peer_credentials 7",
                                    "copy_guest_code 4242", "release PeerProcess"}));
  fake_.guest_status = 2147483647;
  EXPECT_EQ(verify_client(), "SecCodeCopyGuestWithAttributes failed with code: 2147483647");
}

TEST_F(CodeSigningOrderTest, RequirementFailuresUseTheErrorObjectOrUnknown) {
  fake_.requirement_failure = SecFailure{-67052, {{-67052, "bad text"}}};
  EXPECT_EQ(verify_client(), "SecRequirementCreate failed with code: -67052 and error: bad text");
  EXPECT_EQ(fake_.journal, (Journal{"copy_peer_process 7", "peer_credentials 7",
                                    "copy_guest_code 4242", "create_requirement " + REQUIREMENT,
                                    "release GuestCode", "release PeerProcess"}));

  fake_.requirement_failure = SecFailure{-67052, std::nullopt};
  EXPECT_EQ(verify_client(), "SecRequirementCreate failed with error: unknown");
  fake_.requirement_failure = SecFailure{-67052, {{-1, std::nullopt}}};
  EXPECT_EQ(verify_client(), "SecRequirementCreate failed with code: -1 and error: unknown");
}

TEST_F(CodeSigningOrderTest, CheckFailuresTakeTheErrorObjectNotTheStatus) {
  fake_.guest_validity_failure =
      SecFailure{-1, {{-67050, "code failed to satisfy specified code requirement(s)"}}};
  EXPECT_EQ(verify_client(),
            "SecCodeCheckValidity failed with code: -67050 and error: code failed to satisfy "
            "specified code requirement(s)");
  EXPECT_EQ(fake_.journal, (Journal{
                               "copy_peer_process 7",
                               "peer_credentials 7",
                               "copy_guest_code 4242",
                               "create_requirement " + REQUIREMENT,
                               "check_guest_validity pid 4242 against " + REQUIREMENT,
                               "release Requirement",
                               "release GuestCode",
                               "release PeerProcess",
                           }));
  fake_.guest_validity_failure = SecFailure{-67062, std::nullopt};
  EXPECT_EQ(verify_client(), "SecCodeCheckValidity failed with error: unknown");
}

TEST_F(CodeSigningOrderTest, EveryVerificationCompilesTheRequirementAnew) {
  EXPECT_EQ(verify_client(), "ok");
  EXPECT_EQ(verify_client(), "ok");
  EXPECT_EQ(validate_bundle(), "ok");
  EXPECT_EQ(
      std::count(fake_.journal.begin(), fake_.journal.end(), "create_requirement " + REQUIREMENT),
      3);
}

TEST_F(CodeSigningOrderTest, BundleValidationCallsInOrderAndReleasesInReverse) {
  EXPECT_EQ(validate_bundle("/Applications/Kolvaris.app"), "ok");
  EXPECT_EQ(fake_.journal,
            (Journal{
                "create_code_url /Applications/Kolvaris.app",
                "create_static_code /Applications/Kolvaris.app",
                "create_requirement " + REQUIREMENT,
                "check_static_validity /Applications/Kolvaris.app against " + REQUIREMENT,
                "release Requirement",
                "release StaticCode",
                "release CodeURL",
            }));
}

TEST_F(CodeSigningOrderTest, BundleValidationErrorTexts) {
  EXPECT_EQ(validate_bundle("/Applications/\xc3(.app"),
            "Failed to create \"CFString\" from the given app_path");
  EXPECT_TRUE(fake_.journal.empty());

  fake_.code_url_is_null = true;
  EXPECT_EQ(validate_bundle("/x.app"), "Failed to create CFURL from path");
  EXPECT_EQ(fake_.journal, Journal{"create_code_url /x.app"});
  fake_.code_url_is_null = false;

  fake_.journal.clear();
  fake_.static_code_status = -67068;
  EXPECT_EQ(validate_bundle("/x.app"), "SecStaticCodeCreateWithPath failed with code: -67068");
  EXPECT_EQ(fake_.journal,
            (Journal{"create_code_url /x.app", "create_static_code /x.app", "release CodeURL"}));
  fake_.static_code_status.reset();

  fake_.journal.clear();
  fake_.requirement_failure = SecFailure{-67052, {{-67052, "why"}}};
  EXPECT_EQ(validate_bundle("/x.app"),
            "SecRequirementCreate failed with code: -67052 and error: why");
  EXPECT_EQ(fake_.journal, (Journal{"create_code_url /x.app", "create_static_code /x.app",
                                    "create_requirement " + REQUIREMENT, "release StaticCode",
                                    "release CodeURL"}));
  fake_.requirement_failure.reset();

  fake_.journal.clear();
  fake_.static_validity_failure =
      SecFailure{-67062, {{-67062, "code object is not signed at all"}}};
  EXPECT_EQ(validate_bundle("/x.app"),
            "SecStaticCodeCheckValidityWithErrors failed with code: -67062 and error: code object "
            "is not signed at all");
  EXPECT_EQ(fake_.journal.back(), "release CodeURL");
  EXPECT_EQ(fake_.journal[fake_.journal.size() - 3], "release Requirement");

  fake_.static_validity_failure = SecFailure{-67054, std::nullopt};
  EXPECT_EQ(validate_bundle("/x.app"),
            "SecStaticCodeCheckValidityWithErrors failed with error: unknown");
}

TEST_F(CodeSigningOrderTest, AnotherRequirementTextIsPassedThrough) {
  auto result =
      main_service::validate_app_package_signature(platform_, "/x.app", "anchor apple generic");
  EXPECT_TRUE(result);
  EXPECT_EQ(fake_.journal[2], "create_requirement anchor apple generic");
}

}  // namespace
