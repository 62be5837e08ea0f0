// Random UUIDs drawn from the kernel's random source and rendered in lower case. Bytes are
// taken from the kernel in blocks, per thread: an observation names every element it lists
// with a new UUID, and libuuid spends five system calls on each one.
#include "common/uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>

#include <uuid/uuid.h>

namespace velmaris {
namespace {

constexpr std::size_t kUUIDBytes = 16;
constexpr std::size_t kPoolUUIDs = 64;

// Fills `out` from the kernel's random source; false when it will not give enough.
bool kernelRandom(unsigned char* out, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t n = getrandom(out + filled, size - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    filled += std::size_t(n);
  }
  return true;
}

void nextRandomBytes(unsigned char (&raw)[kUUIDBytes]) {
  thread_local unsigned char pool[kUUIDBytes * kPoolUUIDs];
  thread_local std::size_t used = sizeof pool;
  if (used == sizeof pool) {
    if (!kernelRandom(pool, sizeof pool)) {
      uuid_generate_random(raw);
      return;
    }
    used = 0;
  }
  for (std::size_t i = 0; i < kUUIDBytes; ++i) {
    raw[i] = pool[used + i];
    pool[used + i] = 0;  // handed out once
  }
  used += kUUIDBytes;
}

}  // namespace

std::string randomUUID() {
  unsigned char raw[kUUIDBytes];
  nextRandomBytes(raw);
  raw[6] = static_cast<unsigned char>((raw[6] & 0x0f) | 0x40);  // version 4
  raw[8] = static_cast<unsigned char>((raw[8] & 0x3f) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < kUUIDBytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[raw[i] >> 4]);
    text.push_back(kHex[raw[i] & 0x0f]);
  }
  return text;
}

}  // namespace velmaris
