#pragma once

// Attachments of up to 64 MiB, sealed in uniform chunks under a fresh file key and described by a
// manifest that is checked against the whole chunk set before any chunk is opened.

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vostrel/common.hpp"
#include "vostrel/crypto.hpp"

namespace vostrel::media {

inline constexpr std::size_t CHUNK_SIZE = 262'144;
inline constexpr std::uint64_t MAX_FILE_SIZE = 67'108'864;
inline constexpr std::uint32_t MAX_CHUNKS = 256;
inline constexpr std::size_t MAX_MIME_LEN = 64;
// Every ciphertext chunk, whatever the file's size.
inline constexpr std::size_t kSealedChunkBytes = CHUNK_SIZE + crypto::kTagBytes;
// The manifest bytes before the MIME type.
inline constexpr std::size_t kManifestHeadBytes = 101;
inline constexpr std::uint64_t kManifestOpaque = 2000;

using FileId = ByteArray<16>;

enum class MediaError : std::uint8_t { TooLarge = 0, Corrupt = 1 };

std::string_view to_string(MediaError error) noexcept;
std::ostream& operator<<(std::ostream& out, MediaError error);

// Holds the file key in clear: it travels only over an encrypted channel. The key is wiped when
// the manifest is released.
struct Manifest {
  FileId file_id{};
  Secret32 file_key;
  std::uint64_t size = 0;
  std::uint32_t chunk_count = 0;
  Key32 hash{};
  // Carried and read back, read by nothing else.
  std::uint64_t opaque = 0;
  std::string mime;

  // 101 + MIME length bytes. A MIME type longer than MAX_MIME_LEN gives bytes that from_bytes
  // refuses; encrypt_file never makes such a manifest.
  [[nodiscard]] SecretBytes to_bytes() const;
  [[nodiscard]] static std::optional<Manifest> from_bytes(ByteView bytes);
};

using Chunk = Bytes;
using EncryptedFile = std::pair<Manifest, std::vector<Chunk>>;

// The first 12 bytes of HMAC-SHA-256(file key, "vostrel/v1/media/chunk-nonce" || file id || index).
[[nodiscard]] crypto::Nonce12 chunk_nonce(KeyView file_key, FixedView<16> file_id,
                                          std::uint32_t index);

// TooLarge for a file beyond MAX_FILE_SIZE or a MIME type beyond MAX_MIME_LEN bytes (its manifest
// could not be read back). The MIME type is expected to be UTF-8, as from_bytes requires. Stops
// with "OS CSPRNG" when the random source fails.
[[nodiscard]] std::expected<EncryptedFile, MediaError> encrypt_file(ByteView file,
                                                                    std::string_view mime);

// Corrupt for every failure, with no partial output: count, size and the hash over all chunks are
// checked before any chunk is opened.
[[nodiscard]] std::expected<Bytes, MediaError> decrypt_file(const Manifest& manifest,
                                                            std::span<const Chunk> chunks);

}  // namespace vostrel::media
