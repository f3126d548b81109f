#include "vostrel/media.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/mman.h>

#include <memory>
#include <ostream>

#include "vostrel/labels.hpp"

namespace vostrel::media {
namespace {

// EVP lengths are ints: long inputs go through in pieces.
constexpr std::size_t kEvpPiece = std::size_t{1} << 30;
constexpr std::size_t kAssociatedDataBytes = 24;

std::uint32_t chunks_for(std::uint64_t size) noexcept {
  const std::uint64_t n = (size + CHUNK_SIZE - 1) / CHUNK_SIZE;
  return static_cast<std::uint32_t>(n == 0 ? 1 : n);
}

ByteArray<kAssociatedDataBytes> chunk_associated_data(const FileId& file_id, std::uint32_t index,
                                                      std::uint32_t count) noexcept {
  return concat(file_id, be_bytes(index), be_bytes(count));
}

Chunk seal_chunk(const Manifest& manifest, std::uint32_t index, ByteView piece) {
  const crypto::Nonce12 nonce = chunk_nonce(manifest.file_key.view(), manifest.file_id, index);
  const auto ad = chunk_associated_data(manifest.file_id, index, manifest.chunk_count);
  // Whole chunks are sealed straight from the file; only the last one is padded with zeros.
  if (piece.size() == CHUNK_SIZE) return crypto::seal(manifest.file_key.view(), nonce, ad, piece);
  Bytes padded(CHUNK_SIZE);
  std::copy(piece.begin(), piece.end(), padded.begin());
  const WipeOnExit wipe(std::span<std::uint8_t>(padded).first(piece.size()));
  return crypto::seal(manifest.file_key.view(), nonce, ad, padded);
}

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};
struct MacCtxFree {
  void operator()(EVP_MAC_CTX* ctx) const noexcept { EVP_MAC_CTX_free(ctx); }
};

// The AEAD open for chunks: the tag is verified first, then only the plaintext bytes the caller
// asks for are decrypted, straight into the caller's buffer. One cipher and one MAC state serve
// every chunk of a file; freeing them wipes them.
class ChunkOpener {
 public:
  ChunkOpener() {
    static EVP_CIPHER* const chacha20 = EVP_CIPHER_fetch(nullptr, "ChaCha20", nullptr);
    static EVP_MAC* const poly1305 = EVP_MAC_fetch(nullptr, "POLY1305", nullptr);
    cipher_ = chacha20;
    stream_.reset(EVP_CIPHER_CTX_new());
    if (poly1305 != nullptr) mac_.reset(EVP_MAC_CTX_new(poly1305));
    if (!stream_ || !mac_ || cipher_ == nullptr) throw std::bad_alloc();
  }

  // Writes the first out.size() plaintext bytes (at most the ciphertext's length) when the tag
  // verifies.
  [[nodiscard]] bool open_into(KeyView key, crypto::NonceView nonce, ByteView ad, ByteView sealed,
                               std::span<std::uint8_t> out) {
    if (sealed.size() < crypto::kTagBytes || sealed.size() > crypto::kMaxSealedBytes) return false;
    const ByteView ciphertext = sealed.first(sealed.size() - crypto::kTagBytes);
    if (out.size() > ciphertext.size()) return false;
    // Block 0 gives the one-time Poly1305 key; the data starts at block 1.
    ByteArray<16> iv{};
    std::copy(nonce.begin(), nonce.end(), iv.begin() + 4);
    if (EVP_CipherInit_ex2(stream_.get(), cipher_, key.data(), iv.data(), 1, nullptr) != 1) {
      return false;
    }
    ByteArray<64> block0{};
    const bool keyed = apply_stream(block0.data(), block0.data(), block0.size()) &&
                       EVP_MAC_init(mac_.get(), block0.data(), 32, nullptr) == 1;
    OPENSSL_cleanse(block0.data(), block0.size());
    if (!keyed) return false;
    ByteArray<16> tag{};
    if (!compute_tag(ad, ciphertext, tag)) return false;
    if (CRYPTO_memcmp(tag.data(), sealed.data() + ciphertext.size(), tag.size()) != 0) {
      return false;
    }
    return apply_stream(out.data(), ciphertext.data(), out.size());
  }

 private:
  bool apply_stream(std::uint8_t* out, const std::uint8_t* in, std::size_t length) {
    while (length > 0) {
      const std::size_t piece = std::min(length, kEvpPiece);
      int written = 0;
      if (EVP_CipherUpdate(stream_.get(), out, &written, in, static_cast<int>(piece)) != 1) {
        return false;
      }
      out += piece;
      in += piece;
      length -= piece;
    }
    return true;
  }

  // RFC 8439 section 2.8: padded associated data, padded ciphertext, both lengths little-endian.
  bool compute_tag(ByteView ad, ByteView ciphertext, ByteArray<16>& tag) {
    static constexpr ByteArray<16> zeros{};
    bool ok = true;
    const auto update_padded = [&](ByteView part) {
      ok = ok && EVP_MAC_update(mac_.get(), part.data(), part.size()) == 1;
      if (part.size() % 16 != 0) {
        ok = ok && EVP_MAC_update(mac_.get(), zeros.data(), 16 - part.size() % 16) == 1;
      }
    };
    update_padded(ad);
    update_padded(ciphertext);
    ByteArray<16> lengths{};
    for (std::size_t i = 0; i < 8; ++i) {
      lengths[i] = static_cast<std::uint8_t>(ad.size() >> (8 * i));
      lengths[8 + i] = static_cast<std::uint8_t>(ciphertext.size() >> (8 * i));
    }
    std::size_t tag_length = 0;
    return ok && EVP_MAC_update(mac_.get(), lengths.data(), lengths.size()) == 1 &&
           EVP_MAC_final(mac_.get(), tag.data(), &tag_length, tag.size()) == 1;
  }

  const EVP_CIPHER* cipher_ = nullptr;
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> stream_;
  std::unique_ptr<EVP_MAC_CTX, MacCtxFree> mac_;
};

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
  const auto index_bytes = be_bytes(index);
  return crypto::derive_nonce(file_key, {as_bytes(labels::kMediaChunkNonce), file_id, index_bytes});
}

std::expected<EncryptedFile, MediaError> encrypt_file(ByteView file, std::string_view mime) {
  if (file.size() > MAX_FILE_SIZE || mime.size() > MAX_MIME_LEN) {
    return std::unexpected(MediaError::TooLarge);
  }
  Manifest manifest;
  os_random(manifest.file_key.mutable_bytes());
  os_random(manifest.file_id);
  manifest.size = file.size();
  manifest.chunk_count = chunks_for(file.size());
  manifest.opaque = kManifestOpaque;

  std::vector<Chunk> chunks;
  chunks.reserve(manifest.chunk_count);
  crypto::Sha256 hash;
  for (std::uint32_t i = 0; i < manifest.chunk_count; ++i) {
    const std::size_t offset = std::size_t{i} * CHUNK_SIZE;
    const ByteView piece = file.subspan(offset, std::min(CHUNK_SIZE, file.size() - offset));
    Chunk sealed = seal_chunk(manifest, i, piece);
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
  if (!hash_matches(chunks, manifest.hash)) return corrupt;

  // The size is at most 64 MiB and what the chunks hold here, and the buffer never grows past it.
  const auto size = static_cast<std::size_t>(manifest.size);
  Bytes file;
  file.reserve(size);
  advise_huge_pages(file.data(), file.capacity());
  WipeOnExit wipe(file);
  ChunkOpener opener;
  for (std::uint32_t i = 0; i < manifest.chunk_count; ++i) {
    const ByteView sealed = chunks[i];
    const std::size_t available =
        sealed.size() < crypto::kTagBytes ? 0 : sealed.size() - crypto::kTagBytes;
    // Zero padding past the file's end is authenticated but never decrypted.
    const std::size_t wanted = std::min(available, size - file.size());
    const std::size_t start = file.size();
    file.resize(start + wanted);
    wipe.cover(file);
    const crypto::Nonce12 nonce = chunk_nonce(manifest.file_key.view(), manifest.file_id, i);
    const auto ad = chunk_associated_data(manifest.file_id, i, manifest.chunk_count);
    if (!opener.open_into(manifest.file_key.view(), nonce, ad, sealed,
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
