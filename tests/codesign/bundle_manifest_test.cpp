// The manifest format and the Info.plist reader: what parses, what is refused and why.

#include "codesign/bundle_manifest.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "../helper/test_support.hpp"
#include "codesign/info_plist.hpp"
#include "common/util/unique_fd.hpp"

namespace {

using codesign::ItemType;
using codesign::Manifest;
using codesign::parse_manifest;
using codesign::read_plist_strings;
using codesign::scan_bundle;
using codesign::serialize_manifest;

const std::string DIGEST(64, 'a');
const std::string HEADER =
    "KolvarisCodeSignature 1\nidentifier com.kolvaris.desktop\nexecutable Contents/MacOS/App\n";

std::string manifest_with(const std::string& items) {
  return HEADER + "d Contents\nd Contents/MacOS\nf Contents/MacOS/App x 10 " + DIGEST + "\n" +
         items;
}

// "<status> <detail>" of a manifest that must not parse.
std::string refusal(const std::string& text) {
  auto parsed = parse_manifest(text);
  if (parsed) return "parsed";
  return std::to_string(parsed.error().status) + " " + parsed.error().detail;
}

TEST(BundleManifestTest, SerializedManifestsParseBackUnchanged) {
  Manifest manifest;
  manifest.identifier = "com.kolvaris.desktop";
  manifest.main_executable = "Contents/MacOS/App";
  manifest.entries = {
      {"Contents", ItemType::Directory, false, 0, {}},
      {"Contents/MacOS", ItemType::Directory, false, 0, {}},
      {"Contents/MacOS/App", ItemType::File, true, 10, {1, 2, 3}},
      {"Contents/Resources/a b%\n\xff", ItemType::File, false, 0, {9}},
      {"Contents/Resources/link", ItemType::Symlink, false, 0, {7}},
  };
  std::string text = serialize_manifest(manifest);
  EXPECT_NE(text.find("f Contents/Resources/a%20b%25%0a%ff - 0 09"), std::string::npos);
  auto parsed = parse_manifest(text);
  ASSERT_TRUE(parsed.has_value()) << parsed.error().detail;
  EXPECT_EQ(*parsed, manifest);
  EXPECT_EQ(parsed->find("Contents/Resources/link")->type, ItemType::Symlink);
  EXPECT_EQ(parsed->find("Contents/Resources/missing"), nullptr);
}

TEST(BundleManifestTest, MalformedManifestsAreRefusedWithTheLine) {
  EXPECT_EQ(refusal(""), "-67055 manifest line 1: truncated");
  EXPECT_EQ(refusal("KolvarisCodeSignature 1"), "-67055 manifest line 1: missing line feed");
  EXPECT_EQ(refusal("SomethingElse 1\n"), "-67055 manifest line 1: not a code-signature manifest");
  EXPECT_EQ(refusal("KolvarisCodeSignature 7\n"), "-67059 manifest format version 7");
  EXPECT_EQ(refusal("KolvarisCodeSignature 1\nexecutable x\n"),
            "-67055 manifest line 2: expected identifier");
  EXPECT_EQ(refusal("KolvarisCodeSignature 1\nidentifier \nexecutable x\n"),
            "-67055 manifest line 2: expected identifier");
  EXPECT_EQ(refusal(manifest_with("x Contents/y\n")), "-67055 manifest line 7: unknown item type");
  EXPECT_EQ(refusal(manifest_with("f Contents/y - 1\n")), "-67055 manifest line 7: bad item");
  EXPECT_EQ(refusal(manifest_with("f Contents/y r 1 " + DIGEST + "\n")),
            "-67055 manifest line 7: bad mode");
  EXPECT_EQ(refusal(manifest_with("f Contents/y - 01 " + DIGEST + "\n")),
            "-67055 manifest line 7: bad size");
  EXPECT_EQ(refusal(manifest_with("f Contents/y - -1 " + DIGEST + "\n")),
            "-67055 manifest line 7: bad size");
  EXPECT_EQ(refusal(manifest_with("f Contents/y - 1 " + std::string(64, 'A') + "\n")),
            "-67055 manifest line 7: bad digest");
  EXPECT_EQ(refusal(manifest_with("l Contents/y " + std::string(63, 'a') + "\n")),
            "-67055 manifest line 7: bad digest");
  EXPECT_EQ(refusal(manifest_with("d Contents/y%2\n")), "-67055 manifest line 7: bad item");
  EXPECT_EQ(refusal(manifest_with("d Contents/y z\n")), "-67055 manifest line 7: bad item");
}

TEST(BundleManifestTest, PathsMustStayInsideTheBundleInOrderAndOutsideTheSignature) {
  EXPECT_EQ(refusal(manifest_with("d ../x\n")), "-67055 manifest line 7: invalid path \"../x\"");
  EXPECT_EQ(refusal(manifest_with("d Contents/../../x\n")),
            "-67055 manifest line 7: invalid path \"Contents/../../x\"");
  EXPECT_EQ(refusal(manifest_with("d /etc\n")), "-67055 manifest line 7: invalid path \"/etc\"");
  EXPECT_EQ(refusal(manifest_with("d Contents//x\n")),
            "-67055 manifest line 7: invalid path \"Contents//x\"");
  EXPECT_EQ(refusal(manifest_with("d Contents/x/\n")),
            "-67055 manifest line 7: invalid path \"Contents/x/\"");
  EXPECT_EQ(refusal(manifest_with("d Contents/%00x\n")),
            "-67055 manifest line 7: invalid path \"Contents/%00x\"");
  EXPECT_EQ(refusal(manifest_with("d Contents/_CodeSignature\n")),
            "-67055 manifest line 7: invalid path \"Contents/_CodeSignature\"");
  EXPECT_EQ(refusal(manifest_with("d Contents/_CodeSignature/x\n")),
            "-67055 manifest line 7: invalid path \"Contents/_CodeSignature/x\"");
  EXPECT_EQ(refusal(manifest_with("d Contents/_CodeSignatureX\n")), "parsed");
  EXPECT_EQ(refusal(manifest_with("d Contents/A\n")),
            "-67055 manifest line 7: items out of order or repeated");
  EXPECT_EQ(refusal(manifest_with("d Contents/MacOS/App\n")),
            "-67055 manifest line 7: items out of order or repeated");
}

TEST(BundleManifestTest, TheMainExecutableIsASealedExecutableOfContentsMacOS) {
  const std::string refused =
      "-67055 manifest line 3: the main executable is not a sealed executable";
  EXPECT_EQ(refusal(HEADER + "d Contents\n"), refused);
  EXPECT_EQ(
      refusal(HEADER + "d Contents\nd Contents/MacOS\nf Contents/MacOS/App - 10 " + DIGEST + "\n"),
      refused);
  EXPECT_EQ(refusal(HEADER + "d Contents\nd Contents/MacOS\nd Contents/MacOS/App\n"), refused);
  EXPECT_EQ(refusal("KolvarisCodeSignature 1\nidentifier x\nexecutable Contents/App\nd "
                    "Contents\nf Contents/App x 1 " +
                    DIGEST + "\n"),
            refused);
}

TEST(InfoPlistTest, TopLevelStringsAreReadAndEverythingElseSkipped) {
  auto strings = read_plist_strings(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"x.dtd\">\n"
      "<plist version=\"1.0\"><!-- c --><dict>\n"
      "  <key>Nested</key><dict><key>CFBundleIdentifier</key><string>wrong</string></dict>\n"
      "  <key>CFBundleIdentifier</key>\n  <string>com.a&amp;b&#x2D;&#233;&lt;</string>\n"
      "  <key>Flag</key><true/>\n"
      "  <key>List</key><array><string>a</string><dict/></array>\n"
      "  <key>Empty</key><string/>\n"
      "  <key>CFBundleExecutable</key><string>App</string>\n"
      "</dict></plist>\n");
  ASSERT_TRUE(strings.has_value()) << strings.error();
  EXPECT_EQ(strings->at("CFBundleIdentifier"), "com.a&b-\xc3\xa9<");
  EXPECT_EQ(strings->at("CFBundleExecutable"), "App");
  EXPECT_EQ(strings->at("Empty"), "");
  EXPECT_FALSE(strings->contains("Flag"));
  EXPECT_FALSE(strings->contains("Nested"));
}

TEST(InfoPlistTest, MalformedPropertyListsAreRefused) {
  EXPECT_EQ(read_plist_strings("").error(), "expected an element");
  EXPECT_EQ(read_plist_strings("<html></html>").error(), "the document is not a property list");
  EXPECT_EQ(read_plist_strings("<plist><array/></plist>").error(),
            "the property list does not hold a dictionary");
  EXPECT_EQ(read_plist_strings("<plist><dict><string>x</string></dict></plist>").error(),
            "expected <key> in the dictionary");
  EXPECT_EQ(read_plist_strings("<plist><dict><key>A</key><string>x").error(),
            "unterminated <string>");
  EXPECT_EQ(read_plist_strings("<plist><dict><key>A</key><string>&bogus;</string>").error(),
            "unknown entity &bogus;");
  EXPECT_EQ(read_plist_strings("<plist><dict><key>A</key><string>&#xD800;</string>").error(),
            "bad character reference");
  EXPECT_EQ(read_plist_strings("<plist><dict><key>A</key></dict></plist>").error(),
            "key \"A\" has no value");
  EXPECT_EQ(read_plist_strings("<plist><dict><key>A</key><array><string>x</string>").error(),
            "unterminated <array>");
}

}  // namespace

namespace {

// The owner of a bundle swaps one of its directories for a link to a directory of theirs
// outside it, back and forth, while the bundle is scanned: no scan may list what lies behind
// the link, and the link, when seen, is an item of its own, never entered.
TEST(BundleScanAttack, DirectorySwappedForALinkIsNeverEntered) {
  test_support::TempDir dir;
  namespace fs = std::filesystem;
  const fs::path bundle = dir.path() / "App.app";
  const fs::path outside = dir.path() / "outside";
  fs::create_directories(bundle / "Contents/Resources");
  fs::create_directories(outside);
  std::ofstream(bundle / "Contents/Resources/own") << "x";
  std::ofstream(outside / "secret") << "y";
  fs::create_symlink(outside, dir.path() / "link");

  common::util::UniqueFd root(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(root);
  const std::string resources = (bundle / "Contents/Resources").string();
  const std::string link = (dir.path() / "link").string();
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop.load()) {
      ::renameat2(AT_FDCWD, resources.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
    }
  });
  int saw_link = 0, saw_directory = 0;
  for (int round = 0; round < 2000; ++round) {
    auto scanned = scan_bundle(root.get());
    if (!scanned) continue;  // a directory gone between listing and opening: refused, fine
    for (const auto& entry : *scanned) {
      ASSERT_EQ(entry.path.find("secret"), std::string::npos) << "entered the link";
      if (entry.path == "Contents/Resources") {
        (entry.type == ItemType::Symlink ? saw_link : saw_directory)++;
      }
    }
  }
  stop = true;
  swapper.join();
  // Both states were seen, or the race was not run.
  EXPECT_GT(saw_link, 0);
  EXPECT_GT(saw_directory, 0);
}

}  // namespace
