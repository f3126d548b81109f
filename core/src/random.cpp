#include "vostrel/random.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "vostrel/panic.hpp"

namespace vostrel {
namespace {

bool read_getrandom(std::span<std::uint8_t> out) noexcept {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = getrandom(out.data() + done, out.size() - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool read_urandom(std::span<std::uint8_t> out) noexcept {
  int fd;
  do {
    fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  std::size_t done = 0;
  bool ok = true;
  while (done < out.size()) {
    const ssize_t got = ::read(fd, out.data() + done, out.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return ok;
}

}  // namespace

bool try_os_random(std::span<std::uint8_t> out) noexcept {
  if (out.empty()) return true;
  if (read_getrandom(out)) return true;
  if (read_urandom(out)) return true;
  secure_zero(out.data(), out.size());
  return false;
}

void os_random(std::span<std::uint8_t> out) {
  if (!try_os_random(out)) throw Panic("OS CSPRNG");
}

Secret32 random_secret32() {
  Secret32 secret;
  os_random(secret.mutable_bytes());
  return secret;
}

}  // namespace vostrel
