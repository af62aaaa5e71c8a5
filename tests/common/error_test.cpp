#include "common/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "vectors.hpp"

namespace {

using vectors::from_hex;
using vectors::read_tsv;
using vectors::to_hex;
using vectors::utf8;
TEST(ErrorTest, OsErrorTextCarriesDescriptionAndNumber) {
  EXPECT_EQ(common::Error::os(2).text(), "No such file or directory (os error 2)");
  EXPECT_EQ(common::Error::other("x").text(), "x");
}

// The message inside a quoted string, for the escapes the reference messages use.
std::string unquote(const std::string& q) {
  EXPECT_GE(q.size(), 2u);
  EXPECT_EQ(q.front(), '"');
  EXPECT_EQ(q.back(), '"');
  std::string out;
  for (std::size_t i = 1; i + 1 < q.size(); ++i) {
    if (q[i] != '\\') {
      out += q[i];
      continue;
    }
    char e = q[++i];
    switch (e) {
      case '"':
      case '\\':
        out += e;
        break;
      case 't':
        out += '\t';
        break;
      case 'n':
        out += '\n';
        break;
      case 'u': {
        std::size_t close = q.find('}', i);
        out += utf8(static_cast<char32_t>(std::stoul(q.substr(i + 2, close - i - 2), nullptr, 16)));
        i = close;
        break;
      }
      default:
        ADD_FAILURE() << "escape not handled by this test: \\" << e;
    }
  }
  return out;
}

common::ErrorKind kind_named(const std::string& name) {
  for (auto kind : {common::ErrorKind::Other, common::ErrorKind::UnexpectedEof,
                    common::ErrorKind::InvalidData, common::ErrorKind::WriteZero}) {
    if (common::error_kind_name(kind) == name) return kind;
  }
  ADD_FAILURE() << "unknown kind " << name;
  return common::ErrorKind::Other;
}

TEST(ErrorTest, DiagnosticAndTextFormsMatchEveryReferenceRow) {
  auto rows = read_tsv("diagnostics.tsv");
  ASSERT_GE(rows.size(), 26u);
  std::size_t os_rows = 0, custom_rows = 0;
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 4u);
    const std::string& diagnostic = row[2];
    const std::string text = unquote(row[3]);
    if (row[0] == "os") {
      ++os_rows;
      auto error = common::Error::os(std::stoi(row[1]));
      EXPECT_TRUE(error.is_os());
      EXPECT_EQ(error.diagnostic(), diagnostic);
      EXPECT_EQ(error.text(), text);
    } else {
      ASSERT_EQ(row[0], "custom");
      ++custom_rows;
      std::size_t colon = row[1].find(':');
      ASSERT_NE(colon, std::string::npos) << row[1];
      auto kind = kind_named(row[1].substr(0, colon));
      std::string message = unquote(row[1].substr(colon + 1));
      auto error = common::Error::general(kind, message);
      EXPECT_FALSE(error.is_os());
      EXPECT_EQ(error.kind(), kind);
      EXPECT_EQ(error.diagnostic(), diagnostic);
      EXPECT_EQ(error.text(), text);
      EXPECT_EQ(error.text(), message);
    }
  }
  EXPECT_GT(os_rows, 0u);
  EXPECT_GT(custom_rows, 0u);
}

TEST(ErrorTest, DiagnosticQuotesMessageBytesThatAreNotText) {
  auto error = common::Error::other(std::string("bad \xFF path\0", 11));
  EXPECT_EQ(error.text(), std::string("bad \xFF path\0", 11));
  EXPECT_EQ(error.diagnostic(), "Custom { kind: Other, error: \"bad \\xFF path\\0\" }");
}
}  // namespace

namespace {

// A reason survives the prefix wrapping that every caller does on the way up, and an OS error's
// number still decides it after its number has become text.
TEST(ErrorTest, ReasonSurvivesWrappingAndFollowsTheOsErrorNumber) {
  using common::Error;
  using common::Reason;
  Error refused = Error::other("Refusing to replace version 2 with older version 1")
                      .with_reason(Reason::Downgrade);
  Error outer = Error::wrap("Failed: ", Error::wrap("Inner: ", refused));
  EXPECT_EQ(outer.text(), "Failed: Inner: Refusing to replace version 2 with older version 1");
  EXPECT_EQ(outer.reason(), Reason::Downgrade);
  EXPECT_EQ(outer.kind(), common::ErrorKind::Other);

  EXPECT_EQ(Error::wrap("Copy: ", Error::os(EROFS)).reason(), Reason::ReadOnlyVolume);
  EXPECT_EQ(Error::wrap("Copy: ", Error::os(ENOSPC)).reason(), Reason::NoSpace);
  EXPECT_EQ(Error::wrap("Copy: ", Error::os(EDQUOT)).reason(), Reason::NoSpace);
  EXPECT_EQ(Error::os(EIO).reason(), Reason::IoError);
  // An explicit reason beats the number's.
  EXPECT_EQ(Error::os(ENOENT).with_reason(Reason::NotSigned).reason(), Reason::NotSigned);
  EXPECT_EQ(Error::other("plain").reason(), Reason::Unspecified);
}

}  // namespace
