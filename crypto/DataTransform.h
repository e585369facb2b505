// The data transform of crypto requests: AES-128 in cipher-block-chaining mode behind a random
// first block, with zero padding, into a working buffer owned by the transform.
//
// Encrypted data: C0 = AES(R) for a block R made of fresh random bytes, then C1..Cn, the CBC
// ciphertext of the plaintext padded with zeros (a plaintext of 16 bytes gets no padding; any
// longer multiple of 16 gets a whole block of zeros). C0 serves as the initialisation vector.
//
// One transform serves one request on one thread; transforms share nothing, so any number may run
// at once. The working buffer is allocated once, at construction, and is wiped together with the
// key copy when the transform dies, so no plaintext or key outlives the request in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kv::core {

class DataTransform {
 public:
  // REQUIRES: `keyLength` is 16 or 32 (a raw key or a digest); the cipher uses the first 16
  // bytes, and only those are kept.
  // A working buffer that cannot be allocated has capacity 0, so every non-empty transform then
  // reports that its output doesn't fit.
  DataTransform(const uint8_t* key, size_t keyLength, size_t workingCapacity);
  ~DataTransform();
  DataTransform(const DataTransform&) = delete;
  DataTransform& operator=(const DataTransform&) = delete;

  // Encrypts the `length` bytes at `input` into the working buffer and returns the output length,
  // 16 + length + padding, or 0 for an empty input. A result above capacity() means the output
  // doesn't fit; nothing is written then. Reads fresh random bytes (CoCreateGuid) for R.
  size_t encrypt(const uint8_t* input, size_t length);

  // Decrypts the `length` bytes at `input` into the working buffer, writes a zero byte after the
  // plaintext and returns the plaintext length. Only whole blocks are read: the last `length` % 16
  // bytes are ignored. Returns 0 when fewer than two whole blocks (C0 and one data block) are
  // given. The plaintext is taken to be text: it ends at its first zero byte, unless its last two
  // bytes are a zero and a count v with 0 < v < length (as a signed byte), which then strips v
  // bytes of padding. A result above capacity() means the output doesn't fit; nothing is written.
  size_t decrypt(const uint8_t* input, size_t length);

  const uint8_t* output() const { return buffer_.get(); }
  size_t capacity() const { return capacity_; }

 private:
  uint8_t key_[16];
  std::unique_ptr<uint8_t[]> buffer_;
  size_t capacity_;
};

}  // namespace kv::core
