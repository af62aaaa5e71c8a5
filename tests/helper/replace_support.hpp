#pragma once
// Signed bundles of many files for the replacement tests, and helperctl as a signed client.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include "activator.hpp"
#include "codesign_support.hpp"
#include "test_support.hpp"

namespace replace_support {

namespace fs = std::filesystem;

// A signed bundle of the client's identity with `directories` x `files` small resources besides
// the usual items; `version` is in every file, so two versions differ in each of them.
inline fs::path make_large_bundle(const fs::path& where, const std::string& version,
                                  int directories = 40, int files = 50) {
  fs::create_directories(where);
  fs::path bundle = codesign_test::make_bundle(where);
  for (int d = 0; d < directories; ++d) {
    for (int f = 0; f < files; ++f) {
      std::string name = "Contents/Resources/r" + std::to_string(d) + "/f" + std::to_string(f);
      codesign_test::write_file(bundle / name,
                                version + " " + name + std::string(400 + 13 * f, '.'));
    }
  }
  codesign_test::write_file(bundle / "Contents/Resources/version", version);
  if (!codesign_test::sign(bundle, codesign_test::test_pki())) return {};
  return bundle;
}

#if defined(KOLVARIS_HELPERCTL_BINARY)
// helperctl as the main executable of a signed bundle: the genuine client as far as the helper
// can tell.
class SignedHelperctl {
 public:
  SignedHelperctl() {
    bundle_ = codesign_test::make_bundle(dir_.path());
    fs::copy_file(KOLVARIS_HELPERCTL_BINARY, bundle_ / codesign_test::MAIN_EXECUTABLE,
                  fs::copy_options::overwrite_existing);
    signed_ = codesign_test::sign(bundle_, codesign_test::test_pki()).has_value();
  }
  bool ok() const { return signed_; }

  // Runs it with `args` against the helper's socket; its exit status and output.
  std::pair<int, std::string> run(const std::string& socket, const std::string& args) const {
    std::string out_file = (dir_.path() / ("client-" + std::to_string(runs_++) + ".out")).string();
    std::string command = "'" + (bundle_ / codesign_test::MAIN_EXECUTABLE).string() +
                          "' --socket '" + socket + "' --timeout 120 " + args + " >'" + out_file +
                          "' 2>&1";
    int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test_support::read_file(out_file)};
  }

 private:
  codesign_test::ScratchDir dir_;
  fs::path bundle_;
  bool signed_ = false;
  mutable int runs_ = 0;
};
#endif

}  // namespace replace_support
