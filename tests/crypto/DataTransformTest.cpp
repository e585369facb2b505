// The transform on its own: how decryption finds the end of a text.
#include "crypto/DataTransform.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/crypto/AesOracle.h"

namespace kv::core {
namespace {

using oracle::Bytes;

const uint8_t kKey[16] = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                          0x98, 0xa9, 0xba, 0xcb, 0xdc, 0xed, 0xfe, 0x0f};

// Encrypted data for `plain` (whole blocks) as the transform lays it out, built by the oracle.
Bytes encryptedByOracle(const Bytes& plain) {
  Bytes data(16, 0x5c);  // any C0 does: decryption only chains from it
  const Bytes blocks = oracle::encryptCbc(kKey, data.data(), plain);
  data.insert(data.end(), blocks.begin(), blocks.end());
  return data;
}

Bytes text(std::string_view letters, size_t length, std::initializer_list<uint8_t> tail = {}) {
  Bytes bytes(letters.begin(), letters.end());
  bytes.insert(bytes.end(), tail);
  bytes.resize(length, 0);
  return bytes;
}

TEST(DataTransform, DecryptionTakesThePaddingOffTheText) {
  const std::string_view fourteen = "fourteen chars";
  struct Case {
    const char* what;
    Bytes plain;
    size_t expected;
  };
  const Case cases[] = {
      {"no zero byte at all", text("sixteen letters!", 16), 16},
      {"zero padding", text("hello", 16), 5},
      {"a whole block of zeros", text("thirty-two letters, no zero byte", 48), 32},
      {"cut at an embedded zero", text("ab", 16, {0, 'c', 'd'}), 2},
      {"zero then a count strips the count", text(fourteen, 16, {0, 3}), 13},
      {"the largest count below the length", text(fourteen, 16, {0, 15}), 1},
      {"a count equal to the length stands", text(fourteen, 16, {0, 16}), 16},
      // 0x90 read unsigned would strip 144 of the 160 bytes.
      {"a negative count stands", text(std::string(158, 'n'), 160, {0, 0x90}), 160},
      {"a leading zero leaves nothing", text("", 16, {0, 'a', 'b'}), 0},
      {"all zeros leave nothing", text("", 32), 0},
  };
  for (const auto& c : cases) {
    const Bytes data = encryptedByOracle(c.plain);
    DataTransform transform(kKey, 16, data.size() + 48);
    EXPECT_EQ(transform.decrypt(data.data(), data.size()), c.expected) << c.what;
    EXPECT_EQ(Bytes(transform.output(), transform.output() + c.expected),
              Bytes(c.plain.data(), c.plain.data() + c.expected))
        << c.what;
    EXPECT_EQ(transform.output()[c.expected], 0) << c.what << ": no zero byte after the text";
  }
}

}  // namespace
}  // namespace kv::core
