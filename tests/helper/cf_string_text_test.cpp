// The CoreFoundation string conversion, driven by a converter that behaves as CFStringGetBytes
// does with UTF-8, loss byte 0 and a bounded buffer: whole characters only, stopping before an
// unpaired surrogate or a character that no longer fits.

#include "util/macos/cf_string_text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/util/utf8.hpp"

namespace {

using util::macos::cf_string_text;
using util::macos::ConvertedRange;

struct Step {
  std::int64_t start;
  std::int64_t count;
  std::int64_t units;
  std::size_t bytes;
};

class ScriptedString {
 public:
  explicit ScriptedString(std::u16string units) : units_(std::move(units)) {}

  std::string text() {
    return cf_string_text([this] { return static_cast<std::int64_t>(units_.size()); },
                          [this](std::int64_t start, std::int64_t count, std::span<char> buffer) {
                            ConvertedRange r = convert(start, count, buffer);
                            steps.push_back({start, count, r.units, r.bytes});
                            return r;
                          });
  }

  std::vector<Step> steps;

 private:
  static bool high(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
  static bool low(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

  ConvertedRange convert(std::int64_t start, std::int64_t count, std::span<char> buffer) {
    ConvertedRange r;
    std::size_t i = static_cast<std::size_t>(start);
    const std::size_t end = i + static_cast<std::size_t>(count);
    while (i < end) {
      char32_t c = units_[i];
      std::size_t used = 1;
      if (high(c) && i + 1 < end && low(units_[i + 1])) {
        c = 0x10000 + ((c - 0xD800) << 10) + (units_[i + 1] - 0xDC00);
        used = 2;
      } else if (high(c) || low(c)) {
        break;  // no UTF-8 form: loss byte 0 stops here
      }
      std::string encoded;
      common::util::append_utf8(encoded, c);
      // Never split a character across steps.
      if (r.bytes + encoded.size() > buffer.size()) break;
      std::copy(encoded.begin(), encoded.end(),
                buffer.begin() + static_cast<std::ptrdiff_t>(r.bytes));
      r.bytes += encoded.size();
      r.units += static_cast<std::int64_t>(used);
      i += used;
    }
    return r;
  }

  std::u16string units_;
};

TEST(CFStringTextTest, HundredCharactersConvertInFourStepsAndAnEmptyOne) {
  std::u16string units(100, u'k');
  ScriptedString string(units);
  EXPECT_EQ(string.text(), std::string(100, 'k'));
  ASSERT_EQ(string.steps.size(), 5u);
  const std::vector<std::pair<std::int64_t, std::size_t>> expected{
      {0, 32}, {32, 32}, {64, 32}, {96, 4}, {100, 0}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(string.steps[i].start, expected[i].first) << i;
    EXPECT_EQ(string.steps[i].bytes, expected[i].second) << i;
    // Each step asks for the whole rest of the string.
    EXPECT_EQ(string.steps[i].count, 100 - expected[i].first) << i;
  }
}

TEST(CFStringTextTest, EachUnitWithoutAUtf8FormBecomesOneReplacementCharacter) {
  EXPECT_EQ(ScriptedString(u"a\xD800"
                           u"b")
                .text(),
            "a\xEF\xBF\xBD"
            "b");
  // A lone low surrogate, two high ones in a row, and one at the very end.
  EXPECT_EQ(ScriptedString(u"\xDC00\xD800\xD801x\xDBFF").text(),
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx\xEF\xBF\xBD");
  // A proper pair is one character, not two replacements.
  EXPECT_EQ(ScriptedString(u"\xD83D\xDE00").text(), "\xF0\x9F\x98\x80");
}

TEST(CFStringTextTest, CharactersThatStraddleAStepBoundaryAreNotSplit) {
  // 31 ASCII bytes leave one byte of the first step: the four-byte character goes whole into the
  // second step, as do the three-byte characters that follow.
  std::u16string units(31, u'a');
  units += u"\xD83D\xDE00";
  for (int i = 0; i < 20; ++i) units += u'\x20AC';
  ScriptedString string(units);
  std::string expected(31, 'a');
  expected += "\xF0\x9F\x98\x80";
  for (int i = 0; i < 20; ++i) expected += "\xE2\x82\xAC";
  EXPECT_EQ(string.text(), expected);
  ASSERT_GE(string.steps.size(), 2u);
  EXPECT_EQ(string.steps[0].bytes, 31u);
  EXPECT_EQ(string.steps[1].start, 31);
}

TEST(CFStringTextTest, EmptyStringIsOneStepThatConvertsNothing) {
  ScriptedString string(u"");
  EXPECT_EQ(string.text(), "");
  EXPECT_EQ(string.steps.size(), 1u);
}

TEST(CFStringTextTest, AConverterThatOverstatesItsWorkEndsTheTextInsteadOfOverrunning) {
  int calls = 0;
  auto text = cf_string_text([] { return std::int64_t{3}; },
                             [&calls](std::int64_t, std::int64_t count, std::span<char> buffer) {
                               ++calls;
                               buffer[0] = 'x';
                               return ConvertedRange{count + 1, 1};
                             });
  EXPECT_EQ(text, "");
  EXPECT_EQ(calls, 1);
  auto too_many_bytes = cf_string_text([] { return std::int64_t{3}; },
                                       [](std::int64_t, std::int64_t, std::span<char> buffer) {
                                         return ConvertedRange{1, buffer.size() + 1};
                                       });
  EXPECT_EQ(too_many_bytes, "");
}

TEST(CFStringTextTest, LengthIsReadAgainBeforeEveryStep) {
  // A string that shrinks while it is read (another thread editing a mutable string): the
  // conversion follows the length of each moment and still ends.
  std::int64_t length = 40;
  std::vector<std::int64_t> counts;
  auto text = cf_string_text([&length] { return length; },
                             [&](std::int64_t, std::int64_t count, std::span<char> buffer) {
                               counts.push_back(count);
                               if (count == 0) return ConvertedRange{};
                               const std::int64_t n = std::min<std::int64_t>(
                                   count, static_cast<std::int64_t>(buffer.size()));
                               std::fill_n(buffer.begin(), n, 'z');
                               length = 33;
                               return ConvertedRange{n, static_cast<std::size_t>(n)};
                             });
  EXPECT_EQ(text, std::string(33, 'z'));
  EXPECT_EQ(counts, (std::vector<std::int64_t>{40, 1, 0}));
}

}  // namespace
