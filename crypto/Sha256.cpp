#include "crypto/Sha256.h"

#include <string.h>  // explicit_bzero

#include <cstring>

namespace kv::core {
namespace {

constexpr uint32_t kInitialChain[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t rotr(uint32_t x, unsigned n) {
  return (x >> n) | (x << (32 - n));
}

uint32_t fromBigEndian(uint32_t word) {
  const auto* b = reinterpret_cast<const uint8_t*>(&word);
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

void storeBigEndian(uint32_t word, uint8_t* out) {
  out[0] = static_cast<uint8_t>(word >> 24);
  out[1] = static_cast<uint8_t>(word >> 16);
  out[2] = static_cast<uint8_t>(word >> 8);
  out[3] = static_cast<uint8_t>(word);
}

}  // namespace

Sha256::Sha256() {
  std::memcpy(chain_, kInitialChain, sizeof chain_);
}

// The state ends as the digest, which may be a key: it goes with the object. explicit_bzero is
// not dropped as a dead store, unlike memset on an object about to die.
Sha256::~Sha256() {
  explicit_bzero(chain_, sizeof chain_);
  explicit_bzero(block_, sizeof block_);
  explicit_bzero(&countLow_, sizeof countLow_);
  explicit_bzero(&countHigh_, sizeof countHigh_);
  explicit_bzero(&blockFill_, sizeof blockFill_);
}

void Sha256::update(const void* data, size_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  const uint32_t before = countLow_;
  countLow_ += static_cast<uint32_t>(length);
  countHigh_ += static_cast<uint32_t>(static_cast<uint64_t>(length) >> 32);
  if (countLow_ < before) ++countHigh_;
  appendBytes(bytes, length);
}

void Sha256::appendBytes(const uint8_t* bytes, size_t length) {
  auto* buffer = reinterpret_cast<uint8_t*>(block_);
  while (length > 0) {
    const size_t room = sizeof block_ - blockFill_;
    const size_t take = length < room ? length : room;
    std::memcpy(buffer + blockFill_, bytes, take);
    blockFill_ += static_cast<uint32_t>(take);
    bytes += take;
    length -= take;
    if (blockFill_ == sizeof block_) {
      compressBlock();
      blockFill_ = 0;
    }
  }
}

void Sha256::compressBlock() {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) w[i] = fromBigEndian(block_[i]);
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = chain_[0], b = chain_[1], c = chain_[2], d = chain_[3];
  uint32_t e = chain_[4], f = chain_[5], g = chain_[6], h = chain_[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                        kRoundConstants[i] + w[i];
    const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  chain_[0] += a;
  chain_[1] += b;
  chain_[2] += c;
  chain_[3] += d;
  chain_[4] += e;
  chain_[5] += f;
  chain_[6] += g;
  chain_[7] += h;
  explicit_bzero(w, sizeof w);  // the message schedule of the last block leads to the digest
}

void Sha256::finish(uint8_t* digest) {
  // The message length in bits, taken before the padding is appended.
  const uint32_t bitsHigh = (countHigh_ << 3) | (countLow_ >> 29);
  const uint32_t bitsLow = countLow_ << 3;
  const uint8_t marker = 0x80;
  appendBytes(&marker, 1);
  const uint8_t zeros[64] = {};
  const uint32_t padding = (blockFill_ <= 56 ? 56 : 120) - blockFill_;
  appendBytes(zeros, padding);
  uint8_t length[8];
  storeBigEndian(bitsHigh, length);
  storeBigEndian(bitsLow, length + 4);
  appendBytes(length, sizeof length);
  for (int i = 0; i < 8; ++i) storeBigEndian(chain_[i], digest + 4 * i);
}

void sha256(const void* data, size_t length, uint8_t* digest) {
  Sha256 state;
  state.update(data, length);
  state.finish(digest);
}

}  // namespace kv::core
