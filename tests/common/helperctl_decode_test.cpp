// Runs the built helperctl binary; these tests see only its streams and exit status.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "../helper/test_support.hpp"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class HelperctlDecode : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = scratch_.path(); }

  Outcome run(const std::string& args, const std::string& input) {
    {
      std::ofstream in(dir_ / "in", std::ios::binary);
      in << input;
    }
    const std::string command = std::string("'") + KOLVARIS_HELPERCTL + "' " + args + " < '" +
                                (dir_ / "in").string() + "' > '" + (dir_ / "out").string() +
                                "' 2> '" + (dir_ / "err").string() + "'";
    const int status = std::system(command.c_str());
    Outcome result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_file(dir_ / "out");
    result.err = read_file(dir_ / "err");
    return result;
  }

  test_support::TempDir scratch_;
  fs::path dir_;
};

TEST_F(HelperctlDecode, AnswersEveryReferenceVectorByteForByte) {
  std::ifstream vectors(std::string(KOLVARIS_TEST_DATA_DIR) + "/commands.tsv", std::ios::binary);
  ASSERT_TRUE(vectors);
  std::string payloads, expected, line;
  while (std::getline(vectors, line)) {
    const std::size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos);
    payloads += line.substr(0, tab) + "\n";
    expected += line.substr(tab + 1) + "\n";
  }
  const Outcome r = run("decode", payloads);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, expected);
}

TEST_F(HelperctlDecode, ColumnsAfterATabAreIgnoredAndTheLastLineNeedsNoFeed) {
  const Outcome r = run("decode",
                        "5b5d\tignored\n\n" /* [] and an empty payload */
                        "5b2257616974466f7245786974416e644c61756e6368222c312c222f78225d");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "err\tmissing field `type` at line 1 column 2\n"
            "err\tEOF while parsing a value at line 1 column 0\n"
            "ok\tWaitForExitAndLaunch\t1\t2f78\n");
}

TEST_F(HelperctlDecode, DeleteCharacterInAnErrorTextIsWrittenInHex) {
  // {"type":"\u007f"}
  const Outcome r = run("decode", "7b2274797065223a225c7530303766227d\n");
  EXPECT_EQ(r.status, 0);
  const std::string text =
      "unknown variant `\x7F`, expected `ReplaceAppAtomic` or `WaitForExitAndLaunch` at line 1 "
      "column 16";
  std::string hex;
  for (const char c : text) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    hex += DIGITS[static_cast<unsigned char>(c) >> 4];
    hex += DIGITS[static_cast<unsigned char>(c) & 0xF];
  }
  EXPECT_EQ(r.out, "errhex\t" + hex + "\n");
}

TEST_F(HelperctlDecode, ALineThatIsNotHexStopsTheRunAfterAnsweringThoseBefore) {
  for (const std::string bad : {"7b7", "7g", "7b 7d", "{}"}) {
    const Outcome r = run("decode", "7b7d\n" + bad + "\n7b7d\n");
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_EQ(r.out, "err\tmissing field `type` at line 1 column 2\n") << bad;
    EXPECT_NE(r.err.find("line 2"), std::string::npos) << r.err;
  }
}

TEST_F(HelperctlDecode, UppercaseHexIsAccepted) {
  const Outcome r = run("decode", "5B5D\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "err\tmissing field `type` at line 1 column 2\n");
}

TEST_F(HelperctlDecode, UsageAndArguments) {
  const Outcome help = run("decode --help", "");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("helperctl decode"), std::string::npos);

  const Outcome extra = run("decode now", "7b7d\n");
  EXPECT_EQ(extra.status, 2);
  EXPECT_EQ(extra.out, "");
  EXPECT_NE(extra.err.find("no arguments"), std::string::npos);

  const Outcome top = run("--help", "");
  EXPECT_EQ(top.status, 0);
  EXPECT_NE(top.out.find("decode"), std::string::npos);

  EXPECT_EQ(run("", "").status, 2);
  EXPECT_EQ(run("frobnicate", "").status, 2);
}

TEST_F(HelperctlDecode, EmptyInputGivesNoOutput) {
  const Outcome r = run("decode", "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

}  // namespace
