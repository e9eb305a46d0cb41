#include <gtest/gtest.h>

#include <string>

#include "base/Sha256.h"

TEST(Sha256, KnownDigests) {
  EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", Sha256::Hex(""));
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Sha256::Hex("abc"));
  // Two blocks of padding, and input fed in pieces across block edges.
  const std::string m = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1", Sha256::Hex(m));
  Sha256 s;
  for (size_t i = 0; i < 1000000; i += 1000) s.Update(std::string(1000, 'a').data(), 1000);
  EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", s.HexDigest());
}
