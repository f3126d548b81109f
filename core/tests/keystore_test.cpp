#include "vostrel/keystore.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "test_support.hpp"

using namespace vostrel;
using vostrel::keystore::dev_keystore;
namespace fs = std::filesystem;

namespace {

fs::path temp_dir() {
  const char* tmpdir = std::getenv("TMPDIR");
  return fs::path(tmpdir && *tmpdir ? tmpdir : "/tmp");
}

void remove_quietly(const fs::path& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

void write_file(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

mode_t mode_of(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 0777;
}

// A per-test directory, so that parallel runs do not share files.
struct ScratchDir {
  explicit ScratchDir(const std::string& name)
      : path(temp_dir() / ("vostrel-keystore-" + name + "-" + std::to_string(::getpid()))) {
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  fs::path path;
};

}  // namespace

TEST(keystore, dev_keystore_is_stable_per_device_and_random_across_devices) {
  const fs::path a = temp_dir() / "vostrel-test-devkey-a.bin";
  const fs::path b = temp_dir() / "vostrel-test-devkey-b.bin";
  remove_quietly(a);
  remove_quietly(b);
  const Key32 first = dev_keystore(a.string());
  const Key32 again = dev_keystore(a.string());
  const Key32 other = dev_keystore(b.string());
  remove_quietly(a);
  remove_quietly(b);
  ASSERT_TRUE(first == again) << "same device → same key across runs";
  ASSERT_TRUE(other != first) << "different device → different random key";
  ASSERT_TRUE(first != Key32{}) << "key is not all-zero / unset";
}

TEST(keystore, new_file_is_private_and_replaces_unusable_contents) {
  const ScratchDir dir("replace");
  const fs::path path = dir.path / "device.key";
  const Key32 created = dev_keystore(path.string());
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_EQ(read_file(path), Bytes(created.begin(), created.end()));

  for (std::size_t size : {0u, 31u, 33u}) {
    write_file(path, Bytes(size, 0x61));
    fs::permissions(path, fs::perms(0644));
    const Key32 replaced = dev_keystore(path.string());
    EXPECT_EQ(read_file(path), Bytes(replaced.begin(), replaced.end())) << size << " bytes";
    EXPECT_EQ(mode_of(path), 0600u) << size << " bytes";
    EXPECT_EQ(dev_keystore(path.string()), replaced);
  }
  // No temporary file stays behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

TEST(keystore, usable_file_is_only_read) {
  const ScratchDir dir("usable");
  const fs::path path = dir.path / "device.key";
  const Bytes stored(32, 0x7E);
  write_file(path, stored);
  fs::permissions(path, fs::perms(0644));
  const Key32 key = dev_keystore(path.string());
  EXPECT_EQ(Bytes(key.begin(), key.end()), stored);
  EXPECT_EQ(mode_of(path), 0644u);
}

TEST(keystore, unwritable_locations_give_fresh_keys_and_create_nothing) {
  const ScratchDir dir("missing");
  const fs::path path = dir.path / "no-such-dir" / "device.key";
  const Key32 first = dev_keystore(path.string());
  const Key32 second = dev_keystore(path.string());
  EXPECT_NE(first, second);
  EXPECT_FALSE(fs::exists(path.parent_path()));
  // A directory at the path is not a key file and cannot be replaced.
  EXPECT_NE(dev_keystore(dir.path.string()), dev_keystore(dir.path.string()));
  EXPECT_TRUE(fs::is_directory(dir.path));
  const std::string with_nul = (dir.path / "a").string() + std::string(1, '\0') + "b";
  EXPECT_NE(dev_keystore(with_nul), dev_keystore(with_nul));
}
