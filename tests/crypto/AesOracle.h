// AES-128 through OpenSSL, the independent oracle of the crypto tests.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace kv::core::oracle {

using Bytes = std::vector<uint8_t>;

// Runs `cipher` without padding over whole blocks; `iv` is ignored by ECB.
inline Bytes run(const EVP_CIPHER* cipher, bool encrypt, const uint8_t* key, const uint8_t* iv,
                 const uint8_t* input, size_t length) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                          EVP_CIPHER_CTX_free);
  Bytes output(length + 16);
  int written = 0;
  int finalWritten = 0;
  const bool ok =
      EVP_CipherInit_ex(context.get(), cipher, nullptr, key, iv, encrypt ? 1 : 0) == 1 &&
      EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
      EVP_CipherUpdate(context.get(), output.data(), &written, input, static_cast<int>(length)) ==
          1 &&
      EVP_CipherFinal_ex(context.get(), output.data() + written, &finalWritten) == 1;
  EXPECT_TRUE(ok) << "OpenSSL refused the input";
  output.resize(static_cast<size_t>(written + finalWritten));
  return output;
}

inline Bytes encryptBlock(const uint8_t* key, const uint8_t* block) {
  return run(EVP_aes_128_ecb(), true, key, nullptr, block, 16);
}

inline Bytes decryptBlock(const uint8_t* key, const uint8_t* block) {
  return run(EVP_aes_128_ecb(), false, key, nullptr, block, 16);
}

inline Bytes encryptCbc(const uint8_t* key, const uint8_t* iv, const Bytes& plain) {
  return run(EVP_aes_128_cbc(), true, key, iv, plain.data(), plain.size());
}

// The 16 key bytes that crypto requests use for a system identifier.
inline Bytes keyOf(std::string_view systemId) {
  Bytes digest(SHA256_DIGEST_LENGTH);
  SHA256(reinterpret_cast<const uint8_t*>(systemId.data()), systemId.size(), digest.data());
  digest.resize(16);
  return digest;
}

}  // namespace kv::core::oracle
