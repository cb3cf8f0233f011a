#include "text/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace korvane {
namespace {

TEST(Sha256HexTest, PublishedVectors) {
  // FIPS 180-4 examples (NIST "SHA256.pdf", "SHA256-2B.pdf") and the empty message.
  struct Case {
    std::string text;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // 55, 56, 63 and 64 bytes straddle the length field; values from coreutils sha256sum.
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const Case& c : cases) EXPECT_EQ(Sha256Hex(c.text), c.digest) << c.text.size();
}

TEST(Sha256Test, PiecewiseUpdatesEqualOneUpdate) {
  const std::string text(200, 'x');
  const auto bytes = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()),
                                              text.size());
  CSha256 hash;
  hash.Update(bytes.subspan(0, 1));
  hash.Update(bytes.subspan(1, 70));
  hash.Update(bytes.subspan(71));
  EXPECT_EQ(hash.Final(), CSha256::Of(bytes));
}

}  // namespace
}  // namespace korvane
