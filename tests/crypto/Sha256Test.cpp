// SHA-256 against the published vectors and against OpenSSL as an independent oracle.
#include "crypto/Sha256.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <vector>

namespace kv::core {
namespace {

std::string hex(const uint8_t* digest) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < kSha256DigestSize; ++i) {
    text += digits[digest[i] >> 4];
    text += digits[digest[i] & 0xF];
  }
  return text;
}

std::string ours(const std::vector<uint8_t>& input) {
  uint8_t digest[kSha256DigestSize];
  sha256(input.data(), input.size(), digest);
  return hex(digest);
}

std::string oracle(const std::vector<uint8_t>& input) {
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(input.data(), input.size(), digest);
  return hex(digest);
}

std::vector<uint8_t> bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

std::vector<uint8_t> randomBytes(std::mt19937& random, size_t length) {
  std::vector<uint8_t> data(length);
  for (auto& byte : data) byte = static_cast<uint8_t>(random());
  return data;
}

TEST(Sha256, PublishedVectors) {
  EXPECT_EQ(ours({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(ours(bytes("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(ours(bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(ours(std::vector<uint8_t>(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, EveryLengthAroundThePaddingBoundariesMatchesTheOracle) {
  std::mt19937 random(55);
  for (size_t length = 0; length <= 200; ++length) {
    const auto input = randomBytes(random, length);
    EXPECT_EQ(ours(input), oracle(input)) << "length " << length;
  }
  for (size_t length : {55u, 56u, 64u}) {
    const std::vector<uint8_t> letters(length, 'a');
    EXPECT_EQ(ours(letters), oracle(letters)) << "length " << length;
  }
}

TEST(Sha256, TheResultDoesNotDependOnHowTheInputIsSplit) {
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    const auto input = randomBytes(random, random() % 700);
    Sha256 state;
    size_t done = 0;
    while (done < input.size()) {
      const size_t piece = std::min<size_t>(random() % 130, input.size() - done);
      state.update(input.data() + done, piece);  // pieces of 0 bytes included
      done += piece;
    }
    uint8_t digest[kSha256DigestSize];
    state.finish(digest);
    EXPECT_EQ(hex(digest), oracle(input)) << "round " << round;
  }
}

// The digest of a system identifier is a key: nothing of it may stay behind in the state.
TEST(Sha256, TheStateIsWipedWithTheObject) {
  alignas(Sha256) unsigned char storage[sizeof(Sha256)];
  auto* state = new (storage) Sha256;
  const std::string input(100, 'k');  // more than one block
  state->update(input.data(), input.size());
  uint8_t digest[kSha256DigestSize];
  state->finish(digest);
  state->~Sha256();
  EXPECT_EQ(std::count(std::begin(storage), std::end(storage), 0), std::ssize(storage));
}

TEST(Sha256, RandomInputsMatchTheOracle) {
  std::mt19937 random(2026);
  for (int round = 0; round < 40; ++round) {
    const auto input = randomBytes(random, random() % 20000);
    EXPECT_EQ(ours(input), oracle(input)) << "round " << round;
  }
}

}  // namespace
}  // namespace kv::core
