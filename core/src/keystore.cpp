#include "vostrel/keystore.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace vostrel::keystore {
namespace {

constexpr std::size_t kKeyBytes = 32;

int open_retrying(const char* path, int flags) {
  int fd;
  do {
    fd = ::open(path, flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Reads up to `out.size()` bytes; the count read, or -1 on failure.
ssize_t read_fully(int fd, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = ::read(fd, out.data() + done, out.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

bool write_fully(int fd, ByteView data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t wrote = ::write(fd, data.data() + done, data.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

// A file is usable when it holds exactly 32 bytes; one byte more is read to tell.
std::optional<PlainSecret32> read_usable_key(const std::string& path) {
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  ByteArray<kKeyBytes + 1> buffer{};
  const ssize_t got = read_fully(fd, buffer);
  ::close(fd);
  if (got != static_cast<ssize_t>(kKeyBytes)) return std::nullopt;
  PlainSecret32 key{};
  std::copy_n(buffer.begin(), kKeyBytes, key.begin());
  return key;
}

// Writes the key to a 0600 temporary file beside the path, flushes it and renames it over the path,
// so that no other user can read it and a crash never leaves a short key file behind.
void replace_key_file(const std::string& path, const PlainSecret32& key) {
  std::string temp = path + ".tmp-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);  // created with mode 0600
  if (fd < 0) return;
  const bool written = write_fully(fd, key) && ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) ::unlink(temp.c_str());
}

void restrict_mode(const std::string& path) {
  while (::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0 && errno == EINTR) {
  }
}

}  // namespace

PlainSecret32 dev_keystore(std::string_view path) {
  // A path with a NUL byte names no file: nothing can be read or written there.
  const bool nameable = path.find('\0') == std::string_view::npos;
  const std::string file(path);
  if (nameable) {
    if (auto key = read_usable_key(file)) return *key;
  }
  PlainSecret32 key{};
  os_random(key);
  if (nameable) {
    replace_key_file(file, key);
    restrict_mode(file);
  }
  return key;
}

}  // namespace vostrel::keystore
