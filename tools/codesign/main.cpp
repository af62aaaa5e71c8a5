// kolvaris-codesign: signs bundle directories and verifies them the way the helper does.
//
//   kolvaris-codesign sign --key KEY.pem --cert LEAF.pem [--chain CERTS.pem] BUNDLE
//   kolvaris-codesign verify [--anchor ROOT.pem] [--requirement TEXT] BUNDLE
//
// verify exits 0 for a valid bundle and 1 otherwise, printing the error text the helper would
// log; both exit 2 for a usage error.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "codesign/signing.hpp"
#include "common/constants.hpp"
#include "main/app_package_validation.hpp"
#include "platform/linux/code_signing_linux.hpp"
#include "platform/linux/trust_anchor.hpp"
#include "platform/platform.hpp"

namespace {

using platform::linux_impl::LinuxCodeSigning;

int usage() {
  std::cerr << "usage: kolvaris-codesign sign --key KEY.pem --cert LEAF.pem [--chain CERTS.pem] "
               "BUNDLE\n"
               "       kolvaris-codesign verify [--anchor ROOT.pem] [--requirement TEXT] BUNDLE\n";
  return 2;
}

// Options given as --name VALUE, each at most once and only those allowed; one positional.
struct Arguments {
  std::map<std::string, std::string> options;
  std::string bundle;
};

std::optional<Arguments> parse(const std::vector<std::string>& args,
                               const std::vector<std::string>& allowed) {
  Arguments parsed;
  bool have_bundle = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.starts_with("--")) {
      std::string name = arg.substr(2);
      bool known = false;
      for (const auto& a : allowed) known = known || a == name;
      if (!known || i + 1 >= args.size() || parsed.options.contains(name)) return std::nullopt;
      parsed.options[name] = args[++i];
    } else {
      if (have_bundle) return std::nullopt;
      parsed.bundle = arg;
      have_bundle = true;
    }
  }
  if (!have_bundle) return std::nullopt;
  return parsed;
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int sign(const Arguments& args) {
  if (!args.options.contains("key") || !args.options.contains("cert")) return usage();
  auto chain = args.options.find("chain");
  auto identity =
      codesign::load_signing_identity(args.options.at("key"), args.options.at("cert"),
                                      chain == args.options.end() ? std::string() : chain->second);
  if (!identity) {
    std::cerr << identity.error().text() << "\n";
    return 1;
  }
  auto signed_bundle = codesign::sign_bundle(args.bundle, *identity);
  if (!signed_bundle) {
    std::cerr << signed_bundle.error().text() << "\n";
    return 1;
  }
  std::cout << args.bundle << ": signed\n";
  return 0;
}

int verify(const Arguments& args) {
  std::string anchor(platform::linux_impl::compiled_trust_anchor_pem());
  if (auto path = args.options.find("anchor"); path != args.options.end()) {
    auto pem = read_file(path->second);
    if (!pem) {
      std::cerr << "cannot read " << path->second << "\n";
      return 1;
    }
    anchor = std::move(*pem);
  }
  std::string requirement(common::CLIENT_CODE_REQUIREMENT);
  if (auto text = args.options.find("requirement"); text != args.options.end()) {
    requirement = text->second;
  }
  LinuxCodeSigning code_signing(anchor);
  platform::Platform platform;
  platform.code_signing = &code_signing;
  auto valid = main_service::validate_app_package_signature(platform, args.bundle, requirement);
  if (!valid) {
    std::cerr << valid.error().text() << "\n";
    return 1;
  }
  std::cout << args.bundle << ": valid\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string command = argv[1];
  std::vector<std::string> rest(argv + 2, argv + argc);
  if (command == "sign") {
    auto args = parse(rest, {"key", "cert", "chain"});
    return args ? sign(*args) : usage();
  }
  if (command == "verify") {
    auto args = parse(rest, {"anchor", "requirement"});
    return args ? verify(*args) : usage();
  }
  return usage();
}
