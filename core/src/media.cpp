#include "vostrel/media.hpp"

#include <sys/mman.h>

#include <ostream>

#include "vostrel/internal/error_queue.hpp"
#include "vostrel/labels.hpp"

namespace vostrel::media {
namespace {

constexpr std::size_t kAssociatedDataBytes = 24;

std::uint32_t chunks_for(std::uint64_t size) noexcept {
  const std::uint64_t n = (size + CHUNK_SIZE - 1) / CHUNK_SIZE;
  return static_cast<std::uint32_t>(n == 0 ? 1 : n);
}

ByteArray<kAssociatedDataBytes> chunk_associated_data(const FileId& file_id, std::uint32_t index,
                                                      std::uint32_t count) noexcept {
  return concat(file_id, be_bytes(index), be_bytes(count));
}

// The nonce of one chunk under the file key, prepared once for all chunks of a file.
crypto::Nonce12 nonce_of(crypto::HmacKey& file_key, FixedView<16> file_id, std::uint32_t index) {
  const auto index_bytes = be_bytes(index);
  Key32 full = file_key.mac({as_bytes(labels::kMediaChunkNonce), file_id, index_bytes});
  crypto::Nonce12 nonce{};
  std::copy_n(full.begin(), nonce.size(), nonce.begin());
  secure_zero(full.data(), full.size());
  return nonce;
}

Chunk seal_chunk(const Manifest& manifest, crypto::HmacKey& nonce_key, std::uint32_t index,
                 ByteView piece) {
  const crypto::Nonce12 nonce = nonce_of(nonce_key, manifest.file_id, index);
  const auto ad = chunk_associated_data(manifest.file_id, index, manifest.chunk_count);
  // Whole chunks are sealed straight from the file; only the last one is padded with zeros.
  if (piece.size() == CHUNK_SIZE) return crypto::seal(manifest.file_key.view(), nonce, ad, piece);
  Bytes padded(CHUNK_SIZE);
  std::copy(piece.begin(), piece.end(), padded.begin());
  const WipeOnExit wipe(std::span<std::uint8_t>(padded).first(piece.size()));
  return crypto::seal(manifest.file_key.view(), nonce, ad, padded);
}

// The most plaintext the chunks can give back: each chunk less its tag.
std::uint64_t plaintext_capacity(std::span<const Chunk> chunks) noexcept {
  std::uint64_t capacity = 0;
  for (const Chunk& chunk : chunks) {
    if (chunk.size() > crypto::kTagBytes) capacity += chunk.size() - crypto::kTagBytes;
  }
  return capacity;
}

bool hash_matches(std::span<const Chunk> chunks, const Key32& expected) {
  crypto::Sha256 hash;
  for (const Chunk& chunk : chunks) hash.update(chunk);
  return crypto::ct_equal(hash.finish(), expected);
}

}  // namespace

std::string_view to_string(MediaError error) noexcept {
  switch (error) {
    case MediaError::TooLarge:
      return "TooLarge";
    case MediaError::Corrupt:
      return "Corrupt";
  }
  return "MediaError(?)";
}

std::ostream& operator<<(std::ostream& out, MediaError error) {
  return out << to_string(error);
}

crypto::Nonce12 chunk_nonce(KeyView file_key, FixedView<16> file_id, std::uint32_t index) {
  const crypto::HeldErrorQueue held;
  crypto::HmacKey key(file_key);
  return nonce_of(key, file_id, index);
}

std::expected<EncryptedFile, MediaError> encrypt_file(ByteView file, std::string_view mime) {
  if (file.size() > MAX_FILE_SIZE || mime.size() > MAX_MIME_LEN) {
    return std::unexpected(MediaError::TooLarge);
  }
  const crypto::HeldErrorQueue held;
  Manifest manifest;
  os_random(manifest.file_key.mutable_bytes());
  os_random(manifest.file_id);
  manifest.size = file.size();
  manifest.chunk_count = chunks_for(file.size());
  manifest.opaque = kManifestOpaque;

  std::vector<Chunk> chunks;
  chunks.reserve(manifest.chunk_count);
  crypto::Sha256 hash;
  crypto::HmacKey nonce_key(manifest.file_key.view());
  for (std::uint32_t i = 0; i < manifest.chunk_count; ++i) {
    const std::size_t offset = std::size_t{i} * CHUNK_SIZE;
    const ByteView piece = file.subspan(offset, std::min(CHUNK_SIZE, file.size() - offset));
    Chunk sealed = seal_chunk(manifest, nonce_key, i, piece);
    hash.update(sealed);
    chunks.push_back(std::move(sealed));
  }
  manifest.hash = hash.finish();
  manifest.mime = std::string(mime);
  return EncryptedFile(std::move(manifest), std::move(chunks));
}

namespace {

// A large output takes most of its time in page faults on fresh memory; huge pages, where the
// system grants them, cut those by a factor of 512. Only advice: nothing changes if refused.
void advise_huge_pages(std::uint8_t* data, std::size_t length) noexcept {
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  if (length < 2 * kHugePage) return;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + length) & ~(kHugePage - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace

std::expected<Bytes, MediaError> decrypt_file(const Manifest& manifest,
                                              std::span<const Chunk> chunks) {
  const auto corrupt = std::unexpected(MediaError::Corrupt);
  if (manifest.chunk_count != chunks.size() || chunks.size() > MAX_CHUNKS) return corrupt;
  if (manifest.size > std::uint64_t{chunks.size()} * CHUNK_SIZE) return corrupt;
  // Short chunks cannot hold the size the manifest claims; refused before the output buffer is
  // reserved, so a few bytes of chunks never cost 64 MiB.
  if (manifest.size > plaintext_capacity(chunks)) return corrupt;
  const crypto::HeldErrorQueue held;
  if (!hash_matches(chunks, manifest.hash)) return corrupt;

  // The size is at most 64 MiB and what the chunks hold here, and the buffer never grows past it.
  const auto size = static_cast<std::size_t>(manifest.size);
  Bytes file;
  file.reserve(size);
  advise_huge_pages(file.data(), file.capacity());
  WipeOnExit wipe(file);
  crypto::HmacKey nonce_key(manifest.file_key.view());
  for (std::uint32_t i = 0; i < manifest.chunk_count; ++i) {
    const ByteView sealed = chunks[i];
    const std::size_t available =
        sealed.size() < crypto::kTagBytes ? 0 : sealed.size() - crypto::kTagBytes;
    // Zero padding past the file's end is authenticated but never decrypted.
    const std::size_t wanted = std::min(available, size - file.size());
    const std::size_t start = file.size();
    file.resize(start + wanted);
    wipe.cover(file);
    const crypto::Nonce12 nonce = nonce_of(nonce_key, manifest.file_id, i);
    const auto ad = chunk_associated_data(manifest.file_id, i, manifest.chunk_count);
    if (!crypto::open_into(manifest.file_key.view(), nonce, ad, sealed,
                           std::span(file).subspan(start))) {
      return corrupt;
    }
  }
  // Chunks that yield fewer bytes than the manifest promises are not the file it describes.
  if (file.size() != size) return corrupt;
  wipe.release();
  return file;
}

SecretBytes Manifest::to_bytes() const {
  SecretBytes out;
  out.reserve(kManifestHeadBytes + mime.size());
  put_bytes(out, file_id);
  put_bytes(out, file_key.view());
  put_be(out, size);
  put_be(out, chunk_count);
  put_bytes(out, hash);
  put_be(out, opaque);
  out.push_back(static_cast<std::uint8_t>(mime.size()));
  out.append(as_bytes(mime));
  return out;
}

std::optional<Manifest> Manifest::from_bytes(ByteView bytes) {
  // The fixed head first: every read below stays within it.
  if (bytes.size() < kManifestHeadBytes) return std::nullopt;
  ByteReader reader(bytes);
  Manifest manifest;
  manifest.file_id = *reader.array<16>();
  manifest.file_key = Secret32(*reader.fixed<32>());
  manifest.size = *reader.u64();
  manifest.chunk_count = *reader.u32();
  manifest.hash = *reader.array<32>();
  manifest.opaque = *reader.u64();
  const std::uint8_t mime_length = *reader.u8();
  if (mime_length > MAX_MIME_LEN) return std::nullopt;
  const auto mime = reader.bytes(mime_length);
  if (!mime || !reader.at_end() || !is_utf8(*mime)) return std::nullopt;
  manifest.mime.assign(mime->begin(), mime->end());
  return manifest;
}

}  // namespace vostrel::media
