// Seeds of the message log and media targets.
#include <string>

#include "corpus.hpp"
#include "fuzz_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/media.hpp"
#include "vostrel/store.hpp"

namespace vostrel::fuzz {
namespace {

Bytes plaintext_of(const store::MessageLog& log) {
  const auto opened = crypto::open(fixed_key(), crypto::kAtRestNonce,
                                   as_bytes(store::kLogAtRestLabel), log.to_encrypted(fixed_key()));
  if (!opened) throw Panic("a saved log opens");
  return *opened;
}

Seeds store_log_seeds() {
  store::MessageLog empty;
  store::MessageLog one;
  if (!one.append(store::Direction::Sent, 0, "")) throw Panic("append");
  store::MessageLog chat;
  const bool appended =
      chat.append(store::Direction::Sent, 1'700'000'000, "hello") &&
      chat.append(store::Direction::Received, 1'700'000'042,
                  "gr\xc3\xbc\xc3\x9f dich \xf0\x9f\x91\x8b") &&
      chat.append(store::Direction::Sent, ~std::uint64_t{0}, std::string(600, 'x'));
  if (!appended) throw Panic("append");
  return {plaintext_of(empty), plaintext_of(one), plaintext_of(chat),
          chat.to_encrypted(fixed_key())};
}

Bytes manifest_bytes(ByteView file, std::string_view mime) {
  const auto encrypted = media::encrypt_file(file, mime);
  if (!encrypted) throw Panic("encrypt_file");
  const SecretBytes bytes = encrypted->first.to_bytes();
  return Bytes(bytes.view().begin(), bytes.view().end());
}

Seeds media_manifest_seeds() {
  return {manifest_bytes(Bytes(10, 7), "image/jpeg"), manifest_bytes({}, ""),
          manifest_bytes(Bytes(3, 1), std::string(media::MAX_MIME_LEN, 'm'))};
}

// The media_decrypt input: flags, the split byte, the manifest delta, the chunk program. The
// target's manifests and chunks are real encrypted files of its own (a one-chunk file, and a
// two-chunk file picked by flags bit 2); a zero delta keeps the manifest as it was made.
Bytes decrypt_input(std::uint8_t flags, ByteView delta, ByteView program) {
  Bytes out{flags, static_cast<std::uint8_t>(delta.size())};
  put_bytes(out, delta);
  put_bytes(out, program);
  return out;
}

Seeds media_decrypt_seeds() {
  // Op 0 copies a real chunk (0: the one-chunk file's, 1 and 2: the two-chunk file's); op 1 flips
  // a byte of one; op 2 gives raw bytes; op 3 seals fuzzed plaintext under the manifest's key.
  const Bytes one_chunk_file = {0, 0};
  const Bytes two_chunk_file = {0, 1, 0, 2};
  const Bytes swapped = {0, 2, 0, 1};
  const Bytes flipped = {1, 0, 0, 0, 5, 0x80};
  const Bytes sealed = {3, 0, 5, 'h', 'e', 'l', 'l', 'o', 3, 0, 0, 2, 3, 'r', 'a', 'w'};
  ByteArray<media::kManifestHeadBytes> size_delta{};
  size_delta[55] = 0x01;  // the size, one byte larger
  return {decrypt_input(0, {}, one_chunk_file),
          decrypt_input(4, {}, two_chunk_file),
          decrypt_input(4, {}, swapped),
          decrypt_input(0, {}, flipped),
          decrypt_input(0, size_delta, one_chunk_file),
          decrypt_input(3, {}, sealed),
          decrypt_input(3, {}, {})};
}

const SeedRegistration log_registration{"store_log", store_log_seeds};
const SeedRegistration manifest_registration{"media_manifest", media_manifest_seeds};
const SeedRegistration decrypt_registration{"media_decrypt", media_decrypt_seeds};

}  // namespace
}  // namespace vostrel::fuzz
