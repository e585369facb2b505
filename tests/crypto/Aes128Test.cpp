// AES-128 against the FIPS-197 examples and against OpenSSL as an independent oracle.
#include "crypto/Aes128.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/crypto/AesOracle.h"

namespace kv::core {
namespace {

using oracle::Bytes;

Bytes fromHex(std::string_view text) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

TEST(Aes128, PublishedExamples) {
  struct Example {
    const char* key;
    const char* plain;
    const char* cipher;
  };
  const Example examples[] = {
      // FIPS-197 appendix C.1
      {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
       "69c4e0d86a7b0430d8cdb78070b4c55a"},
      // FIPS-197 appendix B
      {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
       "3925841d02dc09fbdc118597196a0b32"},
  };
  for (const auto& example : examples) {
    const Bytes key = fromHex(example.key);
    const Bytes plain = fromHex(example.plain);
    const Bytes cipher = fromHex(example.cipher);
    Bytes block(16);
    Aes128Encryptor(key.data()).encryptBlock(plain.data(), block.data());
    EXPECT_EQ(block, cipher) << example.key;
    Aes128Decryptor(key.data()).decryptBlock(cipher.data(), block.data());
    EXPECT_EQ(block, plain) << example.key;
    // In place, as the chaining mode uses it.
    Aes128Encryptor(key.data()).encryptBlock(block.data(), block.data());
    EXPECT_EQ(block, cipher) << example.key;
  }
}

TEST(Aes128, RandomKeysAndBlocksAtOddAddressesMatchTheOracle) {
  std::mt19937 random(197);
  // Keys and blocks sit at odd offsets: the cipher must not depend on word alignment.
  uint8_t storage[3 * 16 + 8];
  uint8_t* key = storage + 1;
  uint8_t* in = storage + 17 + 2;
  uint8_t* out = storage + 35 + 4;
  for (int round = 0; round < 300; ++round) {
    for (auto& byte : storage) byte = static_cast<uint8_t>(random());
    const Aes128Encryptor encryptor(key);
    encryptor.encryptBlock(in, out);
    EXPECT_EQ(Bytes(out, out + 16), oracle::encryptBlock(key, in)) << "round " << round;
    const Aes128Decryptor decryptor(key);
    decryptor.decryptBlock(in, out);
    EXPECT_EQ(Bytes(out, out + 16), oracle::decryptBlock(key, in)) << "round " << round;
  }
}

}  // namespace
}  // namespace kv::core
