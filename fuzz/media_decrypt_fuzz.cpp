// decrypt_file on a fuzzed manifest and chunk list, checked against an independent reading that
// opens every chunk with crypto::open. The input is a flags byte, then (split at the next byte)
// a manifest delta and a chunk program.
//
// The manifest is the manifest bytes of a real encrypted file (flags bit 2 picks which) XORed
// with the delta, then parsed; flags bit 1 sets its chunk count to the number of chunks, bit 0
// its hash to the hash of the chunks, so that the fuzzer gets past both checks. The chunk program
// is a list of operations: a real chunk, a real chunk with one byte changed, raw bytes, or
// fuzzed plaintext sealed under the manifest's own key (the sender holds the key, so only the
// shapes are the attacker's). Real and full-size chunks are few per input, to keep it fast.
//
// Beyond the result, the target checks that decrypt_file allocates no more than the chunks can
// yield: a manifest may claim any size up to 64 MiB.
#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <vector>

#include "fuzz_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/media.hpp"

using namespace vostrel;

namespace {

constexpr std::size_t kMaxChunks = 300;
constexpr std::size_t kMaxHeavyChunks = 4;
constexpr std::size_t kAllocationSlack = 64 * 1024;

struct Fixture {
  std::vector<media::EncryptedFile> files;
  std::vector<Bytes> manifests;
  std::vector<const media::Chunk*> chunks;

  Fixture() {
    for (const std::size_t size : {std::size_t{100}, media::CHUNK_SIZE + 50}) {
      Bytes file(size);
      for (std::size_t k = 0; k < size; ++k) file[k] = static_cast<std::uint8_t>(31 * k + 7);
      auto encrypted = media::encrypt_file(file, "image/png");
      fuzz::require(encrypted.has_value(), "a small file encrypts");
      files.push_back(std::move(*encrypted));
    }
    for (const auto& [manifest, file_chunks] : files) {
      const SecretBytes bytes = manifest.to_bytes();
      manifests.emplace_back(bytes.view().begin(), bytes.view().end());
      for (const media::Chunk& chunk : file_chunks) chunks.push_back(&chunk);
    }
  }
};

const Fixture& fixture() {
  static const Fixture f;
  return f;
}

// Largest single allocation while armed.
std::size_t g_largest = 0;
bool g_armed = false;

void on_malloc(const volatile void*, std::size_t size) {
  if (g_armed && size > g_largest) g_largest = size;
}
void on_free(const volatile void*) {}

struct Planned {
  enum class Kind { Copy, Seal } kind = Kind::Copy;
  Bytes bytes;  // the chunk, or the plaintext to seal
  std::uint32_t index_shift = 0;
};

std::vector<Planned> plan_chunks(ByteView program) {
  const Fixture& f = fixture();
  ByteReader reader(program);
  std::vector<Planned> planned;
  std::size_t heavy = 0;
  while (!reader.at_end() && planned.size() < kMaxChunks) {
    const std::uint8_t op = *reader.u8();
    Planned next;
    switch (op % 4) {
      case 0:
      case 1: {
        const std::size_t pick = reader.u8().value_or(0) % f.chunks.size();
        if (++heavy > kMaxHeavyChunks) continue;
        next.bytes = *f.chunks[pick];
        if (op % 4 == 1) {
          const auto at = reader.bytes(3);
          const std::size_t offset =
              at ? (std::size_t{(*at)[0]} << 16 | std::size_t{(*at)[1]} << 8 | (*at)[2]) %
                       next.bytes.size()
                 : next.bytes.size() - 1;
          next.bytes[offset] ^= std::max<std::uint8_t>(reader.u8().value_or(1), 1);
        }
        break;
      }
      case 2: {
        const std::size_t length = reader.u8().value_or(0);
        const ByteView raw = *reader.bytes(std::min(length, reader.remaining()));
        next.bytes.assign(raw.begin(), raw.end());
        break;
      }
      default: {
        const std::uint16_t code = reader.u16().value_or(0);
        std::size_t length = code % 2048;
        if (code >= 0xFF00) {
          if (++heavy > kMaxHeavyChunks) continue;
          length = media::CHUNK_SIZE;
        }
        next.kind = Planned::Kind::Seal;
        next.bytes.resize(length);
        const ByteView fill = *reader.bytes(std::min(length, reader.remaining()));
        std::copy(fill.begin(), fill.end(), next.bytes.begin());
        next.index_shift = (op >> 2) % 4 == 3 ? 1 : 0;
      }
    }
    planned.push_back(std::move(next));
  }
  return planned;
}

ByteArray<24> chunk_ad(const media::FileId& id, std::uint32_t index, std::uint32_t count) {
  ByteArray<24> ad{};
  std::copy(id.begin(), id.end(), ad.begin());
  store_be(ad.data() + 16, index);
  store_be(ad.data() + 20, count);
  return ad;
}

std::vector<media::Chunk> build_chunks(const media::Manifest& manifest,
                                       std::vector<Planned>& planned) {
  std::vector<media::Chunk> chunks;
  chunks.reserve(planned.size());
  for (Planned& p : planned) {
    if (p.kind == Planned::Kind::Copy) {
      chunks.push_back(std::move(p.bytes));
      continue;
    }
    const auto index = static_cast<std::uint32_t>(chunks.size()) + p.index_shift;
    const KeyView key = manifest.file_key.view();
    chunks.push_back(crypto::seal(key, media::chunk_nonce(key, manifest.file_id, index),
                                  chunk_ad(manifest.file_id, index, manifest.chunk_count),
                                  p.bytes));
  }
  return chunks;
}

Key32 hash_of(const std::vector<media::Chunk>& chunks) {
  crypto::Sha256 hash;
  for (const media::Chunk& chunk : chunks) hash.update(chunk);
  return hash.finish();
}

// What decrypt_file must give, read without it.
std::optional<Bytes> expected(const media::Manifest& m, const std::vector<media::Chunk>& chunks) {
  if (m.chunk_count != chunks.size() || chunks.size() > media::MAX_CHUNKS) return std::nullopt;
  if (m.size > std::uint64_t{chunks.size()} * media::CHUNK_SIZE) return std::nullopt;
  if (hash_of(chunks) != m.hash) return std::nullopt;
  Bytes file;
  for (std::uint32_t i = 0; i < chunks.size(); ++i) {
    const KeyView key = m.file_key.view();
    const auto plain = crypto::open(key, media::chunk_nonce(key, m.file_id, i),
                                    chunk_ad(m.file_id, i, m.chunk_count), chunks[i]);
    if (!plain) return std::nullopt;
    put_bytes(file, *plain);
  }
  if (file.size() < m.size) return std::nullopt;
  file.resize(static_cast<std::size_t>(m.size));
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Fixture& f = fixture();
  const std::uint8_t flags = data[0];
  const fuzz::Split parts = fuzz::split_input(ByteView(data + 1, size - 1));

  Bytes manifest_bytes = f.manifests[(flags >> 2) & 1];
  for (std::size_t i = 0; i < parts.first.size(); ++i) {
    if (i < manifest_bytes.size()) {
      manifest_bytes[i] ^= parts.first[i];
    } else {
      manifest_bytes.push_back(parts.first[i]);
    }
  }
  auto manifest = media::Manifest::from_bytes(manifest_bytes);
  if (!manifest) return 0;

  std::vector<Planned> planned = plan_chunks(parts.second);
  if (flags & 2) manifest->chunk_count = static_cast<std::uint32_t>(planned.size());
  const std::vector<media::Chunk> chunks = build_chunks(*manifest, planned);
  if (flags & 1) manifest->hash = hash_of(chunks);

  std::size_t yield = 0;
  for (const media::Chunk& chunk : chunks) {
    yield += chunk.size() > crypto::kTagBytes ? chunk.size() - crypto::kTagBytes : 0;
  }
  g_largest = 0;
  g_armed = true;
  const auto result = media::decrypt_file(*manifest, chunks);
  g_armed = false;
  fuzz::require(g_largest <= yield + kAllocationSlack,
                "decrypt_file allocates no more than the chunks can yield");

  const auto model = expected(*manifest, chunks);
  fuzz::require(result.has_value() == model.has_value(), "decrypt_file fails exactly when it must");
  fuzz::require(result || result.error() == media::MediaError::Corrupt, "every failure is Corrupt");
  if (result) fuzz::require(*result == *model, "decrypt_file gives the chunks' plaintext");
  return 0;
}
