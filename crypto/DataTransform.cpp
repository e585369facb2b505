#include "crypto/DataTransform.h"

#include <string.h>  // explicit_bzero

#include <cassert>
#include <cstring>
#include <new>

#include "crypto/Aes128.h"
#include "crypto/Random.h"

namespace kv::core {
namespace {

void xorBlock(uint8_t* target, const uint8_t* with) {
  for (size_t i = 0; i < kAesBlockSize; ++i) target[i] ^= with[i];
}

size_t paddingFor(size_t length) {
  return length <= kAesBlockSize ? kAesBlockSize - length : kAesBlockSize - length % kAesBlockSize;
}

// The plaintext length once the padding of a text is taken off: up to the first zero byte, or,
// when the block ends in a zero and a small count, that many bytes fewer.
size_t textLength(const uint8_t* plain, size_t length) {
  if (length < 2) return length;
  const uint8_t nextToLast = plain[length - 2];
  const uint8_t last = plain[length - 1];
  if (nextToLast != 0 || last == 0) {
    const void* zero = std::memchr(plain, 0, length);
    return zero == nullptr ? length
                           : static_cast<size_t>(static_cast<const uint8_t*>(zero) - plain);
  }
  const auto count = static_cast<int8_t>(last);
  if (count > 0 && static_cast<size_t>(count) < length) return length - static_cast<size_t>(count);
  return length;
}

}  // namespace

DataTransform::DataTransform(const uint8_t* key, size_t keyLength, size_t workingCapacity)
    : buffer_(new (std::nothrow) uint8_t[workingCapacity]()),
      capacity_(buffer_ ? workingCapacity : 0) {
  assert(keyLength == 16 || keyLength == 32);
  (void)keyLength;  // only checked: either way the cipher takes the first 16 bytes
  std::memcpy(key_, key, sizeof key_);
}

// explicit_bzero, unlike memset, is not dropped as a dead store on memory about to be released.
DataTransform::~DataTransform() {
  explicit_bzero(key_, sizeof key_);
  if (buffer_) explicit_bzero(buffer_.get(), capacity_);
}

size_t DataTransform::encrypt(const uint8_t* input, size_t length) {
  if (length == 0) return 0;
  // The output is at most length + 32 bytes; the check comes first so the sum cannot wrap.
  if (length > capacity_) return SIZE_MAX;
  const size_t padding = paddingFor(length);
  const size_t outputLength = kAesBlockSize + length + padding;
  if (outputLength > capacity_) return outputLength;

  uint8_t g[kGuidSize];
  CoCreateGuid(g);
  uint8_t r[kAesBlockSize];
  std::memcpy(r, g, 8);
  std::memcpy(r + 8, g + 6, 4);
  std::memcpy(r + 12, g + 6, 4);

  uint8_t* out = buffer_.get();
  std::memcpy(out + kAesBlockSize, input, length);
  std::memset(out + kAesBlockSize + length, 0, padding);

  const Aes128Encryptor cipher(key_);
  cipher.encryptBlock(r, out);
  for (size_t offset = kAesBlockSize; offset < outputLength; offset += kAesBlockSize) {
    xorBlock(out + offset, out + offset - kAesBlockSize);
    cipher.encryptBlock(out + offset, out + offset);
  }
  explicit_bzero(g, sizeof g);
  explicit_bzero(r, sizeof r);
  return outputLength;
}

size_t DataTransform::decrypt(const uint8_t* input, size_t length) {
  // A ragged tail is not a block: reading it would run past the caller's data.
  const size_t wholeLength = length - length % kAesBlockSize;
  if (wholeLength < 2 * kAesBlockSize) return 0;
  const size_t plainLength = wholeLength - kAesBlockSize;
  if (plainLength + 1 > capacity_) return plainLength + 1;  // the plaintext and its zero byte

  uint8_t* out = buffer_.get();
  const Aes128Decryptor cipher(key_);
  for (size_t offset = kAesBlockSize; offset < wholeLength; offset += kAesBlockSize) {
    uint8_t* plain = out + offset - kAesBlockSize;
    cipher.decryptBlock(input + offset, plain);
    xorBlock(plain, input + offset - kAesBlockSize);
  }
  const size_t textEnd = textLength(out, plainLength);
  out[textEnd] = 0;
  return textEnd;
}

}  // namespace kv::core
