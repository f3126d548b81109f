#include <benchmark/benchmark.h>

#include "floor.hpp"
#include "pairs.hpp"
#include "vostrel/media.hpp"

namespace {

using namespace vostrel;

constexpr std::size_t kLarge = media::MAX_FILE_SIZE;
constexpr std::size_t kSmall = std::size_t{1} << 20;

void count_megabytes(benchmark::State& state, std::size_t bytes) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(bytes) / 1e6,
                                              benchmark::Counter::kIsIterationInvariantRate);
}

void BM_encrypt_file(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const Bytes file(size, 0xA5);
  for (auto _ : state) {
    auto encrypted = media::encrypt_file(file, "video/mp4");
    benchmark::DoNotOptimize(encrypted);
  }
  count_megabytes(state, size);
}
BENCHMARK(BM_encrypt_file)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);

void BM_decrypt_file(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const Bytes file(size, 0xA5);
  const auto encrypted = media::encrypt_file(file, "video/mp4");
  if (!encrypted) state.SkipWithError("encrypt_file failed");
  for (auto _ : state) {
    auto decrypted = media::decrypt_file(encrypted->first, encrypted->second);
    benchmark::DoNotOptimize(decrypted);
  }
  count_megabytes(state, size);
}
BENCHMARK(BM_decrypt_file)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);

// The floor (floor.hpp) seals and opens the same chunks under the same nonces and associated data,
// checked against the library's own file. The kept-output yardstick writes into buffers allocated
// once for all passes: the difference is what fresh memory costs.
struct Fixture {
  explicit Fixture(std::size_t size)
      : file(size, 0xA5), encrypted(media::encrypt_file(file, "video/mp4")) {}

  const Bytes file;
  std::expected<media::EncryptedFile, media::MediaError> encrypted;
};

// The file key and id of the library's encryption, once the floor has sealed the same chunks under
// them. The library's chunks are released then: 64 MiB held on the side slow every fresh
// allocation of the pass, as allocation on the library's side of the pair is not slowed.
std::optional<std::pair<Key32, media::FileId>> floor_encrypts_alike(benchmark::State& state,
                                                                    floor::Aead& aead, Fixture& f) {
  if (!f.encrypted) {
    state.SkipWithError("encrypt_file failed");
    return std::nullopt;
  }
  const auto& [library_manifest, library_chunks] = *f.encrypted;
  const Key32 key = library_manifest.file_key.bytes();
  const auto [manifest, chunks] =
      floor::encrypt_file(aead, f.file, "video/mp4", key, library_manifest.file_id);
  if (!bench::agree(state, manifest.to_bytes().view(), library_manifest.to_bytes().view(),
                    "manifest")) {
    return std::nullopt;
  }
  if (chunks.size() != library_chunks.size()) {
    state.SkipWithError("chunk counts differ");
    return std::nullopt;
  }
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (!bench::agree(state, library_chunks[i], chunks[i], "chunk")) return std::nullopt;
  }
  std::pair<Key32, media::FileId> used{key, library_manifest.file_id};
  f.encrypted = std::unexpected(media::MediaError::Corrupt);
  return used;
}

void BM_encrypt_file_floor(benchmark::State& state) {
  Fixture f(static_cast<std::size_t>(state.range(0)));
  floor::Aead aead;
  const auto used = floor_encrypts_alike(state, aead, f);
  if (!used) return;
  for (auto _ : state) {
    auto encrypted = floor::encrypt_file(aead, f.file, "video/mp4", used->first, used->second);
    benchmark::DoNotOptimize(encrypted);
  }
  count_megabytes(state, f.file.size());
}
BENCHMARK(BM_encrypt_file_floor)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);

void BM_encrypt_file_bare_kept_output(benchmark::State& state) {
  Fixture f(static_cast<std::size_t>(state.range(0)));
  floor::Aead aead;
  const auto used = floor_encrypts_alike(state, aead, f);
  if (!used) return;
  std::vector<Bytes> kept((f.file.size() + media::CHUNK_SIZE - 1) / media::CHUNK_SIZE,
                          Bytes(media::kSealedChunkBytes));
  for (auto _ : state) {
    auto encrypted =
        floor::encrypt_file(aead, f.file, "video/mp4", used->first, used->second, &kept);
    benchmark::DoNotOptimize(encrypted);
    benchmark::DoNotOptimize(kept.data());
  }
  count_megabytes(state, f.file.size());
}
BENCHMARK(BM_encrypt_file_bare_kept_output)
    ->Arg(kSmall)
    ->Arg(kLarge)
    ->Unit(benchmark::kMillisecond);

bool floor_decrypts_alike(benchmark::State& state, floor::Aead& aead, const Fixture& f) {
  if (!f.encrypted) {
    state.SkipWithError("encrypt_file failed");
    return false;
  }
  const auto opened = floor::decrypt_file(aead, f.encrypted->first, f.encrypted->second);
  return bench::agree(state, f.file, opened.value_or(Bytes{}), "file");
}

void BM_decrypt_file_floor(benchmark::State& state) {
  const Fixture f(static_cast<std::size_t>(state.range(0)));
  floor::Aead aead;
  if (!floor_decrypts_alike(state, aead, f)) return;
  for (auto _ : state) {
    auto decrypted = floor::decrypt_file(aead, f.encrypted->first, f.encrypted->second);
    benchmark::DoNotOptimize(decrypted);
  }
  count_megabytes(state, f.file.size());
}
BENCHMARK(BM_decrypt_file_floor)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);

void BM_decrypt_file_bare_kept_output(benchmark::State& state) {
  const Fixture f(static_cast<std::size_t>(state.range(0)));
  floor::Aead aead;
  if (!floor_decrypts_alike(state, aead, f)) return;
  Bytes kept(f.file.size());
  for (auto _ : state) {
    auto decrypted = floor::decrypt_file(aead, f.encrypted->first, f.encrypted->second, &kept);
    benchmark::DoNotOptimize(decrypted);
    benchmark::DoNotOptimize(kept.data());
  }
  count_megabytes(state, f.file.size());
}
BENCHMARK(BM_decrypt_file_bare_kept_output)
    ->Arg(kSmall)
    ->Arg(kLarge)
    ->Unit(benchmark::kMillisecond);

}  // namespace
