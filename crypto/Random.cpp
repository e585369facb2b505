#include "crypto/Random.h"

#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kv::core {
namespace {

constexpr int kExitIoError = 74;

}  // namespace

namespace internal {

void CoCreateGuidFrom(const char* device, uint8_t* guid) {
  int fd;
  do {
    fd = open(device, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) err(kExitIoError, "CoCreateGuid(): open: %s", device);

  // A device may hand out fewer bytes than asked for; keep reading until all have arrived.
  size_t got = 0;
  while (got < kGuidSize) {
    const ssize_t n = read(fd, guid + got, kGuidSize - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      err(kExitIoError, "CoCreateGuid(): read: %s", device);
    }
    if (n == 0) {
      errx(kExitIoError, "CoCreateGuid(): read: %s: EOF, got %zd of %zd bytes requested", device,
           static_cast<ssize_t>(got), static_cast<ssize_t>(kGuidSize));
    }
    got += static_cast<size_t>(n);
  }

  // The bytes are already in hand, so a failing close costs nothing but a warning.
  if (close(fd) != 0) warn("CoCreateGuid(): close: %s", device);
}

}  // namespace internal

void CoCreateGuid(uint8_t* guid) {
  internal::CoCreateGuidFrom("/dev/urandom", guid);
}

}  // namespace kv::core
