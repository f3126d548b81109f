#include "vostrel/media.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "test_support.hpp"
#include "vostrel/labels.hpp"

using namespace vostrel;
using namespace vostrel::media;
using vostrel::test::filled;
using vostrel::test::hex;

namespace {

Bytes patterned(std::size_t size) {
  Bytes file(size);
  for (std::size_t k = 0; k < size; ++k) file[k] = static_cast<std::uint8_t>((31 * k + 7) % 256);
  return file;
}

EncryptedFile encrypt_ok(ByteView file, std::string_view mime) {
  auto result = encrypt_file(file, mime);
  if (!result) throw Panic("encrypt_file failed");
  return std::move(*result);
}

Key32 hash_of(std::span<const Chunk> chunks) {
  crypto::Sha256 hash;
  for (const Chunk& chunk : chunks) hash.update(chunk);
  return hash.finish();
}

Manifest copy_of(const Manifest& m) {
  return Manifest{m.file_id, m.file_key.clone(), m.size, m.chunk_count, m.hash, m.opaque, m.mime};
}

}  // namespace

TEST(media, roundtrip_small_and_multichunk) {
  for (std::size_t size : {0u, 10u, 262'143u, 262'144u, 262'145u, 786'439u}) {
    SCOPED_TRACE(size);
    const Bytes file = patterned(size);
    auto encrypted = encrypt_file(file, "image/jpeg");
    ASSERT_TRUE(encrypted.has_value());
    const auto& [manifest, chunks] = *encrypted;
    EXPECT_EQ(manifest.size, file.size());
    EXPECT_EQ(manifest.chunk_count, chunks.size());
    const auto decrypted = decrypt_file(manifest, chunks);
    ASSERT_TRUE(decrypted.has_value());
    EXPECT_EQ(*decrypted, file);
  }
}

TEST(media, every_ciphertext_chunk_is_uniform_size) {
  const auto [manifest, chunks] = encrypt_ok(Bytes(524'388, 0x5A), "video/mp4");
  ASSERT_EQ(chunks.size(), 3u);
  for (const Chunk& chunk : chunks) {
    ASSERT_EQ(chunk.size(), chunks[0].size()) << "chunks must be uniform to hide size";
  }
}

TEST(media, corrupted_chunk_fails_integrity_before_decrypt) {
  auto [manifest, chunks] = encrypt_ok(Bytes(262'194, 0x11), "image/png");
  ASSERT_EQ(chunks.size(), 2u);
  chunks[0].back() ^= 0xFF;
  EXPECT_EQ(decrypt_file(manifest, chunks), std::unexpected(MediaError::Corrupt));
}

TEST(media, reordered_or_truncated_chunks_rejected) {
  auto [manifest, chunks] = encrypt_ok(Bytes(524'288, 0x22), "image/png");
  ASSERT_EQ(chunks.size(), 2u);
  const std::vector<Chunk> swapped = {chunks[1], chunks[0]};
  EXPECT_EQ(decrypt_file(manifest, swapped), std::unexpected(MediaError::Corrupt));
  EXPECT_EQ(decrypt_file(manifest, std::span(chunks).first(1)),
            std::unexpected(MediaError::Corrupt));
}

TEST(media, wrong_file_key_fails) {
  auto [manifest, chunks] = encrypt_ok(Bytes(100, 0x33), "image/png");
  manifest.file_key = Secret32(Key32{});
  EXPECT_EQ(decrypt_file(manifest, chunks), std::unexpected(MediaError::Corrupt));
}

TEST(media, manifest_serialization_roundtrips_and_is_bounded) {
  const auto [manifest, chunks] = encrypt_ok(Bytes(10, 0x44), "image/jpeg");
  const SecretBytes bytes = manifest.to_bytes();
  const auto parsed = Manifest::from_bytes(bytes.view());
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->file_id, manifest.file_id);
  EXPECT_EQ(parsed->file_key.bytes(), manifest.file_key.bytes());
  EXPECT_EQ(parsed->mime, "image/jpeg");
  EXPECT_EQ(parsed->hash, manifest.hash);
  EXPECT_FALSE(Manifest::from_bytes(bytes.view().first(bytes.size() - 1)).has_value());
  Bytes longer(bytes.view().begin(), bytes.view().end());
  longer.push_back(0);
  EXPECT_FALSE(Manifest::from_bytes(longer).has_value()) << "trailing junk rejected";
}

TEST(media, size_and_mime_caps) {
  // One buffer serves both sizes.
  const Bytes file(MAX_FILE_SIZE + 1, 0x55);
  const ByteView largest = ByteView(file).first(MAX_FILE_SIZE);
  {
    const auto [manifest, chunks] = encrypt_ok(largest, "video/mp4");
    EXPECT_EQ(manifest.chunk_count, MAX_CHUNKS);
    EXPECT_EQ(chunks.size(), MAX_CHUNKS);
    const auto decrypted = decrypt_file(manifest, chunks);
    ASSERT_TRUE(decrypted.has_value());
    EXPECT_TRUE(std::equal(decrypted->begin(), decrypted->end(), largest.begin(), largest.end()));
  }
  EXPECT_EQ(encrypt_file(file, "video/mp4").error(), MediaError::TooLarge);

  const std::string mime64(MAX_MIME_LEN, 'm');
  const auto [manifest, chunks] = encrypt_ok(Bytes(1, 0x55), mime64);
  const SecretBytes bytes = manifest.to_bytes();
  ASSERT_EQ(bytes.size(), kManifestHeadBytes + 64);
  const auto parsed = Manifest::from_bytes(bytes.view());
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->mime, mime64);

  Bytes mime65(bytes.view().begin(), bytes.view().end());
  mime65[100] = 65;
  mime65.push_back('m');
  ASSERT_EQ(mime65.size(), 166u);
  EXPECT_FALSE(Manifest::from_bytes(mime65).has_value());

  // Its manifest could not be read back, and the file's key would be lost with it.
  EXPECT_EQ(encrypt_file(Bytes(1, 0x55), mime64 + "m").error(), MediaError::TooLarge);
}

// --- beyond the named checks ---

TEST(media, chunk_counts_and_sizes_follow_the_file_size) {
  const struct {
    std::size_t size;
    std::uint32_t chunks;
  } cases[] = {{0, 1}, {1, 1}, {262'144, 1}, {262'145, 2}, {786'439, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const auto [manifest, chunks] = encrypt_ok(Bytes(c.size, 0x66), "image/png");
    EXPECT_EQ(manifest.chunk_count, c.chunks);
    ASSERT_EQ(chunks.size(), c.chunks);
    for (const Chunk& chunk : chunks) EXPECT_EQ(chunk.size(), kSealedChunkBytes);
    EXPECT_EQ(manifest.opaque, kManifestOpaque);
    const auto decrypted = decrypt_file(manifest, chunks);
    ASSERT_TRUE(decrypted.has_value());
    EXPECT_EQ(decrypted->size(), c.size);
  }
}

TEST(media, chunks_follow_the_stored_format) {
  const Bytes file = patterned(300'000);
  const auto [manifest, chunks] = encrypt_ok(file, "image/png");
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(manifest.hash, hash_of(chunks));
  for (std::uint32_t i = 0; i < 2; ++i) {
    const auto nonce = chunk_nonce(manifest.file_key.view(), manifest.file_id, i);
    const auto index = be_bytes(i);
    const Key32 mac = crypto::hmac_sha256(
        manifest.file_key.view(), {as_bytes(labels::kMediaChunkNonce), manifest.file_id, index});
    EXPECT_TRUE(std::equal(nonce.begin(), nonce.end(), mac.begin()));
    Bytes ad(manifest.file_id.begin(), manifest.file_id.end());
    put_be(ad, i);
    put_be(ad, std::uint32_t{2});
    const auto plaintext = crypto::open(manifest.file_key.view(), nonce, ad, chunks[i]);
    ASSERT_TRUE(plaintext.has_value());
    Bytes expected(CHUNK_SIZE, 0);
    const std::size_t from = std::size_t{i} * CHUNK_SIZE;
    const std::size_t to = std::min(file.size(), from + CHUNK_SIZE);
    std::copy(file.begin() + static_cast<std::ptrdiff_t>(from),
              file.begin() + static_cast<std::ptrdiff_t>(to), expected.begin());
    EXPECT_EQ(*plaintext, expected) << "chunk " << i;
  }
}

TEST(media, encrypting_twice_draws_fresh_keys) {
  const Bytes file(1000, 0x77);
  const auto [first, first_chunks] = encrypt_ok(file, "image/png");
  const auto [second, second_chunks] = encrypt_ok(file, "image/png");
  EXPECT_NE(first.file_key.bytes(), second.file_key.bytes());
  EXPECT_NE(first.file_id, second.file_id);
  EXPECT_NE(first.hash, second.hash);
  EXPECT_NE(first_chunks, second_chunks);
}

TEST(media, any_mismatch_between_manifest_and_chunks_is_corrupt) {
  const auto [manifest, chunks] = encrypt_ok(patterned(600'000), "image/png");
  ASSERT_EQ(chunks.size(), 3u);
  const auto corrupt = std::unexpected(MediaError::Corrupt);

  std::vector<Chunk> too_many = chunks;
  too_many.push_back(chunks[2]);
  EXPECT_EQ(decrypt_file(manifest, too_many), corrupt) << "one chunk too many";
  EXPECT_EQ(decrypt_file(manifest, std::span(chunks).first(2)), corrupt) << "one too few";
  std::vector<Chunk> swapped = chunks;
  std::swap(swapped[1], swapped[2]);
  EXPECT_EQ(decrypt_file(manifest, swapped), corrupt) << "two swapped";
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    for (std::size_t at : {std::size_t{0}, CHUNK_SIZE / 2, kSealedChunkBytes - 1}) {
      std::vector<Chunk> changed = chunks;
      changed[i][at] ^= 0x01;
      EXPECT_EQ(decrypt_file(manifest, changed), corrupt) << "chunk " << i << " byte " << at;
    }
  }

  Manifest bigger = copy_of(manifest);
  bigger.size = 3 * CHUNK_SIZE + 1;
  EXPECT_EQ(decrypt_file(bigger, chunks), corrupt) << "size one byte beyond the chunks";
  Manifest other_id = copy_of(manifest);
  other_id.file_id[0] ^= 0x01;
  EXPECT_EQ(decrypt_file(other_id, chunks), corrupt) << "another file id";
  const auto [stranger, stranger_chunks] = encrypt_ok(patterned(600'000), "image/png");
  EXPECT_EQ(decrypt_file(manifest, stranger_chunks), corrupt) << "another file's chunks";
  EXPECT_EQ(decrypt_file(manifest, chunks).value().size(), 600'000u);
}

TEST(media, chunk_count_beyond_the_cap_is_corrupt) {
  Manifest manifest;
  manifest.chunk_count = MAX_CHUNKS + 1;
  const std::vector<Chunk> chunks(MAX_CHUNKS + 1);
  manifest.hash = hash_of(chunks);
  EXPECT_EQ(decrypt_file(manifest, chunks), std::unexpected(MediaError::Corrupt));
}

TEST(media, empty_chunk_set_decrypts_to_an_empty_file) {
  Manifest manifest;
  manifest.hash = crypto::sha256({});
  const auto decrypted = decrypt_file(manifest, {});
  ASSERT_TRUE(decrypted.has_value());
  EXPECT_TRUE(decrypted->empty());
  manifest.size = 1;
  EXPECT_EQ(decrypt_file(manifest, {}), std::unexpected(MediaError::Corrupt));
}

// A chunk made outside encrypt_file, sealed over fewer bytes than a full chunk.
TEST(media, short_chunk_cannot_stand_for_a_larger_size) {
  Manifest manifest;
  manifest.file_key = Secret32(filled<32>(0x21));
  manifest.file_id = filled<16>(0x12);
  manifest.chunk_count = 1;
  const Bytes plaintext = patterned(100);
  Bytes ad(manifest.file_id.begin(), manifest.file_id.end());
  put_be(ad, std::uint32_t{0});
  put_be(ad, std::uint32_t{1});
  const std::vector<Chunk> chunks = {
      crypto::seal(manifest.file_key.view(),
                   chunk_nonce(manifest.file_key.view(), manifest.file_id, 0), ad, plaintext)};
  manifest.hash = hash_of(chunks);

  manifest.size = 100;
  EXPECT_EQ(decrypt_file(manifest, chunks), plaintext);
  manifest.size = 60;
  EXPECT_EQ(decrypt_file(manifest, chunks), Bytes(plaintext.begin(), plaintext.begin() + 60));
  manifest.size = 101;
  EXPECT_EQ(decrypt_file(manifest, chunks), std::unexpected(MediaError::Corrupt));
}

// 256 authentic empty chunks cannot stand for 64 MiB; refused without reserving the output.
TEST(media, size_beyond_what_the_chunks_hold_is_corrupt) {
  Manifest manifest;
  manifest.file_key = Secret32(filled<32>(0x21));
  manifest.file_id = filled<16>(0x12);
  manifest.chunk_count = MAX_CHUNKS;
  manifest.size = MAX_FILE_SIZE;
  std::vector<Chunk> chunks;
  for (std::uint32_t i = 0; i < MAX_CHUNKS; ++i) {
    Bytes ad(manifest.file_id.begin(), manifest.file_id.end());
    put_be(ad, i);
    put_be(ad, MAX_CHUNKS);
    chunks.push_back(crypto::seal(manifest.file_key.view(),
                                  chunk_nonce(manifest.file_key.view(), manifest.file_id, i), ad,
                                  {}));
  }
  manifest.hash = hash_of(chunks);
  EXPECT_EQ(decrypt_file(manifest, chunks), std::unexpected(MediaError::Corrupt));
  manifest.size = 0;
  EXPECT_EQ(decrypt_file(manifest, chunks), Bytes{}) << "the same chunks hold an empty file";
}

TEST(media, manifest_bytes_layout) {
  Manifest manifest;
  manifest.file_id = filled<16>(0x01);
  manifest.file_key = Secret32(filled<32>(0x02));
  manifest.size = 0x0102030405060708;
  manifest.chunk_count = 0x0A0B0C0D;
  manifest.hash = filled<32>(0x03);
  manifest.opaque = 0xFFEEDDCCBBAA9988;
  manifest.mime = "a/b";
  const SecretBytes bytes = manifest.to_bytes();
  const Bytes expected =
      hex("01010101010101010101010101010101"
          "0202020202020202020202020202020202020202020202020202020202020202"
          "0102030405060708"
          "0a0b0c0d"
          "0303030303030303030303030303030303030303030303030303030303030303"
          "ffeeddccbbaa9988"
          "03"
          "612f62");
  EXPECT_TRUE(
      std::equal(bytes.view().begin(), bytes.view().end(), expected.begin(), expected.end()));
  const auto parsed = Manifest::from_bytes(bytes.view());
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->size, manifest.size);
  EXPECT_EQ(parsed->chunk_count, manifest.chunk_count);
  EXPECT_EQ(parsed->opaque, manifest.opaque) << "opaque survives the round trip";
  EXPECT_EQ(parsed->mime, "a/b");
}

TEST(media, manifest_parser_edges) {
  Bytes bare(kManifestHeadBytes, 0x09);
  bare[100] = 0;
  const auto empty_mime = Manifest::from_bytes(bare);
  ASSERT_TRUE(empty_mime.has_value());
  EXPECT_TRUE(empty_mime->mime.empty());
  EXPECT_FALSE(Manifest::from_bytes(ByteView(bare).first(100)));
  EXPECT_FALSE(Manifest::from_bytes({}));

  for (const char* bad : {"c0af", "eda080", "f4908080", "80", "e282", "ff"}) {
    Bytes with_mime = bare;
    const Bytes mime = hex(bad);
    with_mime[100] = static_cast<std::uint8_t>(mime.size());
    put_bytes(with_mime, mime);
    EXPECT_FALSE(Manifest::from_bytes(with_mime)) << bad;
  }
  Bytes good_mime = bare;
  good_mime[100] = 4;
  put_bytes(good_mime, hex("f09f918b"));
  EXPECT_TRUE(Manifest::from_bytes(good_mime));
}

TEST(media, error_text_form) {
  EXPECT_EQ(to_string(MediaError::TooLarge), "TooLarge");
  EXPECT_EQ(to_string(MediaError::Corrupt), "Corrupt");
  std::ostringstream out;
  out << MediaError::Corrupt;
  EXPECT_EQ(out.str(), "Corrupt");
  EXPECT_EQ(static_cast<int>(MediaError::TooLarge), 0);
  EXPECT_EQ(static_cast<int>(MediaError::Corrupt), 1);
}
