#include "diff/node_id.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

namespace kovra {

void node_id_to_text(const NodeId& id, char* out) noexcept {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
    *out++ = kDigits[id.bytes[static_cast<std::size_t>(i)] >> 4];
    *out++ = kDigits[id.bytes[static_cast<std::size_t>(i)] & 15];
  }
}

namespace {

// Fills `out` from the kernel's random source: the getrandom system call, made
// directly because its libc wrapper is younger than the oldest systems a wheel
// supports, else /dev/urandom. False when neither answers in full.
bool read_system_random(unsigned char* out, std::size_t size) noexcept {
  const int saved_errno = errno;
  std::size_t got = 0;
#ifdef SYS_getrandom
  while (got < size) {
    const long n = syscall(SYS_getrandom, out + got, size - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
#endif
  if (got < size) {
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      while (got < size) {
        const ssize_t n = read(fd, out + got, size - got);
        if (n > 0) {
          got += static_cast<std::size_t>(n);
        } else if (n == 0 || errno != EINTR) {
          break;
        }
      }
      close(fd);
    }
  }
  errno = saved_errno;
  return got == size;
}

std::uint64_t clock_ns(clockid_t clock) noexcept {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

// Keys drawn so far in this process; the fallback mixes it in so that it never
// repeats a key within a process either.
std::atomic<std::uint64_t> keys_drawn{0};

// Without a system random source: the process id and the time in nanoseconds,
// which no two processes on a machine share, with addresses that address space
// randomisation moves and the draw count, mixed through the key schedule.
HashKey fallback_key() noexcept {
  int on_stack = 0;
  const std::uint64_t seed =
      fmix64(static_cast<std::uint64_t>(getpid()) ^ fmix64(clock_ns(CLOCK_REALTIME))) ^
      fmix64(clock_ns(CLOCK_MONOTONIC) ^ reinterpret_cast<std::uintptr_t>(&on_stack)) ^
      reinterpret_cast<std::uintptr_t>(&keys_drawn);
  return key_schedule(seed + keys_drawn.fetch_add(1, std::memory_order_relaxed));
}

HashKey draw_key() noexcept {
  unsigned char bytes[16];
  if (!read_system_random(bytes, sizeof bytes)) return fallback_key();
  HashKey key;
  std::memcpy(&key.k0, bytes, 8);
  std::memcpy(&key.k1, bytes + 8, 8);
  return key;
}

#ifdef KOVRA_TEST_HOOKS
std::atomic<bool> keys_fixed{false};
std::atomic<std::uint64_t> fixed_keys_drawn{0};
#endif

}  // namespace

HashKey initial_hash_key() noexcept {
#ifdef KOVRA_TEST_HOOKS
  if (keys_fixed.load(std::memory_order_relaxed)) return key_schedule(0);
#endif
  static const HashKey key = draw_key();
  return key;
}

HashKey fresh_hash_key() noexcept {
#ifdef KOVRA_TEST_HOOKS
  if (keys_fixed.load(std::memory_order_relaxed))
    return key_schedule(fixed_keys_drawn.fetch_add(1, std::memory_order_relaxed) + 1);
#endif
  return draw_key();
}

#ifdef KOVRA_TEST_HOOKS
void fix_hash_keys(bool fixed) noexcept {
  fixed_keys_drawn.store(0, std::memory_order_relaxed);
  keys_fixed.store(fixed, std::memory_order_relaxed);
}
#endif

}  // namespace kovra
