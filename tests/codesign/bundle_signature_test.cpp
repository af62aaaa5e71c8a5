// Static validation of signed bundles by the engine: a matrix of bundles signed at test time and
// changed afterwards, each with the status and the exact text of its problem, and the refusals
// of the signing side.

#include "codesign/bundle_signature.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "codesign/sha256.hpp"
#include "codesign/written_digests.hpp"
#include "codesign_support.hpp"
#include "common/constants.hpp"
#include "common/util/unique_fd.hpp"

namespace {

using namespace codesign_test;
using codesign::CheckScope;
using common::util::UniqueFd;

class BundleSignatureTest : public OtherSignersTest {
 protected:
  void SetUp() override {
    anchor_ = codesign::parse_pem_certificate(read_file(test_pki() + "/root.pem"));
    ASSERT_TRUE(anchor_);
    auto requirement = codesign::compile_requirement(common::CLIENT_CODE_REQUIREMENT);
    ASSERT_TRUE(requirement.has_value());
    requirement_ = std::move(*requirement);
    bundle_ = make_bundle(scratch_.path());
  }

  // "<status> <description>[: <detail>]" of checking the bundle at `path` against the client
  // requirement, or "valid".
  std::string validate(const fs::path& path, CheckScope scope = CheckScope::Full) {
    UniqueFd root(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root) return "not a directory: " + path.string();
    auto result = codesign::validate_bundle(root.get(), anchor_.get(), requirement_, scope);
    if (result) return "valid";
    return std::to_string(result.error().status) + " " + result.error().text();
  }
  std::string validate() { return validate(bundle_); }

  void signed_bundle() { ASSERT_TRUE(sign(bundle_, test_pki()).has_value()); }

  static std::string failure(std::string_view code, std::string_view description) {
    return std::string(code) + " " + std::string(description);
  }
  static std::string bad_resource(const std::string& detail) {
    return failure("-67054", "a sealed resource is missing or invalid: " + detail);
  }

  ScratchDir scratch_;
  codesign::X509Ptr anchor_;
  codesign::RequirementNode requirement_;
  fs::path bundle_;
};

TEST_F(BundleSignatureTest, SignedBundleIsValidAndStaysValidWhenOwnerTimesAndXattrsChange) {
  signed_bundle();
  EXPECT_EQ(validate(), "valid");
  // What installation changes is not sealed.
  ASSERT_EQ(::chown((bundle_ / "Contents/Resources/data.bin").c_str(), 12345, 54321), 0);
  ASSERT_EQ(::chmod((bundle_ / "Contents/Resources/data.bin").c_str(), 0600), 0);
  fs::last_write_time(bundle_ / MAIN_EXECUTABLE, fs::file_time_type::clock::now());
  ::setxattr((bundle_ / "Contents/Info.plist").c_str(), "user.com.apple.quarantine", "q", 1, 0);
  EXPECT_EQ(validate(), "valid");
}

// A full check takes the digest the helper recorded when it wrote a file, instead of reading the
// file: a recorded digest that differs from the seal fails the check although the file itself
// matches, and a file changed after it was recorded is read again and judged by what it holds.
TEST_F(BundleSignatureTest, DigestsRecordedAsFilesWereWrittenAreTakenForUnchangedFilesOnly) {
  signed_bundle();
  const fs::path data = bundle_ / "Contents/Resources/data.bin";
  auto key = [&] {
    struct stat st;
    EXPECT_EQ(::lstat(data.c_str(), &st), 0);
    return codesign::file_key(st);
  };
  codesign::Digest wrong{};
  codesign::written_digests().record(key(), wrong);
  EXPECT_EQ(validate(), bad_resource("file modified: Contents/Resources/data.bin"));
  // Taken once: the next check reads the file.
  EXPECT_EQ(validate(), "valid");

  auto right = codesign::sha256_bytes(read_file(data));
  ASSERT_TRUE(right.has_value());
  codesign::written_digests().record(key(), *right);
  std::string changed = read_file(data);
  changed[0] = 'X';
  write_file(data, changed);
  EXPECT_EQ(validate(), bad_resource("file modified: Contents/Resources/data.bin"));
}

TEST_F(BundleSignatureTest, UnsignedBundlesAndHalfSignaturesAreUnsigned) {
  const std::string unsigned_text = failure("-67062", "code object is not signed at all");
  EXPECT_EQ(validate(), unsigned_text);

  signed_bundle();
  fs::remove(bundle_ / "Contents/_CodeSignature/CodeSignature");
  EXPECT_EQ(validate(), unsigned_text);

  signed_bundle();
  fs::remove(bundle_ / "Contents/_CodeSignature/CodeManifest");
  EXPECT_EQ(validate(), unsigned_text);

  ScratchDir empty;
  EXPECT_EQ(validate(empty.path()), unsigned_text);
}

TEST_F(BundleSignatureTest, ChangedAddedRemovedAndRetypedResourcesAreReported) {
  signed_bundle();
  const fs::path data = bundle_ / "Contents/Resources/data.bin";

  std::string same_size(100000, 'd');
  same_size[5000] = 'e';
  write_file(data, same_size);
  EXPECT_EQ(validate(), bad_resource("file modified: Contents/Resources/data.bin"));

  write_file(data, "shorter");
  EXPECT_EQ(validate(), bad_resource("file modified: Contents/Resources/data.bin (size changed)"));
  write_file(data, std::string(100000, 'd'));
  EXPECT_EQ(validate(), "valid");

  write_file(bundle_ / "Contents/Resources/extra.txt", "x");
  EXPECT_EQ(validate(), bad_resource("file added: Contents/Resources/extra.txt"));
  fs::remove(bundle_ / "Contents/Resources/extra.txt");

  fs::create_directory(bundle_ / "Contents/Empty");
  EXPECT_EQ(validate(), bad_resource("file added: Contents/Empty"));
  fs::remove(bundle_ / "Contents/Empty");

  ASSERT_EQ(::mkfifo((bundle_ / "Contents/Resources/fifo").c_str(), 0644), 0);
  EXPECT_EQ(validate(), bad_resource("file added: Contents/Resources/fifo"));
  fs::remove(bundle_ / "Contents/Resources/fifo");

  fs::remove(bundle_ / "Contents/Resources/nested/deep.txt");
  EXPECT_EQ(validate(), bad_resource("file missing: Contents/Resources/nested/deep.txt"));
  write_file(bundle_ / "Contents/Resources/nested/deep.txt", "deep\n");
  EXPECT_EQ(validate(), "valid");

  // A file swapped for a symlink to a file with the same contents: never followed.
  write_file(scratch_.path() / "outside.bin", std::string(100000, 'd'));
  fs::remove(data);
  fs::create_symlink(scratch_.path() / "outside.bin", data);
  EXPECT_EQ(validate(), bad_resource("file modified: Contents/Resources/data.bin (type changed)"));
  fs::remove(data);
  write_file(data, std::string(100000, 'd'));

  fs::remove(bundle_ / "Contents/Resources/current");
  fs::create_directory_symlink("elsewhere", bundle_ / "Contents/Resources/current");
  EXPECT_EQ(validate(),
            bad_resource("file modified: Contents/Resources/current (link target changed)"));
  fs::remove(bundle_ / "Contents/Resources/current");
  fs::create_directory_symlink("nested", bundle_ / "Contents/Resources/current");

  ::chmod((bundle_ / "Contents/Resources/tool.sh").c_str(), 0644);
  EXPECT_EQ(validate(),
            bad_resource("file modified: Contents/Resources/tool.sh (executable bit changed)"));
  ::chmod((bundle_ / "Contents/Resources/tool.sh").c_str(), 0700);  // still executable: fine
  EXPECT_EQ(validate(), "valid");
}

TEST_F(BundleSignatureTest, LargeBundlesAreHashedOnEveryCoreAndReportTheFirstDifference) {
  // Above the size at which hashing spreads over threads.
  for (int i = 0; i < 24; ++i) {
    write_file(bundle_ / ("Contents/Resources/blob" + std::to_string(i)),
               std::string(512 * 1024, static_cast<char>('a' + i)));
  }
  signed_bundle();
  EXPECT_EQ(validate(), "valid");
  for (int i : {20, 7, 15}) {
    std::string changed(512 * 1024, static_cast<char>('a' + i));
    changed[1000] = '!';
    write_file(bundle_ / ("Contents/Resources/blob" + std::to_string(i)), changed);
  }
  // blob15 sorts before blob20 and blob7.
  EXPECT_EQ(validate(), bad_resource("file modified: Contents/Resources/blob15"));
}

TEST_F(BundleSignatureTest, FirstDifferenceInPathOrderIsReported) {
  signed_bundle();
  write_file(bundle_ / "Contents/Resources/nested/deep.txt", "DEEP\n");
  write_file(bundle_ / "Contents/Resources/data.bin", std::string(100000, 'x'));
  EXPECT_EQ(validate(), bad_resource("file modified: Contents/Resources/data.bin"));
}

TEST_F(BundleSignatureTest, MainExecutableAndInfoPlistChangesHaveTheirOwnCodes) {
  signed_bundle();
  write_file(bundle_ / MAIN_EXECUTABLE, "#!/bin/sh\necho main executab1e\n", 0755);
  EXPECT_EQ(validate(), failure("-67061",
                                "invalid signature (code or signature have been modified): file "
                                "modified: Contents/MacOS/Kolvaris"));
  write_file(bundle_ / MAIN_EXECUTABLE, "#!/bin/sh\necho main executable\n", 0644);
  EXPECT_EQ(validate(), failure("-67061",
                                "invalid signature (code or signature have been modified): file "
                                "modified: Contents/MacOS/Kolvaris (executable bit changed)"));

  ::chmod((bundle_ / MAIN_EXECUTABLE).c_str(), 0755);
  signed_bundle();
  std::string plist = read_file(bundle_ / "Contents/Info.plist");
  plist.replace(plist.find("1.0</string>"), 3, "2.0");
  write_file(bundle_ / "Contents/Info.plist", plist);
  EXPECT_EQ(validate(), failure("-67030",
                                "invalid Info.plist (plist or signature have been modified): file "
                                "modified: Contents/Info.plist"));
}

TEST_F(BundleSignatureTest, SignersThatDoNotSatisfyTheRequirementAreRefused) {
  const std::string unsatisfied =
      failure("-67050", "code failed to satisfy specified code requirement(s)");

  ASSERT_TRUE(sign(bundle_, other_team()).has_value());
  EXPECT_EQ(validate(), unsatisfied);

  ASSERT_TRUE(sign(bundle_, test_pki(), "leaf-plain").has_value());
  EXPECT_EQ(validate(), unsatisfied);

  ScratchDir elsewhere;
  fs::path renamed = make_bundle(elsewhere.path(), "com.example.other");
  ASSERT_TRUE(sign(renamed, test_pki()).has_value());
  EXPECT_EQ(validate(renamed), unsatisfied);
}

TEST_F(BundleSignatureTest, SignersOutsideTheTrustAnchorAreUntrusted) {
  ASSERT_TRUE(sign(bundle_, other_root()).has_value());
  EXPECT_EQ(validate(), failure("-66996",
                                "the signature is valid but the signer is not trusted: unable to "
                                "get local issuer certificate (certificate 1 of the chain)"));

  // Without the intermediate the chain cannot be built either.
  ASSERT_TRUE(sign(bundle_, test_pki(), "leaf", false).has_value());
  EXPECT_EQ(validate(), failure("-66996",
                                "the signature is valid but the signer is not trusted: unable to "
                                "get local issuer certificate (certificate 0 of the chain)"));
}

TEST_F(BundleSignatureTest, DamagedSignaturesAreInvalid) {
  const fs::path signature = bundle_ / "Contents/_CodeSignature/CodeSignature";
  const std::string not_cms = failure(
      "-67061",
      "invalid signature (code or signature have been modified): the signature is not a CMS "
      "structure");

  signed_bundle();
  std::string der = read_file(signature);
  write_file(signature, der.substr(0, der.size() / 2));
  EXPECT_EQ(validate(), not_cms);

  write_file(signature, "garbage that is not DER at all");
  EXPECT_EQ(validate(), not_cms);

  write_file(signature, der + "trailing");
  EXPECT_EQ(validate(), failure("-67061",
                                "invalid signature (code or signature have been modified): bytes "
                                "follow the CMS structure"));

  // The manifest edited after signing: the signature no longer covers it.
  write_file(signature, der);
  EXPECT_EQ(validate(), "valid");
  fs::path manifest = bundle_ / "Contents/_CodeSignature/CodeManifest";
  std::string text = read_file(manifest);
  text.replace(text.find("com.kolvaris"), 3, "org");
  write_file(manifest, text);
  EXPECT_EQ(validate(), failure("-67061",
                                "invalid signature (code or signature have been modified): the "
                                "signature does not match the manifest"));
}

TEST_F(BundleSignatureTest, OversizedSignatureComponentsAreRefusedBeforeTheyAreRead) {
  signed_bundle();
  const fs::path directory = bundle_ / "Contents/_CodeSignature";
  const std::string der = read_file(directory / "CodeSignature");
  write_file(directory / "CodeSignature", der + std::string(1024 * 1024, '\0'));
  EXPECT_EQ(validate(), failure("-67061",
                                "invalid signature (code or signature have been modified): the "
                                "signature is too large"));
  write_file(directory / "CodeSignature", der);
  write_file(directory / "CodeManifest", std::string(8 * 1024 * 1024 + 1, 'd'));
  EXPECT_EQ(
      validate(),
      failure("-67055", "the sealed resource directory is invalid: the manifest is too large"));
}

TEST_F(BundleSignatureTest, SignatureComponentsAreNeverFollowedThroughSymlinks) {
  signed_bundle();
  fs::path real = scratch_.path() / "sigdir";
  fs::rename(bundle_ / "Contents/_CodeSignature", real);
  fs::create_directory_symlink(real, bundle_ / "Contents/_CodeSignature");
  EXPECT_EQ(validate(), failure("-67061",
                                "invalid signature (code or signature have been modified): the "
                                "manifest is not a regular file inside the bundle"));
}

TEST_F(BundleSignatureTest, SignedManifestsNamingPathsOutsideTheBundleAreRefused) {
  signed_bundle();
  const std::string manifest = read_file(bundle_ / "Contents/_CodeSignature/CodeManifest");
  auto identity = identity_of(test_pki());
  ASSERT_TRUE(identity.has_value());

  // Each crafted manifest is properly signed: only its content is wrong.
  auto with_line = [&](const std::string& line) {
    std::string text = manifest;
    auto at = text.find("d Contents\n");
    text.insert(at, line + "\n");
    auto signature = codesign::sign_detached(text, *identity);
    EXPECT_TRUE(signature.has_value());
    EXPECT_TRUE(codesign::write_signature(bundle_.string(), text, *signature));
  };
  const std::string digest(64, '0');
  with_line("f ../escape.txt - 1 " + digest);
  EXPECT_EQ(validate(), failure("-67055",
                                "the sealed resource directory is invalid: manifest line 4: "
                                "invalid path \"../escape.txt\""));
  with_line("f /etc/passwd - 1 " + digest);
  EXPECT_EQ(validate(), failure("-67055",
                                "the sealed resource directory is invalid: manifest line 4: "
                                "invalid path \"/etc/passwd\""));
  with_line("d Contents/./x");
  EXPECT_EQ(validate(), failure("-67055",
                                "the sealed resource directory is invalid: manifest line 4: "
                                "invalid path \"Contents/./x\""));

  std::string newer = manifest;
  newer.replace(0, newer.find('\n'), "KolvarisCodeSignature 2");
  auto signature = codesign::sign_detached(newer, *identity);
  ASSERT_TRUE(signature.has_value());
  ASSERT_TRUE(codesign::write_signature(bundle_.string(), newer, *signature));
  EXPECT_EQ(
      validate(),
      failure("-67059", "unsupported type or version of signature: manifest format version 2"));
}

// An identity check names the application without reading its contents: damaged or added
// resources pass it, a wrong signer and a bundle without its Info.plist or main executable file
// do not.
TEST_F(BundleSignatureTest, IdentityChecksReadOnlyTheSignatureAndTheLayout) {
  signed_bundle();
  write_file(bundle_ / "Contents/Resources/data.bin", "damaged");
  write_file(bundle_ / "Contents/Resources/added.txt", "added");
  EXPECT_EQ(validate(bundle_, CheckScope::Identity), "valid");
  EXPECT_EQ(validate(), bad_resource("file added: Contents/Resources/added.txt"));

  fs::remove(bundle_ / MAIN_EXECUTABLE);
  fs::create_symlink("../Resources/tool.sh", bundle_ / MAIN_EXECUTABLE);
  EXPECT_EQ(validate(bundle_, CheckScope::Identity),
            bad_resource("file modified: Contents/MacOS/Kolvaris"));
  fs::remove(bundle_ / "Contents/Info.plist");
  EXPECT_EQ(validate(bundle_, CheckScope::Identity),
            bad_resource("file missing: Contents/Info.plist"));

  ScratchDir elsewhere;
  fs::path foreign = make_bundle(elsewhere.path());
  ASSERT_TRUE(sign(foreign, other_team()).has_value());
  EXPECT_EQ(validate(foreign, CheckScope::Identity),
            failure("-67050", "code failed to satisfy specified code requirement(s)"));
}

TEST_F(BundleSignatureTest, NamesWithSpacesNewlinesPercentAndNonUtf8BytesAreSealed) {
  write_file(bundle_ / "Contents/Resources/a b%c\nd\xff.txt", "odd");
  signed_bundle();
  EXPECT_EQ(validate(), "valid");
  write_file(bundle_ / "Contents/Resources/a b%c\nd\xff.txt", "ODD");
  EXPECT_EQ(validate(), bad_resource("file modified: Contents/Resources/a b%c\nd\xff.txt"));
}

TEST_F(BundleSignatureTest, ResigningReplacesTheEarlierSignature) {
  ASSERT_TRUE(sign(bundle_, other_team()).has_value());
  write_file(bundle_ / "Contents/Resources/new.txt", "new");
  signed_bundle();
  EXPECT_EQ(validate(), "valid");
}

TEST_F(BundleSignatureTest, SigningRefusesBundlesItCannotSeal) {
  fs::remove(bundle_ / MAIN_EXECUTABLE);
  auto missing_main = sign(bundle_, test_pki());
  ASSERT_FALSE(missing_main);
  EXPECT_EQ(missing_main.error().text(), "Contents/MacOS/Kolvaris is not an executable file");

  write_file(bundle_ / MAIN_EXECUTABLE, "x", 0755);
  ASSERT_EQ(::mkfifo((bundle_ / "Contents/pipe").c_str(), 0644), 0);
  auto fifo = sign(bundle_, test_pki());
  ASSERT_FALSE(fifo);
  EXPECT_EQ(fifo.error().text(),
            "cannot seal Contents/pipe: not a directory, regular file or symbolic link");
  fs::remove(bundle_ / "Contents/pipe");

  write_file(bundle_ / "Contents/Info.plist",
             "<plist><dict><key>CFBundleExecutable</key>"
             "<string>Kolvaris</string></dict></plist>");
  auto no_identifier = sign(bundle_, test_pki());
  ASSERT_FALSE(no_identifier);
  EXPECT_EQ(no_identifier.error().text(), "Contents/Info.plist has no CFBundleIdentifier");

  auto wrong_key =
      codesign::load_signing_identity(test_pki() + "/leaf-plain.key", test_pki() + "/leaf.pem", "");
  ASSERT_FALSE(wrong_key);
  EXPECT_EQ(wrong_key.error().text(), "the private key in " + test_pki() +
                                          "/leaf-plain.key does not belong to " + test_pki() +
                                          "/leaf.pem");
}

}  // namespace
