// Crypto requests end to end: output layout and sizes checked against OpenSSL, round trips, keys,
// and that every refusal leaves the request exactly as it was.
#include "crypto/CryptoRequest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "tests/crypto/AesOracle.h"

namespace kv::core {
namespace {

using oracle::Bytes;

constexpr std::string_view kSystemId = "00:1a:07:3c:5e:91-KV2000";

// A crypto request whose buffer is exactly its capacity, so that ASan reports any access past it.
// Bytes after the data are 0xEE, so that the zeroing after a decryption shows.
struct Request {
  Request(const Bytes& data, size_t capacity, uint32_t flags) : buffer(capacity, 0xEE) {
    std::copy_n(data.begin(), std::min(data.size(), capacity), buffer.begin());
    record.size = sizeof record;
    record.type = kTypeCrypto;
    record.length = static_cast<uint32_t>(capacity);
    record.data = buffer.data();
    record.flags = flags;
    record.dataLength = static_cast<uint32_t>(data.size());
  }
  Request(const Request&) = delete;

  int run(std::string_view systemId = kSystemId) { return handleCryptoRequest(record, systemId); }
  Bytes data() const { return Bytes(buffer.begin(), buffer.begin() + record.dataLength); }

  Bytes buffer;
  EventParms record{};
};

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// The output of an encryption as the oracle sees it: C0 must decrypt to a block R made of random
// bytes g as g[0..7] g[6..9] g[6..9], and C1..Cn must be the CBC encryption, chained from C0, of
// the plaintext padded with zeros.
void expectEncryptionOf(const Bytes& plain, const Bytes& output, const Bytes& key) {
  ASSERT_GE(output.size(), 32u);
  const Bytes r = oracle::decryptBlock(key.data(), output.data());
  EXPECT_EQ(Bytes(r.begin() + 8, r.begin() + 10), Bytes(r.begin() + 6, r.begin() + 8));
  EXPECT_EQ(Bytes(r.begin() + 12, r.begin() + 16), Bytes(r.begin() + 8, r.begin() + 12));
  Bytes padded = plain;
  padded.resize(output.size() - 16, 0);
  EXPECT_EQ(Bytes(output.begin() + 16, output.end()),
            oracle::encryptCbc(key.data(), output.data(), padded));
}

TEST(CryptoRequest, EncryptionSizesAndOutputMatchTheOracle) {
  const std::pair<size_t, size_t> sizes[] = {{1, 32},  {5, 32},  {15, 32}, {16, 32}, {17, 48},
                                             {31, 48}, {32, 64}, {33, 64}, {48, 80}, {100, 128}};
  const Bytes key = oracle::keyOf(kSystemId);
  for (const auto& [length, expected] : sizes) {
    Bytes plain(length);
    for (size_t i = 0; i < length; ++i) plain[i] = static_cast<uint8_t>('a' + i % 26);
    Request request(plain, expected, 0xAB000000 | kCryptoEncrypt);  // exactly the capacity needed
    ASSERT_EQ(request.run(), 0) << length;
    EXPECT_EQ(request.record.dataLength, expected) << length;
    EXPECT_EQ(request.record.flags, kCryptoDecrypt) << "the whole flags word is replaced";
    expectEncryptionOf(plain, request.data(), key);
  }
}

TEST(CryptoRequest, AnEmptyInputEncryptsToNothing) {
  Request request({}, 8, kCryptoEncrypt);
  EXPECT_EQ(request.run(), 0);
  EXPECT_EQ(request.record.dataLength, 0u);
  EXPECT_EQ(request.record.flags, kCryptoDecrypt);
}

TEST(CryptoRequest, RefusalsLeaveTheRequestUntouched) {
  const Bytes encryptedHello = [] {
    Request request(bytesOf("hello"), 32, kCryptoEncrypt);
    EXPECT_EQ(request.run(), 0);
    return request.data();
  }();
  struct Case {
    const char* what;
    Bytes data;
    size_t capacity;
    uint32_t flags;
    int expected;
  };
  const Case cases[] = {
      {"capacity too small for 5 bytes", bytesOf("hello"), 20, kCryptoEncrypt, 32},
      {"capacity too small for 16 bytes", Bytes(16, 'x'), 31, kCryptoEncrypt, 32},
      {"capacity too small for 32 bytes", Bytes(32, 'x'), 63, kCryptoEncrypt, 64},
      {"no operation", bytesOf("hello"), 64, 0, kCryptoBadOperation},
      {"flags 3", bytesOf("hello"), 64, 3, kCryptoBadOperation},
      {"both operations", bytesOf("hello"), 64, kCryptoEncrypt | kCryptoDecrypt,
       kCryptoBadOperation},
      {"an operation in the top byte only", bytesOf("hello"), 64, kCryptoEncrypt << 24,
       kCryptoBadOperation},
      {"capacity 0", {}, 0, kCryptoEncrypt, kCryptoBadRequest},
      {"decrypting nothing", {}, 64, kCryptoDecrypt, kCryptoBadRequest},
      {"data longer than the capacity", Bytes(40, 'x'), 32, kCryptoEncrypt, kCryptoBadRequest},
      {"ciphertext longer than the capacity", encryptedHello, 31, kCryptoDecrypt,
       kCryptoBadRequest},
      {"decrypting one block", Bytes(encryptedHello.begin(), encryptedHello.begin() + 16), 64,
       kCryptoDecrypt, kCryptoNoOutput},
      {"decrypting 31 bytes", Bytes(encryptedHello.begin(), encryptedHello.begin() + 31), 64,
       kCryptoDecrypt, kCryptoNoOutput},
      {"decrypting 1 byte", Bytes(1, 'x'), 64, kCryptoDecrypt, kCryptoNoOutput},
  };
  for (const auto& c : cases) {
    Request request(c.data, c.capacity, c.flags);
    const EventParms recordBefore = request.record;
    const Bytes bufferBefore = request.buffer;
    EXPECT_EQ(request.run(), c.expected) << c.what;
    EXPECT_EQ(std::memcmp(&request.record, &recordBefore, sizeof recordBefore), 0) << c.what;
    EXPECT_EQ(request.buffer, bufferBefore) << c.what;
  }
}

TEST(CryptoRequest, NoBufferIsRefused) {
  EventParms record{};
  record.type = kTypeCrypto;
  record.length = 64;
  record.flags = kCryptoEncrypt;
  record.dataLength = 5;
  EXPECT_EQ(handleCryptoRequest(record, kSystemId), kCryptoBadRequest);
}

TEST(CryptoRequest, DecryptionRestoresTheTextAndZeroesTheRest) {
  for (size_t length : {1u, 15u, 16u, 17u, 32u, 200u}) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += static_cast<char>('A' + i % 26);
    const size_t capacity = length + 64;
    Request request(bytesOf(text), capacity, kCryptoEncrypt);
    ASSERT_EQ(request.run(), 0) << length;
    ASSERT_EQ(request.record.flags, kCryptoDecrypt);

    ASSERT_EQ(request.run(), 0) << length;
    EXPECT_EQ(request.record.flags, kCryptoEncrypt);
    EXPECT_EQ(request.data(), bytesOf(text)) << length;
    EXPECT_EQ(Bytes(request.buffer.begin() + length, request.buffer.end()),
              Bytes(capacity - length, 0))
        << length;
  }
}

TEST(CryptoRequest, DecryptionReadsOnlyWholeBlocks) {
  Request encrypted(bytesOf("hello"), 32, kCryptoEncrypt);
  ASSERT_EQ(encrypted.run(), 0);
  for (size_t tail = 1; tail < 16; ++tail) {
    Bytes data = encrypted.data();
    data.resize(data.size() + tail, 0xC3);
    Request request(data, data.size(), kCryptoDecrypt);
    EXPECT_EQ(request.run(), 0) << tail;
    EXPECT_EQ(request.data(), bytesOf("hello")) << tail;
  }
}

TEST(CryptoRequest, TwoEncryptionsOfTheSameTextDiffer) {
  Request first(bytesOf("same text"), 64, kCryptoEncrypt);
  Request second(bytesOf("same text"), 64, kCryptoEncrypt);
  ASSERT_EQ(first.run(), 0);
  ASSERT_EQ(second.run(), 0);
  EXPECT_NE(first.data(), second.data());
}

TEST(CryptoRequest, AnotherSystemsKeyDoesNotFailOutward) {
  const Bytes text = bytesOf("recorder password: swordfish");
  for (int round = 0; round < 50; ++round) {
    Request request(text, 128, kCryptoEncrypt);
    ASSERT_EQ(request.run(), 0);
    const EventParms recordBefore = request.record;
    const Bytes bufferBefore = request.buffer;
    const int result = request.run("another camera");
    if (result == kCryptoNoOutput) {
      EXPECT_EQ(std::memcmp(&request.record, &recordBefore, sizeof recordBefore), 0);
      EXPECT_EQ(request.buffer, bufferBefore);
      continue;
    }
    ASSERT_EQ(result, 0) << "round " << round;
    EXPECT_EQ(request.record.flags, kCryptoEncrypt);
    EXPECT_NE(request.data(), text);
    EXPECT_LE(request.record.dataLength, 32u) << "no more than the blocks after C0";
  }
}

TEST(CryptoRequest, AnEmptySystemIdentifierUsesTheDefaultKey) {
  const Bytes text = bytesOf("no identifier yet");
  Request request(text, 64, kCryptoEncrypt);
  ASSERT_EQ(request.run(""), 0);
  const Bytes encrypted = request.data();
  ASSERT_EQ(request.run(""), 0);
  EXPECT_EQ(request.data(), text);

  Request withAnIdentifier(encrypted, 64, kCryptoDecrypt);
  const int result = withAnIdentifier.run();
  EXPECT_TRUE(result == kCryptoNoOutput || (result == 0 && withAnIdentifier.data() != text));
}

}  // namespace
}  // namespace kv::core
