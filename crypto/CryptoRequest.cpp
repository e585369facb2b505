#include "crypto/CryptoRequest.h"

#include <string.h>  // explicit_bzero

#include <algorithm>
#include <cstring>
#include <limits>

#include "crypto/DataTransform.h"
#include "crypto/Sha256.h"

namespace kv::core {
namespace {

// Room for C0 and a block of padding around the data, whichever way it goes.
constexpr size_t kWorkingSlack = 48;

constexpr size_t kDefaultKeySize = 16;

// The key of a system without an identifier. Written at run time from half its length, so that
// the binary holds no 16-byte key to search for.
void writeDefaultKey(uint8_t* key) {
  static constexpr uint8_t kPattern[8] = {0x6b, 0x3d, 0xc4, 0x19, 0xa7, 0x52, 0xe8, 0x0f};
  std::memcpy(key, kPattern, sizeof kPattern);
  std::memcpy(key + sizeof kPattern, kPattern, sizeof kPattern);
}

// Writes the request's key to `key` (room for a digest) and returns its length.
size_t deriveKey(std::string_view systemId, uint8_t* key) {
  if (systemId.empty()) {
    writeDefaultKey(key);
    return kDefaultKeySize;
  }
  sha256(systemId.data(), systemId.size(), key);
  return kSha256DigestSize;
}

// The result for an output that fits the working buffer but not the request's capacity.
int neededCapacity(size_t outputLength) {
  // A need beyond what the signed result can carry is no answer the plugin could act on.
  if (outputLength > static_cast<size_t>(std::numeric_limits<int>::max())) return kCryptoNoOutput;
  return static_cast<int>(outputLength);
}

int encryptRequest(EventParms& request, DataTransform& transform) {
  auto* buffer = static_cast<uint8_t*>(request.data);
  const size_t capacity = request.length;
  const size_t outputLength = transform.encrypt(buffer, request.dataLength);
  if (outputLength > transform.capacity()) return kCryptoNoOutput;
  if (outputLength > capacity) return neededCapacity(outputLength);

  // Ciphertext is never shorter than its data today; should it become so, no plaintext may stay
  // behind it.
  if (outputLength < request.dataLength) std::memset(buffer, 0, capacity);
  std::copy_n(transform.output(), outputLength, buffer);
  request.dataLength = static_cast<uint32_t>(outputLength);
  request.flags = kCryptoDecrypt;
  return 0;
}

int decryptRequest(EventParms& request, DataTransform& transform) {
  auto* buffer = static_cast<uint8_t*>(request.data);
  const size_t capacity = request.length;
  const size_t textLength = transform.decrypt(buffer, request.dataLength);
  if (textLength == 0 || textLength > transform.capacity()) return kCryptoNoOutput;
  if (textLength > capacity) return neededCapacity(textLength);

  std::memcpy(buffer, transform.output(), textLength);
  std::memset(buffer + textLength, 0, capacity - textLength);
  request.dataLength = static_cast<uint32_t>(textLength);
  request.flags = kCryptoEncrypt;
  return 0;
}

}  // namespace

int handleCryptoRequest(EventParms& request, std::string_view systemId) {
  if (request.length == 0 || request.data == nullptr) return kCryptoBadRequest;
  const uint32_t operation = request.flags & kCryptoOperationMask;
  if (operation != kCryptoEncrypt && operation != kCryptoDecrypt) return kCryptoBadOperation;
  if (operation == kCryptoDecrypt && request.dataLength == 0) return kCryptoBadRequest;
  // Data said to run past the buffer would be read from memory the plugin never handed over.
  if (request.dataLength > request.length) return kCryptoBadRequest;

  uint8_t key[kSha256DigestSize];
  const size_t keyLength = deriveKey(systemId, key);
  // One allocation per request; the transform wipes it, and its key copy, on the way out.
  DataTransform transform(key, keyLength, size_t{request.dataLength} + kWorkingSlack);
  explicit_bzero(key, sizeof key);

  return operation == kCryptoEncrypt ? encryptRequest(request, transform)
                                     : decryptRequest(request, transform);
}

}  // namespace kv::core
