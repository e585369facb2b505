#include "crypto/Aes128.h"

#include <string.h>  // explicit_bzero
#include <bit>

namespace kv::core {
namespace {

constexpr int kRounds = 10;

// Multiplication by x in GF(2^8) modulo the AES polynomial x^8 + x^4 + x^3 + x + 1.
constexpr uint8_t xtime(uint8_t b) {
  return static_cast<uint8_t>((b << 1) ^ ((b & 0x80) ? 0x1b : 0x00));
}

constexpr uint8_t gfMultiply(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  while (b != 0) {
    if (b & 1) product ^= a;
    a = xtime(a);
    b >>= 1;
  }
  return product;
}

// The multiplicative inverse is a^254, since the nonzero elements form a group of order 255.
constexpr uint8_t gfInverse(uint8_t a) {
  uint8_t result = 1;
  uint8_t square = a;
  for (unsigned exponent = 254; exponent != 0; exponent >>= 1) {
    if (exponent & 1) result = gfMultiply(result, square);
    square = gfMultiply(square, square);
  }
  return a == 0 ? 0 : result;
}

constexpr uint8_t rotl8(uint8_t b, int n) {
  return static_cast<uint8_t>((b << n) | (b >> (8 - n)));
}

constexpr uint32_t packBytes(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return (uint32_t{b0} << 24) | (uint32_t{b1} << 16) | (uint32_t{b2} << 8) | b3;
}

// One table per direction; the other three column positions are its byte rotations, which the
// camera's ARM core applies for free, so 2 KB of tables instead of 8 KB stay in its small cache.
struct Tables {
  uint8_t sbox[256];
  uint8_t inverseSbox[256];
  uint32_t encrypt[256];  // S(x) times the MixColumns column (2, 1, 1, 3)
  uint32_t decrypt[256];  // S^-1(x) times the InvMixColumns column (14, 9, 13, 11)
};

constexpr Tables buildTables() {
  Tables t{};
  for (int x = 0; x < 256; ++x) {
    const uint8_t inverse = gfInverse(static_cast<uint8_t>(x));
    const uint8_t s = inverse ^ rotl8(inverse, 1) ^ rotl8(inverse, 2) ^ rotl8(inverse, 3) ^
                      rotl8(inverse, 4) ^ 0x63;
    t.sbox[x] = s;
    t.inverseSbox[s] = static_cast<uint8_t>(x);
  }
  for (int x = 0; x < 256; ++x) {
    const uint8_t s = t.sbox[x];
    t.encrypt[x] = packBytes(xtime(s), s, s, gfMultiply(s, 3));
    const uint8_t i = t.inverseSbox[x];
    t.decrypt[x] =
        packBytes(gfMultiply(i, 14), gfMultiply(i, 9), gfMultiply(i, 13), gfMultiply(i, 11));
  }
  return t;
}

constexpr Tables kTables = buildTables();

static_assert(kTables.sbox[0x00] == 0x63 && kTables.sbox[0x53] == 0xed);
static_assert(kTables.inverseSbox[0x63] == 0x00);

constexpr uint8_t kRoundConstants[kRounds] = {0x01, 0x02, 0x04, 0x08, 0x10,
                                              0x20, 0x40, 0x80, 0x1b, 0x36};

constexpr uint8_t byteAt(uint32_t word, int shift) {
  return static_cast<uint8_t>(word >> shift);
}

uint32_t loadBigEndian(const uint8_t* p) {
  return packBytes(p[0], p[1], p[2], p[3]);
}

void storeBigEndian(uint32_t word, uint8_t* p) {
  p[0] = byteAt(word, 24);
  p[1] = byteAt(word, 16);
  p[2] = byteAt(word, 8);
  p[3] = byteAt(word, 0);
}

// Table lookup for the byte of `word` at `shift`, seen from column position `position`.
uint32_t encryptColumn(uint32_t word, int shift, int position) {
  return std::rotr(kTables.encrypt[byteAt(word, shift)], 8 * position);
}

uint32_t decryptColumn(uint32_t word, int shift, int position) {
  return std::rotr(kTables.decrypt[byteAt(word, shift)], 8 * position);
}

// One column of the last round, which has no MixColumns: S-box bytes taken from four columns.
uint32_t substituteColumn(const uint8_t* box, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return packBytes(box[byteAt(a, 24)], box[byteAt(b, 16)], box[byteAt(c, 8)], box[byteAt(d, 0)]);
}

void expandKey(const uint8_t* key, uint32_t* w) {
  for (int i = 0; i < 4; ++i) w[i] = loadBigEndian(key + 4 * i);
  for (int i = 4; i < 4 * (kRounds + 1); ++i) {
    uint32_t temp = w[i - 1];
    if (i % 4 == 0) {
      const uint32_t rotated = std::rotl(temp, 8);
      temp = substituteColumn(kTables.sbox, rotated, rotated, rotated, rotated) ^
             (uint32_t{kRoundConstants[i / 4 - 1]} << 24);
    }
    w[i] = w[i - 4] ^ temp;
  }
}

// InvMixColumns of one word: the decryption table undoes the S-box itself, so feed it S(x).
uint32_t inverseMixColumn(uint32_t word) {
  uint32_t result = 0;
  for (int position = 0; position < 4; ++position) {
    const uint8_t b = byteAt(word, 24 - 8 * position);
    result ^= std::rotr(kTables.decrypt[kTables.sbox[b]], 8 * position);
  }
  return result;
}

}  // namespace

Aes128Encryptor::Aes128Encryptor(const uint8_t* key) {
  expandKey(key, roundKeys_);
}

// explicit_bzero, unlike memset, is not dropped as a dead store on an object about to die.
Aes128Encryptor::~Aes128Encryptor() {
  explicit_bzero(roundKeys_, sizeof roundKeys_);
}

void Aes128Encryptor::encryptBlock(const uint8_t* in, uint8_t* out) const {
  const uint32_t* rk = roundKeys_;
  uint32_t s0 = loadBigEndian(in) ^ rk[0];
  uint32_t s1 = loadBigEndian(in + 4) ^ rk[1];
  uint32_t s2 = loadBigEndian(in + 8) ^ rk[2];
  uint32_t s3 = loadBigEndian(in + 12) ^ rk[3];
  // SubBytes, ShiftRows and MixColumns in one: column c takes row r from column c + r.
  for (int round = 1; round < kRounds; ++round) {
    rk += 4;
    const uint32_t t0 = encryptColumn(s0, 24, 0) ^ encryptColumn(s1, 16, 1) ^
                        encryptColumn(s2, 8, 2) ^ encryptColumn(s3, 0, 3) ^ rk[0];
    const uint32_t t1 = encryptColumn(s1, 24, 0) ^ encryptColumn(s2, 16, 1) ^
                        encryptColumn(s3, 8, 2) ^ encryptColumn(s0, 0, 3) ^ rk[1];
    const uint32_t t2 = encryptColumn(s2, 24, 0) ^ encryptColumn(s3, 16, 1) ^
                        encryptColumn(s0, 8, 2) ^ encryptColumn(s1, 0, 3) ^ rk[2];
    const uint32_t t3 = encryptColumn(s3, 24, 0) ^ encryptColumn(s0, 16, 1) ^
                        encryptColumn(s1, 8, 2) ^ encryptColumn(s2, 0, 3) ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  const uint8_t* box = kTables.sbox;
  storeBigEndian(substituteColumn(box, s0, s1, s2, s3) ^ rk[0], out);
  storeBigEndian(substituteColumn(box, s1, s2, s3, s0) ^ rk[1], out + 4);
  storeBigEndian(substituteColumn(box, s2, s3, s0, s1) ^ rk[2], out + 8);
  storeBigEndian(substituteColumn(box, s3, s0, s1, s2) ^ rk[3], out + 12);
}

Aes128Decryptor::Aes128Decryptor(const uint8_t* key) {
  uint32_t forward[4 * (kRounds + 1)];
  expandKey(key, forward);
  for (int round = 0; round <= kRounds; ++round) {
    for (int i = 0; i < 4; ++i) {
      const uint32_t word = forward[4 * (kRounds - round) + i];
      const bool middle = round != 0 && round != kRounds;
      roundKeys_[4 * round + i] = middle ? inverseMixColumn(word) : word;
    }
  }
  explicit_bzero(forward, sizeof forward);
}

Aes128Decryptor::~Aes128Decryptor() {
  explicit_bzero(roundKeys_, sizeof roundKeys_);
}

void Aes128Decryptor::decryptBlock(const uint8_t* in, uint8_t* out) const {
  const uint32_t* rk = roundKeys_;
  uint32_t s0 = loadBigEndian(in) ^ rk[0];
  uint32_t s1 = loadBigEndian(in + 4) ^ rk[1];
  uint32_t s2 = loadBigEndian(in + 8) ^ rk[2];
  uint32_t s3 = loadBigEndian(in + 12) ^ rk[3];
  // InvShiftRows moves the other way: column c takes row r from column c - r.
  for (int round = 1; round < kRounds; ++round) {
    rk += 4;
    const uint32_t t0 = decryptColumn(s0, 24, 0) ^ decryptColumn(s3, 16, 1) ^
                        decryptColumn(s2, 8, 2) ^ decryptColumn(s1, 0, 3) ^ rk[0];
    const uint32_t t1 = decryptColumn(s1, 24, 0) ^ decryptColumn(s0, 16, 1) ^
                        decryptColumn(s3, 8, 2) ^ decryptColumn(s2, 0, 3) ^ rk[1];
    const uint32_t t2 = decryptColumn(s2, 24, 0) ^ decryptColumn(s1, 16, 1) ^
                        decryptColumn(s0, 8, 2) ^ decryptColumn(s3, 0, 3) ^ rk[2];
    const uint32_t t3 = decryptColumn(s3, 24, 0) ^ decryptColumn(s2, 16, 1) ^
                        decryptColumn(s1, 8, 2) ^ decryptColumn(s0, 0, 3) ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  const uint8_t* box = kTables.inverseSbox;
  storeBigEndian(substituteColumn(box, s0, s3, s2, s1) ^ rk[0], out);
  storeBigEndian(substituteColumn(box, s1, s0, s3, s2) ^ rk[1], out + 4);
  storeBigEndian(substituteColumn(box, s2, s1, s0, s3) ^ rk[2], out + 8);
  storeBigEndian(substituteColumn(box, s3, s2, s1, s0) ^ rk[3], out + 12);
}

}  // namespace kv::core
