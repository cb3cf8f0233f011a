#include "text/text_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/testing/test_sockets.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Encode(const Bytes& data) {
  std::string out(Base64EncodedLength(data.size()), '\0');
  size_t length = out.size();
  const uint8_t none = 0;  // a valid pointer for empty input
  EXPECT_TRUE(Base64Encode(data.empty() ? &none : data.data(), data.size(), out.data(), length));
  out.resize(length);
  return out;
}

Bytes Decode(std::string_view text) {
  Bytes out(text.size() + 1);
  size_t length = out.size();
  EXPECT_TRUE(Base64Decode(text.data(), text.size(), out.data(), length));
  out.resize(length);
  return out;
}

Bytes Sequence(size_t n) {
  Bytes data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  return data;
}

struct ParamCase {
  const char* name;
  const char* key;
  const char* separator;
  const char* text;
  const char* terminators;
  const char* expected;
};

class GetParamValueTest : public ::testing::TestWithParam<ParamCase> {};

TEST_P(GetParamValueTest, FindsValue) {
  const ParamCase& c = GetParam();
  EXPECT_EQ(GetParamValue(c.key, c.separator, c.text, c.terminators), c.expected) << c.name;
}

constexpr char kChallenge[] = R"( realm="GStreamer RTSP Server", nonce="a88bcbc6547f186b")";
constexpr char kChallengeWithCnonce[] = R"( realm="r", cnonce="wrong", nonce="right")";

INSTANTIATE_TEST_SUITE_P(
    Table, GetParamValueTest,
    ::testing::Values(
        ParamCase{"realm keeps its quotes", "realm", "=", kChallenge, ",\r\n",
                  R"("GStreamer RTSP Server")"},
        ParamCase{"nonce after comma and blank", "nonce", "=", kChallenge, ",\r\n",
                  R"("a88bcbc6547f186b")"},
        ParamCase{"cnonce is the tail of a longer key", "nonce", "=", kChallengeWithCnonce,
                  ",\r\n", R"("right")"},
        ParamCase{"only a longer key", "nonce", "=", R"(realm="r", cnonce="x")", ",\r\n", ""},
        // "m" first stands inside "format" before the first ';', so the search resumes after
        // that parameter's '=' and skips the proper m=... that precedes it.
        ParamCase{"name inside another word before a terminator", "m", "=",
                  "format;m=1;x=2", ";", ""},
        ParamCase{"name inside a word, proper parameter after the separator", "m", "=",
                  "format;y=2;m=7", ";", "7"},
        ParamCase{"empty value then a real one", "timeout", "=", "timeout=;timeout=60", ";",
                  "60"},
        ParamCase{"empty value at the end", "timeout", "=", "timeout=", ";", ""},
        ParamCase{"value to end of text", "a", "=", "a=xyz", ";", "xyz"},
        ParamCase{"blanks before the key", "b", "=", "a=1;  \tb=2", ";", "2"},
        ParamCase{"other text before the key", "b", "=", "a=1; x b=2", ";", ""},
        ParamCase{"case sensitive", "Timeout", "=", "timeout=5", ";", ""},
        ParamCase{"first parameter after a prefix not found", "sprop-parameter-sets", "=",
                  "a=fmtp:96 sprop-parameter-sets=Z0I=,aM4=", ";\r\n", ""},
        ParamCase{"multi-character separator", "Session:", " ", "Session: abc;timeout=9",
                  ";\r\n", "abc"},
        ParamCase{"no separator", "a", "=", "a;b", ";", ""},
        ParamCase{"empty name", "", "=", "a=1", ";", ""},
        ParamCase{"empty separator", "a", "", "a=1", ";", ""},
        ParamCase{"empty terminators", "a", "=", "a=1", "", ""},
        ParamCase{"name equal to a terminator does not loop", ";", ";", ";;;;", ";", ""},
        ParamCase{"separator equal to the name does not loop", "=", "=", "====", ";", ""}));

TEST(GetParamIntTest, ReadsLeadingDigitsAndDefaultsToZero) {
  EXPECT_EQ(GetParamInt("timeout", "=", "id;timeout=60", ";"), 60);
  EXPECT_EQ(GetParamInt("timeout", "=", "id;timeout=12s", ";"), 12);
  EXPECT_EQ(GetParamInt("timeout", "=", "id;timeout=-4", ";"), -4);
  EXPECT_EQ(GetParamInt("timeout", "=", "id;timeout=abc", ";"), 0);
  EXPECT_EQ(GetParamInt("timeout", "=", "id", ";"), 0);
  EXPECT_EQ(GetParamInt("t", "=", "t=99999999999999999999", ";"), INT32_MAX);
}

TEST(SplitStringTest, BehavesLikeRepeatedLineReads) {
  EXPECT_EQ(SplitString("a,,b,", ','), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(SplitString("", ','), std::vector<std::string>{});
  EXPECT_EQ(SplitString(",", ','), std::vector<std::string>{""});
  EXPECT_EQ(SplitString("video 0 RTP/AVP 96", ' '),
            (std::vector<std::string>{"video", "0", "RTP/AVP", "96"}));
  EXPECT_EQ(SplitString(",x", ','), (std::vector<std::string>{"", "x"}));
  // The reader gives the same pieces, and keeps saying so once it is through.
  PieceReader pieces("a,,b,", ',');
  std::vector<std::string_view> read;
  for (std::string_view piece; pieces.Next(piece);) read.push_back(piece);
  std::string_view after;
  EXPECT_FALSE(pieces.Next(after));
  EXPECT_EQ(read, (std::vector<std::string_view>{"a", "", "b"}));
}

// The same answers as std::string_view::find_first_of, across and past the search windows.
TEST(FindAnyOfTest, AnswersAsFindFirstOf) {
  const std::string long_line = std::string(600, 'x') + "\n" + std::string(300, 'y') + "\r";
  const std::string_view texts[] = {"", "abc", "a\r\nb", "\n\r", long_line};
  const std::string_view sets[] = {"\r\n", "\n", "xy", "q", ""};
  for (const std::string_view text : texts) {
    for (const std::string_view set : sets) {
      for (const size_t from : {size_t{0}, size_t{1}, size_t{256}, size_t{601}, size_t{2000}}) {
        EXPECT_EQ(FindAnyOf(text, set, from), text.find_first_of(set, from))
            << text.size() << " '" << set << "' " << from;
      }
    }
  }
}

TEST(IsIntegerTest, Table) {
  struct Case {
    const char* text;
    bool ok;
    int value;
  };
  const Case cases[] = {
      {"", false, 0},      {"-", false, 0},           {"+", false, 0},
      {"12a", false, 0},   {" 12", false, 0},         {"12 ", false, 0},
      {"-42", true, -42},  {"+7", true, 7},           {"0", true, 0},
      {"2147483647", true, 2147483647}, {"2147483648", false, 0}, {"--1", false, 0},
  };
  for (const Case& c : cases) {
    int value = 12345;
    EXPECT_EQ(IsInteger(c.text, value), c.ok) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(IntervalToRateTest, RoundsHalvesUp) {
  EXPECT_EQ(IntervalToRate(40), 25u);
  EXPECT_EQ(IntervalToRate(3), 333u);
  EXPECT_EQ(IntervalToRate(0), 1u);
  EXPECT_EQ(IntervalToRate(1), 1000u);
  EXPECT_EQ(IntervalToRate(400), 3u);    // 2.5 rounds up
  EXPECT_EQ(IntervalToRate(2001), 0u);   // 0.4998 rounds down
  EXPECT_EQ(IntervalToRate(2000), 1u);   // 0.5 rounds up
  EXPECT_EQ(IntervalToRate(67), 15u);    // 14.93
  EXPECT_EQ(IntervalToRate(UINT32_MAX), 0u);
}

TEST(TextFoldingTest, TrimRemoveAndCase) {
  EXPECT_EQ(TrimBlanks(" \t a b \t "), "a b");
  EXPECT_EQ(TrimBlanks(" \t "), "");
  EXPECT_EQ(TrimBlanks("\r\nx\r\n"), "\r\nx\r\n");  // only blanks and tabs
  EXPECT_EQ(RemoveChars("\"", R"("quoted" "x")"), "quoted x");
  EXPECT_EQ(RemoveChars("ab", "abcabd"), "cd");
  EXPECT_EQ(ToLowerCopy("Content-Base: RTSP://X"), "content-base: rtsp://x");
  EXPECT_EQ(ToUpperCopy("mjpeg\xe9"), "MJPEG\xe9");
}

TEST(FormatStringTest, FormatsAndKeepsLongText) {
  EXPECT_EQ(FormatString("%s: %u", "korvane::X", 42u), "korvane::X: 42");
  const std::string big(5000, 'x');
  EXPECT_EQ(FormatString("<%s>", big.c_str()), "<" + big + ">");
  EXPECT_EQ(FormatString("%s", ""), "");
  EXPECT_EQ(FormatString("%%d stays"), "%d stays");
}

TEST(ResolveHostTest, DottedAndNames) {
  EXPECT_EQ(ResolveHost(""), 0u);
  EXPECT_EQ(ResolveHost("127.0.0.1"), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(ResolveHost("127.1.2.3"), htonl(0x7F010203));
  EXPECT_EQ(ResolveHost("localhost"), htonl(INADDR_LOOPBACK));
  // A failing name lookup is not tried here: it would ask the configured DNS server.
}

// RFC 1321 appendix A.5 test suite.
TEST(Md5HexTest, Rfc1321Suite) {
  struct Case {
    const char* text;
    const char* digest;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : cases) EXPECT_EQ(Md5Hex(c.text), c.digest) << c.text;
}

TEST(Md5HexTest, PaddingBoundaries) {
  // 55, 56 and 64 bytes straddle the length field; values from coreutils md5sum.
  EXPECT_EQ(Md5Hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(Md5Hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(Md5Hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
  EXPECT_EQ(Md5Hex(std::string(1000, 'a')), "cabe45dcc9ae5b66ba86600cca6b8ba8");
}

TEST(Md5HexTest, DigestResponseOfRfc2617Example) {
  // RFC 2617 section 3.5 (without qop, RFC 2069 style): HA1, HA2 and the response.
  const std::string ha1 = Md5Hex("Mufasa:testrealm@host.com:Circle Of Life");
  EXPECT_EQ(ha1, "939e7578ed9e3c518a452acee763bce9");
  EXPECT_EQ(Md5HexOfPair("GET", "/dir/index.html"), "39aff3a2bab6126f332b942af96d3366");
  EXPECT_EQ(Md5HexOfPair(ha1, "dcd98b7102dd2f0e8b11d0f600bfb0c093:39aff3a2bab6126f332b942af96d3366"),
            "670fd8c2df070c60b045671b8b24ff02");
}

TEST(Base64EncodedLengthTest, Table) {
  EXPECT_EQ(Base64EncodedLength(0), 2u);
  EXPECT_EQ(Base64EncodedLength(1), 6u);
  EXPECT_EQ(Base64EncodedLength(57), 80u);
  EXPECT_EQ(Base64EncodedLength(72), 100u);
  EXPECT_EQ(Base64EncodedLength(73), 104u);
  EXPECT_EQ(Base64EncodedLength((size_t{1} << 29) - 1) > 0, true);
  EXPECT_EQ(Base64EncodedLength(size_t{1} << 29), 0u);
}

TEST(Base64EncodeTest, Rfc4648Vectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    const std::string text(plain);
    EXPECT_EQ(Encode(Bytes(text.begin(), text.end())), encoded) << plain;
    const Bytes decoded = Decode(encoded);
    EXPECT_EQ(std::string(decoded.begin(), decoded.end()), plain);
  }
}

TEST(Base64EncodeTest, LineBreaks) {
  const std::string one_line = Encode(Sequence(57));
  EXPECT_EQ(one_line.size(), 78u);
  EXPECT_EQ(one_line.substr(76), "\r\n");  // a multiple of 57 ends with CR LF
  EXPECT_EQ(Encode(Sequence(56)).find('\r'), std::string::npos);
  const std::string two_lines = Encode(Sequence(58));
  EXPECT_EQ(two_lines.size(), 82u);
  EXPECT_EQ(two_lines.substr(76, 2), "\r\n");
  EXPECT_EQ(two_lines.substr(80), "==");
  const std::string long_text = Encode(Sequence(200));
  for (size_t pos = 76; pos < long_text.size(); pos += 78) EXPECT_EQ(long_text.substr(pos, 2), "\r\n");
  EXPECT_EQ(Decode(long_text), Sequence(200));
}

TEST(Base64EncodeTest, RefusesSmallBufferOrNull) {
  const Bytes data = Sequence(10);
  char out[64];
  size_t length = Base64EncodedLength(10) - 1;
  EXPECT_FALSE(Base64Encode(data.data(), data.size(), out, length));
  length = sizeof(out);
  EXPECT_FALSE(Base64Encode(nullptr, 1, out, length));
  EXPECT_FALSE(Base64Encode(data.data(), data.size(), nullptr, length));
}

TEST(Base64DecodeTest, SkipsLineBreaksAndStrayCharacters) {
  EXPECT_EQ(Decode("Zm9v\r\nYmFy"), Decode("Zm9vYmFy"));
  EXPECT_EQ(Decode("Zm9v\r\nYg=="), Decode("Zm9vYg=="));
  EXPECT_EQ(Decode(" Zm 9v*Yg"), Decode("Zm9vYg"));
  // '=' does not end a group: padding in the middle is skipped like any stray character.
  EXPECT_EQ(Decode("Zm9vYg==Zg=="), Decode("Zm9vYgZg"));
  EXPECT_EQ(Decode("Zm9vYg==Zg==").size(), 6u);
}

TEST(Base64DecodeTest, IncompleteGroupsAndNul) {
  EXPECT_EQ(Decode("Zm9vYg"), (Bytes{'f', 'o', 'o', 'b'}));    // 2 characters give 1 byte
  EXPECT_EQ(Decode("Zm9vYmE"), (Bytes{'f', 'o', 'o', 'b', 'a'}));  // 3 give 2
  EXPECT_EQ(Decode("Zm9vY"), (Bytes{'f', 'o', 'o'}));           // 1 gives none
  const char with_nul[] = "Zm9v\0YmFy";
  EXPECT_EQ(Decode(std::string_view(with_nul, sizeof(with_nul) - 1)), (Bytes{'f', 'o', 'o'}));
}

TEST(Base64DecodeTest, SmallBufferReportsFullSizeAndStaysInBounds) {
  uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  size_t length = 2;
  EXPECT_FALSE(Base64Decode("Zm9vYmFy", 8, out, length));
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(out[2], 0xEE);  // nothing past the given capacity
  length = 100;
  EXPECT_FALSE(Base64Decode("Zm9v", 4, nullptr, length));
  EXPECT_EQ(length, 3u);
}

TEST(MakeBasicCredentialsTest, OneLineOfAnyLength) {
  std::string out;
  ASSERT_TRUE(MakeBasicCredentials("Aladdin", "open sesame", out));
  EXPECT_EQ(out, "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");  // RFC 7617 section 2
  // 56 + ':' = 57 bytes: a MIME encoder would end with CR LF; 71 + ':' would break the line.
  for (size_t user_length : {56u, 60u, 71u, 72u, 300u}) {
    const std::string user(user_length, 'u');
    ASSERT_TRUE(MakeBasicCredentials(user, "p", out)) << user_length;
    EXPECT_EQ(out.find_first_of("\r\n"), std::string::npos) << user_length;
    EXPECT_EQ(out.size(), (user_length + 2 + 2) / 3 * 4) << user_length;
    const Bytes decoded = Decode(out);
    EXPECT_EQ(std::string(decoded.begin(), decoded.end()), user + ":p");
  }
  ASSERT_TRUE(MakeBasicCredentials("", "", out));
  EXPECT_EQ(out, "Og==");
}

TEST(HexToBytesTest, Table) {
  Bytes out{9, 9};
  HexToBytes("000001b0", out);
  EXPECT_EQ(out, (Bytes{0x00, 0x00, 0x01, 0xB0}));
  HexToBytes("aBc", out);
  EXPECT_EQ(out, (Bytes{0xAB, 0x0C}));  // single last digit is its own byte
  HexToBytes("zz", out);
  EXPECT_EQ(out, Bytes{0x00});
  HexToBytes("", out);
  EXPECT_TRUE(out.empty());
  HexToBytes("F0e1", out);
  EXPECT_EQ(out, (Bytes{0xF0, 0xE1}));
}

}  // namespace
}  // namespace korvane
