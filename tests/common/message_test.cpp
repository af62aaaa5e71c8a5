#include "common/ipc/message.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "vectors.hpp"

namespace {

using vectors::from_hex;
using vectors::read_tsv;
using vectors::to_hex;
using vectors::utf8;

namespace msg = common::ipc::message;
using common::ErrorKind;
using msg::IPCCommandMessage;
using msg::IPCResponseMessage;
using msg::ReplaceAppAtomic;
using msg::WaitForExitAndLaunch;

// The decoder's verdict in the vectors' notation.
std::string verdict(std::string_view payload) {
  auto decoded = msg::decode_command(payload);
  if (!decoded) {
    const auto& error = decoded.error();
    if (error.is_os() || error.kind() != ErrorKind::InvalidData) return "wrong error kind";
    for (const char c : error.message()) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
        return "errhex\t" + to_hex(error.message());
      }
    }
    return "err\t" + error.message();
  }
  if (const auto* r = std::get_if<ReplaceAppAtomic>(&*decoded)) {
    return "ok\tReplaceAppAtomic\t" + to_hex(r->source_path) + "\t" + to_hex(r->destination_path);
  }
  const auto& w = std::get<WaitForExitAndLaunch>(*decoded);
  return "ok\tWaitForExitAndLaunch\t" + std::to_string(w.pid) + "\t" + to_hex(w.app_path);
}

// The error text of a payload that must fail.
std::string error_of(std::string_view payload) {
  auto decoded = msg::decode_command(payload);
  if (decoded) return "decoded as " + std::string(msg::command_name(*decoded));
  EXPECT_EQ(decoded.error().kind(), ErrorKind::InvalidData);
  return decoded.error().message();
}

std::string pid_error(std::string_view pid) {
  return error_of(R"({"type":"WaitForExitAndLaunch","pid":)" + std::string(pid) +
                  R"(,"app_path":"/x"})");
}

TEST(MessageVectors, EveryReferenceCaseDecodesAsRecorded) {
  std::ifstream in(std::string(KOLVARIS_TEST_DATA_DIR) + "/commands.tsv");
  ASSERT_TRUE(in);
  std::string line;
  std::size_t cases = 0;
  while (std::getline(in, line)) {
    const std::size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    const std::string payload = from_hex(std::string_view(line).substr(0, tab));
    EXPECT_EQ(verdict(payload), line.substr(tab + 1)) << "payload: " << payload;
    ++cases;
  }
  EXPECT_GT(cases, 300u);
}

TEST(Replies, AreByteExact) {
  EXPECT_EQ(msg::encode_response(IPCResponseMessage::Ok), "{\"type\":\"Ok\"}");
  EXPECT_EQ(msg::encode_response(IPCResponseMessage::Ok).size(), 13u);
  EXPECT_EQ(msg::encode_response(IPCResponseMessage::Err), "{\"type\":\"Err\"}");
  EXPECT_EQ(msg::encode_response(IPCResponseMessage::Err).size(), 14u);
}

TEST(Replies, DecodeInEverySpellingTheRulesAllow) {
  EXPECT_EQ(msg::decode_response(R"({"type":"Ok"})"), IPCResponseMessage::Ok);
  EXPECT_EQ(msg::decode_response(R"({"type":"Err"})"), IPCResponseMessage::Err);
  EXPECT_EQ(msg::decode_response(" {\n \"x\": [1, {}], \"type\" : \"Err\" }\n"),
            IPCResponseMessage::Err);
  EXPECT_EQ(msg::decode_response(R"(["Ok"])"), IPCResponseMessage::Ok);
  EXPECT_EQ(msg::decode_response(R"({"t\u0079pe":"\u004fk"})"), IPCResponseMessage::Ok);
}

TEST(Replies, AnythingElseIsInvalidData) {
  struct Case {
    std::string payload;
    std::string text;
  };
  const std::vector<Case> cases = {
      {R"({"type":"ok"})", "unknown variant `ok`, expected `Ok` or `Err` at line 1 column 12"},
      {R"({"type":"Ok"} x)", "trailing characters at line 1 column 15"},
      {"{}", "missing field `type` at line 1 column 2"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {R"(["Ok",1])", "invalid length 1, expected 0 elements in sequence"},
      {"true",
       "invalid type: boolean `true`, expected internally tagged enum IPCResponseMessage at "
       "line 1 column 4"},
      {R"({"type":"Ok")", "EOF while parsing an object at line 1 column 12"},
  };
  for (const auto& c : cases) {
    auto decoded = msg::decode_response(c.payload);
    ASSERT_FALSE(decoded) << c.payload;
    EXPECT_EQ(decoded.error().kind(), ErrorKind::InvalidData);
    EXPECT_EQ(decoded.error().message(), c.text);
  }
}

TEST(Encoding, CommandsHaveTheirCanonicalCompactForm) {
  EXPECT_EQ(msg::encode_command(WaitForExitAndLaunch{4242, "/Applications/Example.app"}),
            R"({"type":"WaitForExitAndLaunch","pid":4242,"app_path":"/Applications/Example.app"})");
  EXPECT_EQ(msg::encode_command(WaitForExitAndLaunch{4242, "/Applications/Example.app"})->size(),
            81u);
  EXPECT_EQ(msg::encode_command(ReplaceAppAtomic{"/tmp/new/A.app", "/Applications/A.app"}),
            R"({"type":"ReplaceAppAtomic","source_path":"/tmp/new/A.app",)"
            R"("destination_path":"/Applications/A.app"})");
  EXPECT_EQ(msg::encode_command(WaitForExitAndLaunch{4294967295u, ""}),
            R"({"type":"WaitForExitAndLaunch","pid":4294967295,"app_path":""})");
}

TEST(Encoding, EscapesOnlyWhatJsonRequires) {
  std::string controls;
  for (int c = 0; c < 0x20; ++c) controls += static_cast<char>(c);
  auto encoded = msg::encode_command(WaitForExitAndLaunch{0, controls + "\"\\/\x7F\xC3\xA9"});
  ASSERT_TRUE(encoded);
  EXPECT_EQ(*encoded,
            R"({"type":"WaitForExitAndLaunch","pid":0,"app_path":")"
            R"(\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
            R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c)"
            R"(\u001d\u001e\u001f\"\\/)"
            "\x7F\xC3\xA9\"}");
}

TEST(Encoding, PathsThatAreNotUtf8AreRefused) {
  const std::vector<std::string> bad = {"\xFF",       "/a\xC0\x80",       "\xED\xA0\x80",
                                        "/x\xE2\x82", "\xF4\x90\x80\x80", "\x80"};
  for (const auto& path : bad) {
    for (const IPCCommandMessage& command :
         std::vector<IPCCommandMessage>{ReplaceAppAtomic{path, "/b"}, ReplaceAppAtomic{"/a", path},
                                        WaitForExitAndLaunch{1, path}}) {
      auto encoded = msg::encode_command(command);
      ASSERT_FALSE(encoded) << to_hex(path);
      EXPECT_EQ(encoded.error().kind(), ErrorKind::InvalidData);
      EXPECT_EQ(encoded.error().message(), "path contains invalid UTF-8 characters");
    }
  }
}

TEST(Encoding, CanonicalFormRoundTripsThroughTheDecoder) {
  std::string every_ascii;
  for (int c = 0; c < 0x80; ++c) every_ascii += static_cast<char>(c);
  const std::vector<std::string> paths = {
      "",
      "/Applications/Example.app",
      every_ascii,
      std::string("/a\0b", 4),
      "/\xC3\x89t\xC3\xA9/\xE6\x97\xA5\xE6\x9C\xAC/\xF0\x9F\x98\x80/\xE2\x80\xA8/\xEF\xBB\xBF",
      "e\xCC\x81",
      std::string(100000, 'a'),
  };
  for (const auto& path : paths) {
    for (const IPCCommandMessage& command : std::vector<IPCCommandMessage>{
             ReplaceAppAtomic{path, "/b"}, ReplaceAppAtomic{"/a", path},
             WaitForExitAndLaunch{0, path}, WaitForExitAndLaunch{4294967295u, path},
             WaitForExitAndLaunch{4242, path}}) {
      auto encoded = msg::encode_command(command);
      ASSERT_TRUE(encoded) << to_hex(path);
      auto decoded = msg::decode_command(*encoded);
      ASSERT_TRUE(decoded) << *encoded << ": " << decoded.error().message();
      EXPECT_EQ(*decoded, command);
    }
  }
}

TEST(Encoding, CommandNames) {
  EXPECT_EQ(msg::command_name(ReplaceAppAtomic{}), "ReplaceAppAtomic");
  EXPECT_EQ(msg::command_name(WaitForExitAndLaunch{}), "WaitForExitAndLaunch");
}

// An extra member holding `depth` nested containers, inside the command object.
std::string nested_extra(std::size_t depth, char open, char close, char inner_open = 0) {
  std::string payload = R"({"type":"WaitForExitAndLaunch","pid":1,"app_path":"/x","n":)";
  for (std::size_t i = 0; i < depth; ++i) {
    payload += (inner_open && i % 2) ? inner_open : open;
    if ((inner_open && i % 2 ? inner_open : open) == '{') payload += R"("k":)";
  }
  if (depth > 0 && payload.back() == ':') payload += "0";
  for (std::size_t i = depth; i-- > 0;) {
    payload += (inner_open && i % 2) ? (inner_open == '[' ? ']' : '}') : close;
  }
  return payload + "}";
}

TEST(Nesting, HundredTwentySevenLevelsPassTheHundredTwentyEighthIsRefused) {
  // The command object is the first level.
  EXPECT_EQ(verdict(nested_extra(126, '[', ']')), "ok\tWaitForExitAndLaunch\t1\t2f78");
  EXPECT_EQ(verdict(nested_extra(126, '{', '}')), "ok\tWaitForExitAndLaunch\t1\t2f78");
  EXPECT_EQ(verdict(nested_extra(126, '[', ']', '{')), "ok\tWaitForExitAndLaunch\t1\t2f78");

  const std::size_t prefix = std::string(R"({"type":"WaitForExitAndLaunch","pid":1,)"
                                         R"("app_path":"/x","n":)")
                                 .size();
  // Reported on the opening bracket of the 128th level (columns count that bracket).
  EXPECT_EQ(error_of(nested_extra(127, '[', ']')),
            "recursion limit exceeded at line 1 column " + std::to_string(prefix + 127));
  EXPECT_EQ(error_of(nested_extra(127, '{', '}')),
            "recursion limit exceeded at line 1 column " + std::to_string(prefix + 127 * 5 - 4));
}

TEST(Nesting, ArrayFormCountsItsOwnLevel) {
  auto array_form = [](std::size_t depth) {
    return R"(["ReplaceAppAtomic","/a",)" + std::string(depth, '[') + std::string(depth, ']') + "]";
  };
  EXPECT_EQ(error_of(array_form(126)), "invalid type: sequence, expected path string");
  EXPECT_EQ(error_of(array_form(127)), "recursion limit exceeded at line 1 column 152");
}

TEST(Nesting, VeryDeepInputFailsWithoutExhaustingTheStack) {
  const std::string deep_arrays(1'000'000, '[');
  EXPECT_EQ(error_of(R"({"type":"ReplaceAppAtomic","x":)" + deep_arrays),
            "recursion limit exceeded at line 1 column 158");
  // A tag position holding an array is refused before the array is read.
  EXPECT_EQ(error_of(deep_arrays),
            "invalid type: sequence, expected variant identifier at line 1 "
            "column 1");
  std::string deep_objects;
  for (int i = 0; i < 200'000; ++i) deep_objects += R"({"a":)";
  EXPECT_EQ(error_of(deep_objects), "recursion limit exceeded at line 1 column 636");
}

TEST(Numbers, PidRangeAndTypes) {
  EXPECT_EQ(verdict(R"({"type":"WaitForExitAndLaunch","pid":4294967295,"app_path":""})"),
            "ok\tWaitForExitAndLaunch\t4294967295\t");
  EXPECT_EQ(pid_error("4294967296"), "invalid value: integer `4294967296`, expected u32");
  EXPECT_EQ(pid_error("-9223372036854775808"),
            "invalid value: integer `-9223372036854775808`, expected u32");
  EXPECT_EQ(pid_error("1.0e0"), "invalid type: floating point `1.0`, expected u32");
  EXPECT_EQ(pid_error(R"("1")"), "invalid type: string \"1\", expected u32");
}

TEST(Numbers, BeyondSixtyFourBitsAreFloats) {
  EXPECT_EQ(pid_error("18446744073709551615"),
            "invalid value: integer `18446744073709551615`, expected u32");
  EXPECT_EQ(pid_error("18446744073709551616"),
            "invalid type: floating point `1.8446744073709552e+19`, expected u32");
  EXPECT_EQ(pid_error("1" + std::string(300, '0')),
            "invalid type: floating point `1e+300`, expected u32");
  EXPECT_EQ(pid_error("1" + std::string(400, '0')), "number out of range at line 1 column 438");
  EXPECT_EQ(pid_error("-1" + std::string(30, '0') + ".5"),
            "invalid type: floating point `-1e+30`, expected u32");
  // Digits beyond what 64 bits hold after the point no longer count.
  EXPECT_EQ(pid_error("0." + std::string(400, '1')),
            "invalid type: floating point `0.1111111111111111`, expected u32");
}

TEST(Numbers, ExponentExtremes) {
  EXPECT_EQ(pid_error("1e308"), "invalid type: floating point `1e+308`, expected u32");
  EXPECT_EQ(pid_error("1e309"), "number out of range at line 1 column 42");
  EXPECT_EQ(pid_error("1e-320"), "invalid type: floating point `1e-320`, expected u32");
  EXPECT_EQ(pid_error("1e-400"), "invalid type: floating point `0.0`, expected u32");
  EXPECT_EQ(pid_error("-1e-400"), "invalid type: floating point `-0.0`, expected u32");
  EXPECT_EQ(pid_error("0e99999999999"), "invalid type: floating point `0.0`, expected u32");
  EXPECT_EQ(pid_error("1e-99999999999"), "invalid type: floating point `0.0`, expected u32");
  // An exponent beyond 32 bits is refused at the digit where it overflows.
  EXPECT_EQ(pid_error("1e99999999999"), "number out of range at line 1 column 49");
  EXPECT_EQ(pid_error("1" + std::string(20, '0') + "e-20"),
            "invalid type: floating point `1.0`, expected u32");
}

TEST(Numbers, FloatsUseTheShortestDigitsInTwoNotations) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"0.00001", "0.00001"},
      {"0.000012345", "0.000012345"},
      {"0.000001", "1e-6"},
      {"1000000000000000.0", "1000000000000000.0"},
      {"9999999999999998.0", "9999999999999998.0"},
      {"1e16", "1e+16"},
      {"12345678901234567890.0", "1.2345678901234567e+19"},
      {"123456.789", "123456.789"},
      {"-2.5e-10", "-2.5e-10"},
      {"0.1", "0.1"},
      {"0.30000000000000004", "0.30000000000000004"},
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"5e-324", "5e-324"},
  };
  for (const auto& [input, shown] : cases) {
    EXPECT_EQ(pid_error(input), "invalid type: floating point `" + shown + "`, expected u32")
        << input;
  }
}

TEST(Matching, FirstFailingMemberInOrderOfAppearanceWins) {
  EXPECT_EQ(error_of(R"({"type":"WaitForExitAndLaunch","app_path":1,"pid":"x"})"),
            "invalid type: integer `1`, expected path string");
  EXPECT_EQ(error_of(R"({"type":"WaitForExitAndLaunch","pid":"x","app_path":1})"),
            "invalid type: string \"x\", expected u32");
  // A repeated field before an unconvertible one, and the other way round.
  EXPECT_EQ(error_of(R"({"type":"ReplaceAppAtomic","destination_path":"/b",)"
                     R"("destination_path":"/c","source_path":1})"),
            "duplicate field `destination_path`");
  EXPECT_EQ(error_of(R"({"source_path":1,"type":"ReplaceAppAtomic","destination_path":"/b",)"
                     R"("destination_path":"/c"})"),
            "invalid type: integer `1`, expected path string");
  // Missing fields are reported in declaration order, after every held member passed.
  EXPECT_EQ(error_of(R"({"type":"ReplaceAppAtomic","extra":1})"), "missing field `source_path`");
  EXPECT_EQ(error_of(R"({"source_path":"/a","type":"ReplaceAppAtomic"})"),
            "missing field `destination_path`");
}

TEST(Matching, MembersNamedForTheOtherVariantAreIgnored) {
  EXPECT_EQ(verdict(R"({"pid":"x","pid":[],"app_path":{},"source_path":"/a",)"
                    R"("type":"ReplaceAppAtomic","destination_path":"/b"})"),
            "ok\tReplaceAppAtomic\t2f61\t2f62");
  EXPECT_EQ(verdict(R"({"source_path":1,"source_path":2,"type":"WaitForExitAndLaunch",)"
                    R"("pid":7,"app_path":"/x"})"),
            "ok\tWaitForExitAndLaunch\t7\t2f78");
}

TEST(Matching, SyntaxFailuresAfterASchemaFailureStillWin) {
  // Fields are matched only once the object has been read whole.
  EXPECT_EQ(error_of(R"({"type":"WaitForExitAndLaunch","pid":"x","app_path":"/x", bad})"),
            "key must be a string at line 1 column 59");
  EXPECT_EQ(error_of(R"({"type":"WaitForExitAndLaunch","pid":"x","extra":[1,]})"),
            "trailing comma at line 1 column 53");
  // ...but trailing text is looked at only after a successful match.
  EXPECT_EQ(error_of(R"({"type":"WaitForExitAndLaunch"} x)"), "missing field `pid`");
  EXPECT_EQ(error_of(R"(["ReplaceAppAtomic","/a"] x)"),
            "invalid length 1, expected struct variant IPCCommandMessage::ReplaceAppAtomic "
            "with 2 elements");
}

TEST(Tag, ASecondTagIsReportedWhereTheObjectWouldClose) {
  EXPECT_EQ(error_of(R"({"type":"ReplaceAppAtomic","type":1})"),
            "duplicate field `type` at line 1 column 33");
  EXPECT_EQ(error_of(R"({"type":"ReplaceAppAtomic","type"  :1})"),
            "duplicate field `type` at line 1 column 35");
  EXPECT_EQ(error_of("{\"type\":\"ReplaceAppAtomic\",\"type\"\n:1}"),
            "duplicate field `type` at line 2 column 0");
  EXPECT_EQ(error_of(R"({"type":"ReplaceAppAtomic","type" })"),
            "duplicate field `type` at line 1 column 35");
}

TEST(Tag, IsCheckedAsSoonAsItIsRead) {
  // The unknown tag is reported although the object is broken further on.
  EXPECT_EQ(error_of(R"({"a":[],"type":"Nope",)"),
            "unknown variant `Nope`, expected `ReplaceAppAtomic` or `WaitForExitAndLaunch` at "
            "line 1 column 21");
  // A tag with an escape is compared once decoded; the text quotes it decoded.
  EXPECT_EQ(error_of(R"({"type":"\u0052eplace"})"),
            "unknown variant `Replace`, expected `ReplaceAppAtomic` or `WaitForExitAndLaunch` at "
            "line 1 column 22");
  EXPECT_EQ(error_of(R"({"type":"\ud83d\ude00"})"),
            "unknown variant `\xF0\x9F\x98\x80`, expected `ReplaceAppAtomic` or "
            "`WaitForExitAndLaunch` at line 1 column 22");
}

TEST(Strings, Utf8IsCheckedWhereverAStringStands) {
  // In an ignored member's nested key, and across an escape.
  EXPECT_EQ(error_of("{\"x\":{\"\xC3\":1}}"), "invalid unicode code point at line 1 column 9");
  EXPECT_EQ(error_of("{\"x\":\"\xC3\\u00a9\"}"), "invalid unicode code point at line 1 column 14");
  EXPECT_EQ(error_of("{\"x\":\"\\u00a9\xA9\"}"), "invalid unicode code point at line 1 column 14");
  // A later syntax failure inside the same string is reported first.
  EXPECT_EQ(error_of("{\"x\":\"\xFF\\q\"}"), "invalid escape at line 1 column 9");
  EXPECT_EQ(error_of("{\"x\":\"\xFF"), "EOF while parsing a string at line 1 column 7");
}

TEST(Strings, SurrogateEscapes) {
  EXPECT_EQ(error_of(R"({"x":"\ud800)"), "EOF while parsing a string at line 1 column 12");
  EXPECT_EQ(error_of(R"({"x":"\ud800\)"), "EOF while parsing a string at line 1 column 13");
  EXPECT_EQ(error_of(R"({"x":"\ud800\u12)"), "EOF while parsing a string at line 1 column 16");
  EXPECT_EQ(error_of(R"({"x":"\udbff\udfff","type":"x"})"),
            "unknown variant `x`, expected `ReplaceAppAtomic` or `WaitForExitAndLaunch` at "
            "line 1 column 30");
}

TEST(Scale, ManyMembersAndLongValuesDecode) {
  std::string payload = R"({"type":"WaitForExitAndLaunch")";
  for (int i = 0; i < 100'000; ++i) payload += R"(,"x":[1,2.5,"s",{"k":null}])";
  payload += R"(,"pid":9,"app_path":")" + std::string(1 << 20, 'p') + R"("})";
  auto decoded = msg::decode_command(payload);
  ASSERT_TRUE(decoded) << decoded.error().message();
  EXPECT_EQ(std::get<WaitForExitAndLaunch>(*decoded).app_path.size(), std::size_t{1} << 20);

  std::string repeated = R"({"type":"WaitForExitAndLaunch")";
  for (int i = 0; i < 100'000; ++i) repeated += R"(,"pid":1)";
  EXPECT_EQ(error_of(repeated + "}"), "duplicate field `pid`");
  EXPECT_EQ(error_of(repeated), "EOF while parsing an object at line 1 column 800030");
}

}  // namespace

// --- Protocol 2, asked for by the "protocol" member ------------------------------------------

std::uint32_t protocol_of(std::string_view payload) {
  auto received = msg::decode_received_command(payload);
  EXPECT_TRUE(received) << payload;
  return received ? received->protocol : 0;
}

TEST(Protocol, OnlyAnIntegerOfTwoOrMoreAsksForTheSecond) {
  const std::string head = R"({"type":"WaitForExitAndLaunch","pid":1,"app_path":"/x")";
  EXPECT_EQ(protocol_of(head + "}"), 1u);
  EXPECT_EQ(protocol_of(head + R"(,"protocol":2})"), 2u);
  EXPECT_EQ(protocol_of(head + R"(,"protocol":18446744073709551615})"), 2u);
  EXPECT_EQ(
      protocol_of(
          R"({"protocol":2,"type":"ReplaceAppAtomic","source_path":"/a","destination_path":"/b"})"),
      2u);
  for (const char* value : {"1", "0", "-2", "2.0", "2e0", "\"2\"", "true", "null", "[2]", "{}",
                            "99999999999999999999999"}) {
    SCOPED_TRACE(value);
    EXPECT_EQ(protocol_of(head + R"(,"protocol":)" + value + "}"), 1u);
  }
  // The first occurrence counts; a second is ignored as any unknown member is, never refused.
  EXPECT_EQ(protocol_of(head + R"(,"protocol":1,"protocol":2})"), 1u);
  EXPECT_EQ(protocol_of(head + R"(,"protocol":2,"protocol":"x"})"), 2u);
  EXPECT_EQ(protocol_of(R"(["WaitForExitAndLaunch",1,"/x"])"), 1u);
}

TEST(Protocol, TheMemberChangesNoVerdictOfTheDecoder) {
  // A command that fails, fails the same with the member; one that decodes, decodes the same.
  EXPECT_EQ(error_of(R"({"type":"WaitForExitAndLaunch","app_path":"/x","protocol":2})"),
            "missing field `pid`");
  EXPECT_EQ(error_of(R"({"protocol":2,"type":"Wait"})"),
            "unknown variant `Wait`, expected `ReplaceAppAtomic` or `WaitForExitAndLaunch` at "
            "line 1 column 27");
  EXPECT_EQ(error_of(R"({"type":"ReplaceAppAtomic","protocol":[1,)"),
            "EOF while parsing a value at line 1 column 41");
  auto plain = msg::decode_command(R"({"type":"WaitForExitAndLaunch","pid":5,"app_path":"/x"})");
  auto asked = msg::decode_command(
      R"({"type":"WaitForExitAndLaunch","pid":5,"app_path":"/x","protocol":2})");
  ASSERT_TRUE(plain && asked);
  EXPECT_EQ(*plain, *asked);
}

TEST(Protocol, CommandsAskForItAfterTheirFields) {
  auto encoded = msg::encode_command(WaitForExitAndLaunch{9, "/A.app"}, msg::PROTOCOL_REASONS);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(*encoded,
            R"({"type":"WaitForExitAndLaunch","pid":9,"app_path":"/A.app","protocol":2})");
  EXPECT_EQ(msg::encode_command(ReplaceAppAtomic{"/a", "/b"}, msg::PROTOCOL_ORIGINAL),
            msg::encode_command(ReplaceAppAtomic{"/a", "/b"}));
  auto received = msg::decode_received_command(*encoded);
  ASSERT_TRUE(received);
  EXPECT_EQ(received->protocol, msg::PROTOCOL_REASONS);
  EXPECT_EQ(received->command, (IPCCommandMessage{WaitForExitAndLaunch{9, "/A.app"}}));
}

TEST(Protocol, OriginalRepliesStayByteExactWhateverTheReason) {
  const auto failure = msg::Response::failure(
      msg::PROTOCOL_ORIGINAL,
      common::Error::other("Refusing to install").with_reason(common::Reason::Downgrade));
  EXPECT_EQ(msg::encode_response(failure), "{\"type\":\"Err\"}");
  EXPECT_EQ(msg::encode_response(msg::Response::ok(msg::PROTOCOL_ORIGINAL)), "{\"type\":\"Ok\"}");
  EXPECT_EQ(msg::encode_response(msg::Response::err()), "{\"type\":\"Err\"}");
}

TEST(Protocol, RepliesDecodeWithTheirReasonAndMessage) {
  auto accepted = msg::decode_reply(R"({"type":"Accepted"})");
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->type, msg::ResponseType::Accepted);
  auto err = msg::decode_reply(R"({"message":"full","x":[{}],"reason":"no_space","type":"Err"})");
  ASSERT_TRUE(err);
  EXPECT_EQ(err->type, msg::ResponseType::Err);
  EXPECT_EQ(err->reason, common::Reason::NoSpace);
  EXPECT_EQ(err->message, "full");
  // An older helper's bare Err, and a code added after this side was built.
  auto bare = msg::decode_reply(R"({"type":"Err"})");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->reason, common::Reason::Unspecified);
  EXPECT_EQ(bare->message, "");
  auto newer = msg::decode_reply(R"({"type":"Err","reason":"quarantined","message":7})");
  ASSERT_TRUE(newer);
  EXPECT_EQ(newer->reason, common::Reason::Unspecified);
  EXPECT_EQ(newer->message, "");
  EXPECT_FALSE(msg::decode_reply(R"({"type":"Maybe"})"));
}

TEST(Protocol, EveryReasonHasACodeThatReadsBack) {
  for (auto reason :
       {common::Reason::BadRequest, common::Reason::NotSigned, common::Reason::Downgrade,
        common::Reason::NotTheApplication, common::Reason::NotFound, common::Reason::NotPermitted,
        common::Reason::ReadOnlyVolume, common::Reason::NoSpace, common::Reason::ExitWaitTimedOut,
        common::Reason::IoError}) {
    const auto code = msg::reason_code(reason);
    EXPECT_EQ(msg::reason_from_code(code), reason) << code;
    auto reply = msg::decode_reply(msg::encode_response(msg::Response::failure(
        msg::PROTOCOL_REASONS, common::Error::other("x").with_reason(reason))));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->reason, reason);
  }
  EXPECT_EQ(msg::reason_code(common::Reason::Unspecified), "io_error");
}
