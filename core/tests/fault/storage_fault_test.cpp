// Allocation failures in what is kept at rest: the message log, attachments, the identity, the
// device key file, and the post-quantum key exchange beside them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "fault_sweep.hpp"
#include "test_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/identity.hpp"
#include "vostrel/keystore.hpp"
#include "vostrel/media.hpp"
#include "vostrel/pqkem.hpp"
#include "vostrel/store.hpp"

using namespace vostrel;
using fault::FaultRun;
using fault::require;
using fault::Scenario;
using fault::sweep_all;
using test::filled;
namespace fs = std::filesystem;

namespace {

const Key32 kStorageKey = filled<32>(0x33);
const Key32 kOtherKey = filled<32>(0x44);

// OpenSSL's first use made, so that a sweep fails only the allocations of the call itself.
void warm_up() {
  require(crypto::sha256({as_bytes("abc")}) != Key32{}, "warm-up");
}

// ---- the message log

// Texts long enough to live outside the string, so that each entry allocates.
const std::string kLongText(40, 'a');
const std::string kLongReply = "r\u00e9ponse " + std::string(40, 'b');

store::MessageLog log_of(std::size_t entries) {
  store::MessageLog log;
  for (std::size_t i = 0; i < entries; ++i) {
    const auto direction = i % 2 == 0 ? store::Direction::Sent : store::Direction::Received;
    require(log.append(direction, 1000 + i, i % 2 == 0 ? kLongText : kLongReply), "append");
  }
  return log;
}

// The log, sealed and opened again, still holds `expected` and seals as before.
void log_still_serves(const store::MessageLog& log, const store::MessageLog& expected) {
  require(log.entries() == expected.entries(), "the entries");
  const Bytes blob = log.to_encrypted(kStorageKey);
  require(blob == expected.to_encrypted(kStorageKey), "the sealed log");
  const auto opened = store::MessageLog::from_encrypted(kStorageKey, blob);
  require(opened && opened->entries() == expected.entries(), "the log opened again");
}

// ---- attachments

// Long enough to live outside the string.
constexpr std::string_view kMime = "application/vnd.oasis.opendocument.presentation";

Bytes patterned(std::size_t size) {
  Bytes file(size);
  for (std::size_t k = 0; k < size; ++k) file[k] = static_cast<std::uint8_t>((31 * k + 7) % 256);
  return file;
}

media::EncryptedFile encrypted(ByteView file) {
  auto result = media::encrypt_file(file, kMime);
  require(result.has_value(), "encrypt_file");
  return std::move(*result);
}

// An encrypted file that opens to `file`, with a manifest that reads back.
void opens_to(const media::EncryptedFile& sealed, const Bytes& file) {
  const auto& [manifest, chunks] = sealed;
  require(manifest.size == file.size() && manifest.mime == kMime, "the manifest");
  for (const media::Chunk& chunk : chunks) {
    require(chunk.size() == media::kSealedChunkBytes, "a uniform chunk");
  }
  require(media::decrypt_file(manifest, chunks) == file, "the attachment decrypts");
  const auto read_back = media::Manifest::from_bytes(manifest.to_bytes().view());
  require(read_back && media::decrypt_file(*read_back, chunks) == file, "the manifest reads back");
}

Key32 hash_of(std::span<const media::Chunk> chunks) {
  crypto::Sha256 hash;
  for (const media::Chunk& chunk : chunks) hash.update(chunk);
  return hash.finish();
}

// ---- identity

const ByteView kMessage = as_bytes("attach this to the handshake transcript");

// The identity point as key and R, with S = 0: good over any message in the ordinary mode,
// refused by libsodium's stricter one.
Key32 identity_point() {
  Key32 point{};
  point[0] = 1;
  return point;
}
identity::Signature small_order_signature() {
  identity::Signature signature{};
  signature[0] = 1;
  return signature;
}

// A signature refused by libsodium's check and by nothing before it.
identity::Signature forged(const identity::Identity& signer) {
  identity::Signature signature = signer.sign(kMessage);
  signature[40] ^= 0x01;
  return signature;
}

// Every verdict is right, whatever stopped before.
void verdicts_still_right(const identity::Identity& signer) {
  require(identity::verify(signer.public_key(), kMessage, signer.sign(kMessage)),
          "a good signature after the stop");
  require(!identity::verify(signer.public_key(), kMessage, forged(signer)),
          "a forged signature after the stop");
  require(identity::verify(identity_point(), kMessage, small_order_signature()),
          "a small-order signature after the stop");
}

// One verdict of verify, by whichever of its paths the signature takes.
Scenario verdict_of(std::string_view what, bool expected,
                    std::function<bool(const identity::Identity&)> verdict) {
  return {std::string(what), [=](FaultRun& run) {
            warm_up();
            const identity::Identity signer = identity::Identity::generate();
            if (auto got = run.faulted([&] { return verdict(signer); })) {
              require(*got == expected, what);
            }
            verdicts_still_right(signer);
          }};
}

void same_identity(const identity::Identity& got, const identity::Identity& expected) {
  require(got.public_key() == expected.public_key(), "the public key");
  require(got.sign(kMessage) == expected.sign(kMessage), "the signature");
  require(got.to_encrypted(kStorageKey) == expected.to_encrypted(kStorageKey), "the sealed seed");
}

// ---- the device key file

Bytes file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const Bytes& bytes, fs::perms mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  fs::permissions(path, mode);
}

mode_t mode_of(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 0777;
}

std::size_t files_in(const fs::path& dir) {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// A directory removed with everything in it, also what failed runs left behind.
struct ScratchDir {
  explicit ScratchDir(const fs::path& where) : path(where) {
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  fs::path path;
};

fs::path temp_dir() {
  const char* tmpdir = std::getenv("TMPDIR");
  return fs::path(tmpdir && *tmpdir ? tmpdir : "/tmp");
}

// Each run of a sweep is a process of its own, with a directory of its own.
fs::path run_dir(const fs::path& sweep_dir) {
  return sweep_dir / ("run-" + std::to_string(::getpid()));
}

}  // namespace

TEST(store_faults, message_log) {
  sweep_all({
      {"MessageLog append, growing",
       [](FaultRun& run) {
         store::MessageLog log = log_of(2);
         if (!run.faulted([&] { return log.append(store::Direction::Sent, 1002, kLongText); })) {
           log_still_serves(log, log_of(2));
           require(log.append(store::Direction::Sent, 1002, kLongText), "append again");
         }
         log_still_serves(log, log_of(3));
       }},
      {"MessageLog append, with room",
       [](FaultRun& run) {
         store::MessageLog log = log_of(3);
         if (!run.faulted(
                 [&] { return log.append(store::Direction::Received, 1003, kLongReply); })) {
           log_still_serves(log, log_of(3));
           require(log.append(store::Direction::Received, 1003, kLongReply), "append again");
         }
         log_still_serves(log, log_of(4));
       }},
      {"MessageLog to_encrypted",
       [](FaultRun& run) {
         warm_up();
         const store::MessageLog log = log_of(3);
         const Bytes expected = log_of(3).to_encrypted(kStorageKey);
         if (auto blob = run.faulted([&] { return log.to_encrypted(kStorageKey); })) {
           require(*blob == expected, "the sealed log");
         }
         log_still_serves(log, log_of(3));
       }},
      {"MessageLog from_encrypted",
       [](FaultRun& run) {
         warm_up();
         const Bytes blob = log_of(3).to_encrypted(kStorageKey);
         if (auto opened = run.faulted(
                 [&] { return store::MessageLog::from_encrypted(kStorageKey, blob); })) {
           require(opened->has_value(), "a stop inside from_encrypted is no refusal");
           log_still_serves(**opened, log_of(3));
         }
         const auto again = store::MessageLog::from_encrypted(kStorageKey, blob);
         require(again.has_value(), "the log opens after the stop");
         log_still_serves(*again, log_of(3));
       }},
      {"MessageLog from_encrypted under another key",
       [](FaultRun& run) {
         warm_up();
         const Bytes blob = log_of(3).to_encrypted(kStorageKey);
         if (auto opened =
                 run.faulted([&] { return store::MessageLog::from_encrypted(kOtherKey, blob); })) {
           require(!opened->has_value(), "opened under another key");
         }
         require(!store::MessageLog::from_encrypted(kOtherKey, blob), "opened under another key");
         require(store::MessageLog::from_encrypted(kStorageKey, blob).has_value(), "the right key");
       }},
  });
}

TEST(media_faults, attachments) {
  // One chunk, then one whole chunk and a short one.
  const std::pair<std::size_t, std::string> files[] = {{1000, "one chunk"},
                                                       {media::CHUNK_SIZE + 1, "two chunks"}};
  for (const auto& [size, pieces] : files) {
    const Bytes file = patterned(size);
    sweep_all({
        {"encrypt_file, " + pieces,
         [&](FaultRun& run) {
           warm_up();
           if (auto got = run.faulted([&] { return media::encrypt_file(file, kMime); })) {
             require(got->has_value(), "a stop inside encrypt_file is no refusal");
             opens_to(**got, file);
           }
           opens_to(encrypted(file), file);
         }},
        {"decrypt_file, " + pieces,
         [&](FaultRun& run) {
           warm_up();
           const auto sealed = encrypted(file);
           const auto& [manifest, chunks] = sealed;
           const std::vector<media::Chunk> chunks_before = chunks;
           if (auto got = run.faulted([&] { return media::decrypt_file(manifest, chunks); })) {
             require(*got == file, "a stop inside decrypt_file is no refusal");
           }
           require(chunks == chunks_before, "the chunks");
           opens_to(sealed, file);
         }},
        {"decrypt_file of a tampered chunk, " + pieces,
         [&](FaultRun& run) {
           warm_up();
           auto [manifest, chunks] = encrypted(file);
           chunks.back()[100] ^= 0x01;
           // Past the hash, so that the tag refuses it.
           manifest.hash = hash_of(chunks);
           if (auto got = run.faulted([&] { return media::decrypt_file(manifest, chunks); })) {
             require(*got == std::unexpected(media::MediaError::Corrupt),
                     "a tampered chunk opened");
           }
           require(
               media::decrypt_file(manifest, chunks) == std::unexpected(media::MediaError::Corrupt),
               "a tampered chunk opened");
         }},
    });
  }
  sweep_all({
      {"Manifest to_bytes",
       [](FaultRun& run) {
         const auto sealed = encrypted(patterned(1000));
         const SecretBytes expected = sealed.first.to_bytes();
         if (auto got = run.faulted([&] { return sealed.first.to_bytes(); })) {
           require(std::ranges::equal(got->view(), expected.view()), "the manifest bytes");
         }
         require(std::ranges::equal(sealed.first.to_bytes().view(), expected.view()),
                 "the manifest bytes after the stop");
       }},
      {"Manifest from_bytes",
       [](FaultRun& run) {
         const Bytes file = patterned(1000);
         const auto sealed = encrypted(file);
         const SecretBytes bytes = sealed.first.to_bytes();
         if (auto got = run.faulted([&] { return media::Manifest::from_bytes(bytes.view()); })) {
           require(got->has_value(), "a stop inside from_bytes is no refusal");
           require(std::ranges::equal((*got)->to_bytes().view(), bytes.view()), "the manifest");
         }
         const auto again = media::Manifest::from_bytes(bytes.view());
         require(again && media::decrypt_file(*again, sealed.second) == file, "read back again");
       }},
  });
}

TEST(identity_faults, identity) {
  sweep_all({
      {"Identity to_encrypted",
       [](FaultRun& run) {
         warm_up();
         const identity::Identity id = identity::Identity::generate();
         const Bytes expected = id.to_encrypted(kStorageKey);
         if (auto blob = run.faulted([&] { return id.to_encrypted(kStorageKey); })) {
           require(*blob == expected, "the sealed seed");
         }
         require(id.to_encrypted(kStorageKey) == expected, "sealed after the stop");
         const auto opened = identity::Identity::from_encrypted(kStorageKey, expected);
         require(opened.has_value(), "opened after the stop");
         same_identity(*opened, id);
       }},
      {"Identity from_encrypted",
       [](FaultRun& run) {
         warm_up();
         const identity::Identity id = identity::Identity::generate();
         const Bytes blob = id.to_encrypted(kStorageKey);
         if (auto got = run.faulted(
                 [&] { return identity::Identity::from_encrypted(kStorageKey, blob); })) {
           require(got->has_value(), "a stop inside from_encrypted is no refusal");
           same_identity(**got, id);
         }
         const auto again = identity::Identity::from_encrypted(kStorageKey, blob);
         require(again.has_value(), "opened after the stop");
         same_identity(*again, id);
       }},
      {"Identity from_encrypted under another key",
       [](FaultRun& run) {
         warm_up();
         const Bytes blob = identity::Identity::generate().to_encrypted(kStorageKey);
         if (auto got =
                 run.faulted([&] { return identity::Identity::from_encrypted(kOtherKey, blob); })) {
           require(!got->has_value(), "opened under another key");
         }
         require(!identity::Identity::from_encrypted(kOtherKey, blob), "opened under another key");
         require(identity::Identity::from_encrypted(kStorageKey, blob).has_value(),
                 "the right key");
       }},
  });
  fault::expect_allocation_free({
      {"Identity generate",
       [](FaultRun& run) {
         warm_up();
         if (auto got = run.faulted([] { return identity::Identity::generate(); })) {
           const auto opened =
               identity::Identity::from_encrypted(kStorageKey, got->to_encrypted(kStorageKey));
           require(opened.has_value(), "the new identity opens");
           same_identity(*opened, *got);
           verdicts_still_right(*got);
         }
       }},
      {"Identity sign",
       [](FaultRun& run) {
         warm_up();
         const identity::Identity signer = identity::Identity::generate();
         const identity::Signature expected = signer.sign(kMessage);
         if (auto got = run.faulted([&] { return signer.sign(kMessage); })) {
           require(*got == expected, "the signature");
         }
         verdicts_still_right(signer);
       }},
      verdict_of("verify of a good signature", true,
                 [](const identity::Identity& signer) {
                   return identity::verify(signer.public_key(), kMessage, signer.sign(kMessage));
                 }),
      verdict_of("verify of a forged signature", false,
                 [](const identity::Identity& signer) {
                   return identity::verify(signer.public_key(), kMessage, forged(signer));
                 }),
      verdict_of("verify of a small-order signature", true,
                 [](const identity::Identity&) {
                   return identity::verify(identity_point(), kMessage, small_order_signature());
                 }),
  });
}

TEST(keystore_faults, device_key_file) {
  const ScratchDir dir(temp_dir() / ("vostrel-storage-faults-" + std::to_string(::getpid())));
  const fs::path sweep_dir = dir.path;
  const Bytes stored(32, 0x7E);
  const Bytes unusable(31, 0x61);
  fault::sweep_all_from_the_start({
      {"dev_keystore creating the file",
       [&](FaultRun& run) {
         const ScratchDir here(run_dir(sweep_dir));
         const fs::path path = here.path / "device.key";
         const std::string name = path.string();
         if (auto got = run.faulted([&] { return keystore::dev_keystore(name); })) {
           require(file_bytes(path) == Bytes(got->begin(), got->end()), "the key stored");
         } else {
           require(files_in(here.path) == 0, "a stopped creation leaves a file behind");
         }
         const PlainSecret32 key = keystore::dev_keystore(name);
         require(file_bytes(path) == Bytes(key.begin(), key.end()), "the key stored");
         require(mode_of(path) == 0600 && files_in(here.path) == 1, "one private file");
         require(keystore::dev_keystore(name) == key, "the key loaded again");
       }},
      {"dev_keystore loading the file",
       [&](FaultRun& run) {
         const ScratchDir here(run_dir(sweep_dir));
         const fs::path path = here.path / "device.key";
         write_file(path, stored, fs::perms(0644));
         const std::string name = path.string();
         if (auto got = run.faulted([&] { return keystore::dev_keystore(name); })) {
           require(Bytes(got->begin(), got->end()) == stored,
                   "a stop inside loading is no refusal");
         }
         require(file_bytes(path) == stored && mode_of(path) == 0644, "the stored file untouched");
         require(files_in(here.path) == 1, "a file left behind");
         const PlainSecret32 key = keystore::dev_keystore(name);
         require(Bytes(key.begin(), key.end()) == stored, "the key loaded after the stop");
       }},
      {"dev_keystore replacing an unusable file",
       [&](FaultRun& run) {
         const ScratchDir here(run_dir(sweep_dir));
         const fs::path path = here.path / "device.key";
         write_file(path, unusable, fs::perms(0644));
         const std::string name = path.string();
         if (auto got = run.faulted([&] { return keystore::dev_keystore(name); })) {
           require(file_bytes(path) == Bytes(got->begin(), got->end()), "the key stored");
         } else {
           require(file_bytes(path) == unusable && files_in(here.path) == 1,
                   "a stopped replacement changed the file");
         }
         const PlainSecret32 key = keystore::dev_keystore(name);
         require(file_bytes(path) == Bytes(key.begin(), key.end()), "the key stored");
         require(mode_of(path) == 0600 && files_in(here.path) == 1, "one private file");
       }},
  });
}

TEST(pqkem_faults, key_exchange_allocates_nothing) {
  fault::expect_allocation_free({
      {"KemKeyPair generate, encapsulate, decapsulate",
       [](FaultRun& run) {
         const auto exchanged = [] {
           const pqkem::KemKeyPair pair = pqkem::KemKeyPair::generate();
           const pqkem::Encapsulation sent = pqkem::encapsulate(pair.ek);
           return pqkem::decapsulate(pair.dk, sent.ct).bytes() == sent.ss.bytes();
         };
         if (auto got = run.faulted(exchanged)) require(*got, "the shared secret");
       }},
      {"KemKeyPair from_seed, encapsulate_with",
       [](FaultRun& run) {
         const auto seed = filled<pqkem::kSeedBytes>(5);
         const auto randomness = filled<pqkem::kEncapsulationRandomnessBytes>(6);
         const Key32 expected =
             pqkem::encapsulate_with(pqkem::KemKeyPair::from_seed(seed).ek, randomness).ss.bytes();
         const auto exchanged = [&] {
           const pqkem::KemKeyPair pair = pqkem::KemKeyPair::from_seed(seed);
           const pqkem::Encapsulation sent = pqkem::encapsulate_with(pair.ek, randomness);
           return sent.ss.bytes() == expected &&
                  pqkem::decapsulate(pair.dk, sent.ct).bytes() == expected;
         };
         if (auto got = run.faulted(exchanged)) require(*got, "the shared secret");
       }},
  });
}
