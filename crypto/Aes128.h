// AES with a 128-bit key (FIPS-197): key expansion and single-block encryption and decryption.
//
// Table-driven: the round tables are constants built at compile time, so nothing is initialised at
// run time and any number of threads may use the cipher at once. An expanded key is owned by its
// object; separate objects share nothing. Blocks and keys are byte strings; the code never reads
// them as words through casts, so alignment does not matter.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::core {

inline constexpr size_t kAesBlockSize = 16;
inline constexpr size_t kAes128KeySize = 16;

// The eleven round keys of the cipher, expanded for encryption.
class Aes128Encryptor {
 public:
  // REQUIRES: `key` points to kAes128KeySize bytes.
  explicit Aes128Encryptor(const uint8_t* key);
  // Wipes the round keys, which give the key away.
  ~Aes128Encryptor();
  Aes128Encryptor(const Aes128Encryptor&) = delete;
  Aes128Encryptor& operator=(const Aes128Encryptor&) = delete;

  // Encrypts one block. `in` and `out` may be the same block.
  void encryptBlock(const uint8_t* in, uint8_t* out) const;

 private:
  uint32_t roundKeys_[44];
};

// The round keys of the equivalent inverse cipher: reversed, with the middle ones passed through
// InvMixColumns, so that decryption runs on the same table-driven round shape as encryption.
class Aes128Decryptor {
 public:
  // REQUIRES: `key` points to kAes128KeySize bytes.
  explicit Aes128Decryptor(const uint8_t* key);
  ~Aes128Decryptor();
  Aes128Decryptor(const Aes128Decryptor&) = delete;
  Aes128Decryptor& operator=(const Aes128Decryptor&) = delete;

  // Decrypts one block. `in` and `out` may be the same block.
  void decryptBlock(const uint8_t* in, uint8_t* out) const;

 private:
  uint32_t roundKeys_[44];
};

}  // namespace kv::core
