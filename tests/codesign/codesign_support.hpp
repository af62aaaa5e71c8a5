#pragma once
// Helpers of the code-signing tests, of the engine's and of the helper's: bundles built in
// temporary directories, signed at test time with the build's test PKI or with PKIs made on the
// spot by scripts/make-test-pki.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "../helper/test_support.hpp"
#include "codesign/signing.hpp"
#include "common/constants.hpp"

namespace codesign_test {

namespace fs = std::filesystem;

using ScratchDir = test_support::TempDir;

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const fs::path& path, const std::string& bytes, mode_t mode = 0644) {
  fs::create_directories(path.parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  ::chmod(path.c_str(), mode);
}

inline std::string info_plist(const std::string& identifier, const std::string& executable,
                              const std::string& version = "1.0") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n<dict>\n"
         "  <key>CFBundleIdentifier</key>\n  <string>" +
         identifier +
         "</string>\n"
         "  <key>CFBundleExecutable</key>\n  <string>" +
         executable +
         "</string>\n"
         "  <key>CFBundleVersion</key>\n  <string>" +
         version +
         "</string>\n"
         "</dict>\n</plist>\n";
}

inline constexpr const char* MAIN_EXECUTABLE = "Contents/MacOS/Kolvaris";

// A small bundle: Info.plist, main executable, resources in nested directories, a symlink.
inline fs::path make_bundle(
    const fs::path& where,
    const std::string& identifier = std::string(common::CLIENT_BUNDLE_IDENTIFIER),
    const std::string& version = "1.0") {
  fs::path bundle = where / "Kolvaris.app";
  write_file(bundle / "Contents/Info.plist", info_plist(identifier, "Kolvaris", version));
  write_file(bundle / MAIN_EXECUTABLE, "#!/bin/sh\necho main executable\n", 0755);
  write_file(bundle / "Contents/Resources/data.bin", std::string(100000, 'd'));
  write_file(bundle / "Contents/Resources/nested/deep.txt", "deep\n");
  write_file(bundle / "Contents/Resources/tool.sh", "#!/bin/sh\n", 0755);
  fs::create_directory_symlink("nested", bundle / "Contents/Resources/current");
  return bundle;
}

inline std::string test_pki() { return KOLVARIS_TEST_PKI_DIR; }

// Signs with DIR/LEAF.{key,pem} and DIR/chain.pem (no chain when `with_chain` is false).
inline common::Status sign(const fs::path& bundle, const std::string& pki_dir,
                           const std::string& leaf = "leaf", bool with_chain = true) {
  auto identity =
      codesign::load_signing_identity(pki_dir + "/" + leaf + ".key", pki_dir + "/" + leaf + ".pem",
                                      with_chain ? pki_dir + "/chain.pem" : std::string());
  if (!identity) return common::fail(identity.error());
  return codesign::sign_bundle(bundle.string(), *identity);
}

inline common::Result<codesign::SigningIdentity> identity_of(const std::string& pki_dir,
                                                             const std::string& leaf = "leaf") {
  return codesign::load_signing_identity(pki_dir + "/" + leaf + ".key",
                                         pki_dir + "/" + leaf + ".pem", pki_dir + "/chain.pem");
}

// Runs scripts/make-test-pki DIR ARGS; true on success.
inline bool make_pki(const fs::path& dir, const std::string& args) {
  std::string command = std::string("'") + KOLVARIS_MAKE_TEST_PKI + "' '" + dir.string() + "' " +
                        args + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// Signers the build's trust anchor or the client requirement must refuse, made on the spot in a
// scratch directory that goes with the object: a leaf of another team under the build's root,
// and a chain of this team under another root.
class OtherSigners {
 public:
  OtherSigners()
      : made_(make_pki(other_team(), "--team OTHERTEAM1 --issuer '" + test_pki() + "'") &&
              make_pki(other_root(), "--team KOLVARIS01")) {}
  bool made() const { return made_; }
  std::string other_team() const { return (dir_.path() / "other-team").string(); }
  std::string other_root() const { return (dir_.path() / "other-root").string(); }

 private:
  ScratchDir dir_;
  bool made_;
};

// A fixture whose tests share one OtherSigners, made once for the suite.
class OtherSignersTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    others_ = new OtherSigners;
    ASSERT_TRUE(others_->made());
  }
  static void TearDownTestSuite() {
    delete others_;
    others_ = nullptr;
  }
  static std::string other_team() { return others_->other_team(); }
  static std::string other_root() { return others_->other_root(); }

 private:
  inline static OtherSigners* others_ = nullptr;
};

}  // namespace codesign_test
