// Crypto requests with arbitrary flags, capacities, data lengths, data and system identifiers.
//
// Input: flags (4 bytes), capacity (2), data length (2), identifier length (1, at most 64), the
// identifier, then the data. The buffer is a heap block of exactly the capacity, so that any
// access beyond it is caught; the data fills it as far as both go.
//
// Checked, besides the sanitizers: every result is one of the documented codes; a request that
// fails is left exactly as it was; a decryption zeroes the buffer behind its text. A valid
// encryption has the documented length and decrypts, with the same identifier, back to the data
// up to its first zero byte (the transform is meant for text; see textLength).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/CryptoRequest.h"
#include "events/EventParms.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace kv::core;

void fail(const std::string& what) {
  kv::fuzz::fail("crypto", what);
}

struct Request {
  EventParms event;
  std::unique_ptr<uint8_t[]> buffer;
};

void checkResultCode(int result) {
  if (result > 0 || result == 0 || result == kCryptoBadOperation || result == kCryptoBadRequest ||
      result == kCryptoNoOutput) {
    return;
  }
  fail("unknown result " + std::to_string(result));
}

// Runs the request and checks what holds for every outcome. Returns the result.
int run(EventParms& event, std::string_view systemId) {
  const EventParms before = event;
  const auto* buffer = static_cast<const uint8_t*>(event.data);
  const std::vector<uint8_t> bytesBefore(buffer, buffer + (buffer ? event.length : 0));
  const int result = handleCryptoRequest(event, systemId);
  checkResultCode(result);
  if (result != 0) {
    if (event.length != before.length || event.data != before.data || event.flags != before.flags ||
        event.dataLength != before.dataLength || event.type != before.type ||
        event.source != before.source) {
      fail("a failed request was changed");
    }
    if (!std::equal(bytesBefore.begin(), bytesBefore.end(), buffer)) {
      fail("a failed request's buffer was changed");
    }
    return result;
  }
  if (event.length != before.length || event.data != before.data) fail("the buffer moved");
  if (event.dataLength > event.length) fail("data length beyond the capacity");
  const uint32_t operation = before.flags & kCryptoOperationMask;
  if (operation == kCryptoDecrypt) {
    if (event.flags != kCryptoEncrypt) fail("a decrypted request is not marked plain");
    if (event.dataLength == 0 || event.dataLength + 16 > before.dataLength) {
      fail("a plaintext longer than its ciphertext allows");
    }
    for (uint32_t i = event.dataLength; i < event.length; ++i) {
      if (buffer[i] != 0) fail("bytes left behind the plaintext");
    }
  } else if (event.flags != kCryptoDecrypt) {
    fail("an encrypted request is not marked encrypted");
  }
  return 0;
}

// The length of an encryption of n bytes: C0, the data and its zero padding.
size_t encryptedLength(size_t n) {
  if (n == 0) return 0;
  const size_t padding = n <= 16 ? 16 - n : 16 - n % 16;
  return 16 + n + padding;
}

// What decryption gives back of a plaintext: the text up to its first zero byte, the padding
// being zeros. Only a single block (no padding) whose last two bytes are a zero and a count v of
// 1 to 15 loses v bytes instead, as if they were padding.
size_t textLength(const std::vector<uint8_t>& plain) {
  if (plain.size() == 16 && plain[14] == 0 && plain[15] != 0) {
    const auto count = static_cast<int8_t>(plain[15]);
    return count > 0 && count < 16 ? 16 - static_cast<size_t>(count) : 16;
  }
  return static_cast<size_t>(std::find(plain.begin(), plain.end(), uint8_t{0}) - plain.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHeader = 9;
  if (size < kHeader) return 0;
  const uint32_t flags = data[0] | data[1] << 8 | data[2] << 16 | uint32_t{data[3]} << 24;
  const uint32_t capacity = data[4] | data[5] << 8;
  const uint32_t dataLength = data[6] | data[7] << 8;
  const size_t idLength = std::min<size_t>(data[8] % 65, size - kHeader);
  const std::string_view systemId(reinterpret_cast<const char*>(data) + kHeader, idLength);
  const uint8_t* input = data + kHeader + idLength;
  const size_t inputSize = size - kHeader - idLength;

  // Exactly `capacity` bytes, so that the sanitizer sees any access beyond them. A capacity of 0
  // gets no buffer at all.
  std::unique_ptr<uint8_t[]> buffer(capacity > 0 ? new uint8_t[capacity] : nullptr);
  const size_t filled = std::min<size_t>(capacity, inputSize);
  if (capacity > 0) {
    std::memset(buffer.get(), 0xA5, capacity);
    std::memcpy(buffer.get(), input, filled);
  }
  EventParms request =
      makeEventRecord(kTypeCrypto, flags, makeAddress(0x21), buffer.get(), capacity);
  request.dataLength = dataLength;
  const std::vector<uint8_t> original(buffer.get(), buffer.get() + std::min(capacity, dataLength));

  const int result = run(request, systemId);
  const bool validEncryption =
      (flags & kCryptoOperationMask) == kCryptoEncrypt && capacity > 0 && dataLength <= capacity;
  if (!validEncryption) return 0;

  const size_t needed = encryptedLength(dataLength);
  if (needed > capacity) {
    if (result != static_cast<int>(needed)) fail("a short buffer did not get its needed size");
    return 0;
  }
  if (result != 0) fail("a valid encryption failed: " + std::to_string(result));
  if (request.dataLength != needed) fail("the ciphertext has the wrong length");
  if (dataLength == 0) return 0;

  // Back again, with the same identifier.
  const int back = run(request, systemId);
  const size_t expected = textLength(original);
  if (expected == 0) {
    if (back != kCryptoNoOutput) fail("an empty text did not give -13: " + std::to_string(back));
    return 0;
  }
  if (back != 0) fail("a valid ciphertext did not decrypt: " + std::to_string(back));
  if (request.dataLength != expected ||
      !std::equal(original.begin(), original.begin() + expected, buffer.get())) {
    fail("decryption did not give back the text");
  }
  return 0;
}
