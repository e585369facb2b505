// Crypto requests: encrypts or decrypts a plugin's buffer in place under a key derived from the
// system identifier.
//
// Called by the event intake for records of type 0x8000 (kTypeCrypto), on the thread of the plugin
// that posted the record; the result becomes the result of the post call. Safe on any thread at
// any time: every call builds its own key, transform and working buffer and only reads `systemId`.
#pragma once

#include <cstdint>
#include <string_view>

#include "events/EventParms.h"

namespace kv::core {

// Carries out one request: `length` is the capacity of the buffer at `data`, `dataLength` the
// number of meaningful bytes in it, the low 24 bits of `flags` the operation. On success (0) the
// output replaces the data at the start of the buffer and `dataLength` and `flags` are updated; a
// decryption also zeroes the buffer after the text up to its capacity. On any other result the
// request and its buffer are untouched. A request whose `dataLength` exceeds `length` is refused.
// The key is the SHA-256 digest of `systemId`, or a built-in default key when it is empty.
// REQUIRES: `data` points to `length` writable bytes (or is null, which is refused).
int handleCryptoRequest(EventParms& request, std::string_view systemId);

}  // namespace kv::core
