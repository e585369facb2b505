// SHA-256 digests (FIPS 180-4), computed by the core's own code.
//
// Used to derive the key of crypto requests and the fallback system identifier. The state lives in
// the caller's object, so separate digests may run on any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::core {

inline constexpr size_t kSha256DigestSize = 32;

// Writes the 32-byte digest of the `length` bytes at `data` to `digest`. A length of 0 is valid.
void sha256(const void* data, size_t length, uint8_t* digest);

// Incremental form: start on construction, update with any split of the input, finish once.
class Sha256 {
 public:
  Sha256();
  // Wipes the whole state: the digest of a key's derivation is the key.
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const void* data, size_t length);
  // Appends the padding and the bit count and writes the digest. The object is spent afterwards.
  void finish(uint8_t* digest);

 private:
  void appendBytes(const uint8_t* bytes, size_t length);
  void compressBlock();

  uint32_t chain_[8];
  uint32_t countLow_ = 0;   // bytes processed, low word
  uint32_t countHigh_ = 0;  // bytes processed, high word
  uint32_t block_[16];      // filled byte by byte, converted from big-endian just before use
  uint32_t blockFill_ = 0;  // bytes in block_
};

}  // namespace kv::core
