#include <benchmark/benchmark.h>
#include <openssl/evp.h>

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

// The floor: OpenSSL's ChaCha20-Poly1305 and SHA-256 over the same bytes in chunk-sized pieces.
// With `fresh_output`, every pass allocates its output as encrypt_file and decrypt_file must;
// without, the output buffer is allocated once for all passes.
struct Bare {
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_MD_CTX* hash = EVP_MD_CTX_new();
  const Key32 key{};
  const ByteArray<12> nonce{};

  Bare() = default;
  Bare(const Bare&) = delete;
  Bare& operator=(const Bare&) = delete;
  ~Bare() {
    EVP_MD_CTX_free(hash);
    EVP_CIPHER_CTX_free(ctx);
    EVP_MD_free(md);
    EVP_CIPHER_free(cipher);
  }

  void seal_chunk(const std::uint8_t* in, std::uint8_t* out) {
    int written = 0;
    EVP_EncryptInit_ex2(ctx, cipher, key.data(), nonce.data(), nullptr);
    EVP_EncryptUpdate(ctx, out, &written, in, static_cast<int>(media::CHUNK_SIZE));
    EVP_EncryptFinal_ex(ctx, out + media::CHUNK_SIZE, &written);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out + media::CHUNK_SIZE);
  }
  // Decrypts and checks the tag afterwards: the cheapest way, not the order decrypt_file keeps.
  void open_chunk(const std::uint8_t* in, std::uint8_t* out) {
    int written = 0;
    EVP_DecryptInit_ex2(ctx, cipher, key.data(), nonce.data(), nullptr);
    EVP_DecryptUpdate(ctx, out, &written, in, static_cast<int>(media::CHUNK_SIZE));
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16,
                        const_cast<std::uint8_t*>(in + media::CHUNK_SIZE));
    EVP_DecryptFinal_ex(ctx, out + media::CHUNK_SIZE, &written);
  }
  void hash_update(const std::uint8_t* data, std::size_t length) {
    EVP_DigestUpdate(hash, data, length);
  }
  Key32 hash_finish() {
    Key32 digest{};
    EVP_DigestFinal_ex(hash, digest.data(), nullptr);
    EVP_DigestInit_ex2(hash, md, nullptr);
    return digest;
  }
};

void BM_bare_seal_and_hash(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const bool fresh_output = state.range(1) != 0;
  const Bytes file(size, 0xA5);
  Bare bare;
  EVP_DigestInit_ex2(bare.hash, bare.md, nullptr);
  std::vector<Bytes> kept(size / media::CHUNK_SIZE, Bytes(media::kSealedChunkBytes));
  for (auto _ : state) {
    std::vector<Bytes> fresh;
    if (fresh_output) fresh.reserve(kept.size());
    for (std::size_t i = 0; i < kept.size(); ++i) {
      if (fresh_output) fresh.emplace_back(media::kSealedChunkBytes);
      Bytes& chunk = fresh_output ? fresh.back() : kept[i];
      bare.seal_chunk(file.data() + i * media::CHUNK_SIZE, chunk.data());
      bare.hash_update(chunk.data(), chunk.size());
    }
    benchmark::DoNotOptimize(bare.hash_finish());
    benchmark::DoNotOptimize(fresh);
  }
  count_megabytes(state, size);
}
BENCHMARK(BM_bare_seal_and_hash)
    ->ArgsProduct({{kSmall, kLarge}, {0, 1}})
    ->ArgNames({"size", "fresh_output"})
    ->Unit(benchmark::kMillisecond);

void BM_bare_hash_and_open(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const bool fresh_output = state.range(1) != 0;
  const Bytes file(size, 0xA5);
  Bare bare;
  EVP_DigestInit_ex2(bare.hash, bare.md, nullptr);
  std::vector<Bytes> chunks(size / media::CHUNK_SIZE, Bytes(media::kSealedChunkBytes));
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    bare.seal_chunk(file.data() + i * media::CHUNK_SIZE, chunks[i].data());
  }
  Bytes kept(size);
  for (auto _ : state) {
    for (const Bytes& chunk : chunks) bare.hash_update(chunk.data(), chunk.size());
    benchmark::DoNotOptimize(bare.hash_finish());
    Bytes fresh;
    if (fresh_output) fresh.resize(size);
    Bytes& out = fresh_output ? fresh : kept;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      bare.open_chunk(chunks[i].data(), out.data() + i * media::CHUNK_SIZE);
    }
    benchmark::DoNotOptimize(out);
  }
  count_megabytes(state, size);
}
BENCHMARK(BM_bare_hash_and_open)
    ->ArgsProduct({{kSmall, kLarge}, {0, 1}})
    ->ArgNames({"size", "fresh_output"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
