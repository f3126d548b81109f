// The sampling of the AVX2 backend: rejection sampling by compare and shuffle, and the Keccak
// streams of an operation (matrix, noise, H or J) scheduled onto the lanes of the four-way
// Keccak.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "ct.hpp"
#include "keccak.hpp"
#include "keccak_rounds.hpp"
#include "poly_avx2.hpp"

namespace mlkem768::detail {
namespace {

// For each 8-bit mask of accepted 16-bit lanes: the byte shuffle that moves those lanes to the
// front, in order, and how many there are. Indexed by the mask of public matrix data only.
struct CompactTable {
  alignas(16) std::uint8_t shuffle[256][16];
  std::uint8_t count[256];
};

constexpr CompactTable compact_table() {
  CompactTable t{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned n = 0;
    for (unsigned lane = 0; lane < 8; ++lane) {
      if ((mask >> lane) & 1U) {
        t.shuffle[mask][2 * n] = static_cast<std::uint8_t>(2 * lane);
        t.shuffle[mask][2 * n + 1] = static_cast<std::uint8_t>(2 * lane + 1);
        ++n;
      }
    }
    for (unsigned j = 2 * n; j < 16; ++j) t.shuffle[mask][j] = 0x80;
    t.count[mask] = static_cast<std::uint8_t>(n);
  }
  return t;
}

constexpr CompactTable kCompact = compact_table();

struct alignas(32) Bytes32 {
  std::uint8_t v[32];
};
struct alignas(32) Dwords8 {
  std::int32_t v[8];
};

constexpr Bytes32 kUnpack12 = {{0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11,
                                0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11}};
constexpr Dwords8 kSpread12 = {{0, 1, 2, 2, 3, 4, 5, 5}};

MLKEM768_AVX2_TARGET inline unsigned compact8(std::int16_t* r, __m128i values,
                                              unsigned mask) noexcept {
  const __m128i order = _mm_load_si128(reinterpret_cast<const __m128i*>(kCompact.shuffle[mask]));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(r), _mm_shuffle_epi8(values, order));
  return kCompact.count[mask];
}

// Rejection sampling of Avx2::rej_uniform, where the caller vouches that readable >= buflen
// bytes may be read: a block with 8 spare bytes after it is parsed by vector to its end.
MLKEM768_AVX2_TARGET unsigned rej_uniform_vec(std::int16_t* r, unsigned len,
                                              const std::uint8_t* buf, std::size_t buflen,
                                              std::size_t readable) noexcept {
  const __m256i low12 = _mm256_set1_epi16(0x0FFF), q = _mm256_set1_epi16(kQ);
  const __m256i spread = _mm256_load_si256(reinterpret_cast<const __m256i*>(&kSpread12));
  const __m256i unpack = _mm256_load_si256(reinterpret_cast<const __m256i*>(&kUnpack12));
  unsigned ctr = 0;
  std::size_t pos = 0;
  while (ctr + 16 <= len && pos + 24 <= buflen && pos + 32 <= readable) {
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + pos));
    pos += 24;
    x = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(x, spread), unpack);
    const __m256i d = _mm256_blend_epi16(_mm256_and_si256(x, low12), _mm256_srli_epi16(x, 4), 0xAA);
    const __m256i good = _mm256_cmpgt_epi16(q, d);
    // Bytes 0-7 of the packed masks are lanes 0-7, bytes 16-23 lanes 8-15.
    const auto mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_packs_epi16(good, good)));
    ctr += compact8(r + ctr, _mm256_castsi256_si128(d), mask & 0xFF);
    ctr += compact8(r + ctr, _mm256_extracti128_si256(d, 1), (mask >> 16) & 0xFF);
  }
  return ctr + Portable::rej_uniform(r + ctr, len - ctr, buf + pos, buflen - pos);
}

// The four-way scheduler of sample_jobs. Each lane of the four-way state runs one stream at a
// time: a matrix entry (SHAKE-128, squeezed block by block until SampleNTT is done), a noise
// polynomial (one SHAKE-256 block) or the digest (absorbed block by block, then 32 bytes out).
// A lane that finishes takes the next stream at once, so streams of different lengths share
// the permutations; an idle lane is permuted along and ignored. The number of permutations
// depends on the matrix only, which is public.
enum class StreamKind : std::uint8_t { kIdle, kMatrix, kNoise, kDigest };

struct Stream {
  StreamKind kind = StreamKind::kIdle;
  poly* out = nullptr;
  std::uint8_t input[kSymBytes + 2] = {};  // rho || x || y, or seed || nonce
};

struct DigestStream {
  const std::uint8_t* msg[2];
  std::size_t len[2];
  std::size_t total, absorbed;
  bool padded;  // the final block is in the state
  std::uint8_t suffix;
  std::uint8_t* out;
};

struct LaneWork {
  StreamKind kind = StreamKind::kIdle;
  poly* out = nullptr;
  unsigned ctr = 0;
};

void xor_into_lane(avx2::Keccak4x& st, std::size_t k, const std::uint8_t* in,
                   std::size_t len) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= len; i += 8) st.lanes[i / 8][k] ^= load64_le(in + i);
  for (; i < len; ++i) st.lanes[i / 8][k] ^= std::uint64_t{in[i]} << (8 * (i % 8));
}

void xor_byte_into_lane(avx2::Keccak4x& st, std::size_t k, std::size_t pos,
                        std::uint8_t value) noexcept {
  st.lanes[pos / 8][k] ^= std::uint64_t{value} << (8 * (pos % 8));
}

void start_lane(avx2::Keccak4x& st, std::size_t k, const std::uint8_t* in, std::size_t len,
                std::size_t rate) noexcept {
  for (auto& lane : st.lanes) lane[k] = 0;
  xor_into_lane(st, k, in, len);
  xor_byte_into_lane(st, k, len, kShakeSuffix);
  xor_byte_into_lane(st, k, rate - 1, 0x80);
}

void extract_lane(const avx2::Keccak4x& st, std::size_t k, std::uint8_t* out,
                  std::size_t words) noexcept {
  for (std::size_t i = 0; i < words; ++i) std::memcpy(out + 8 * i, &st.lanes[i][k], 8);
}

// The next block of the digest's message into lane k, the padding with the last one.
void absorb_digest_block(avx2::Keccak4x& st, std::size_t k, DigestStream& d,
                         std::uint8_t (&block)[kShake256Rate]) noexcept {
  const std::size_t n = std::min(d.total - d.absorbed, kShake256Rate);
  // The block may straddle the two parts of the message.
  const std::size_t from_first = d.absorbed < d.len[0] ? std::min(n, d.len[0] - d.absorbed) : 0;
  if (from_first > 0) std::memcpy(block, d.msg[0] + d.absorbed, from_first);
  if (n > from_first) {
    std::memcpy(block + from_first, d.msg[1] + (d.absorbed + from_first - d.len[0]),
                n - from_first);
  }
  xor_into_lane(st, k, block, n);
  d.absorbed += n;
  if (n < kShake256Rate) {
    xor_byte_into_lane(st, k, n, d.suffix);
    xor_byte_into_lane(st, k, kShake256Rate - 1, 0x80);
    d.padded = true;
  }
}

// XOF input of entry (i, j): rho || j || i, or rho || i || j when transposed.
void set_indices(std::uint8_t* seed, std::size_t i, std::size_t j, bool transposed) noexcept {
  seed[kSymBytes] = static_cast<std::uint8_t>(transposed ? i : j);
  seed[kSymBytes + 1] = static_cast<std::uint8_t>(transposed ? j : i);
}

}  // namespace

// 24 bytes make 16 candidates (as in frombytes); the accepted ones of each half are moved to
// the front with a shuffle and stored at the write position. Runs while a whole vector fits
// both in the output and in the 32 bytes read; the portable loop parses what is left.
MLKEM768_AVX2_TARGET unsigned Avx2::rej_uniform(std::int16_t* r, unsigned len,
                                                const std::uint8_t* buf,
                                                std::size_t buflen) noexcept {
  return rej_uniform_vec(r, len, buf, buflen, buflen);
}

MLKEM768_AVX2_TARGET void Avx2::expand_matrix(poly a[kK][kK], const std::uint8_t rho[kSymBytes],
                                              bool transposed) noexcept {
  sample_jobs({.matrix = a, .rho = rho, .transposed = transposed});
}

// Four PRF streams per four-way permutation; one SHAKE-256 block covers the 128 bytes of
// CBD_2. Lanes past count draw the next nonces, whose output is wiped unused.
MLKEM768_AVX2_TARGET void Avx2::sample_noise(poly* out, unsigned count,
                                             const std::uint8_t seed[kSymBytes],
                                             std::uint8_t nonce) noexcept {
  std::uint8_t inputs[4][kSymBytes + 1];
  for (auto& in : inputs) std::memcpy(in, seed, kSymBytes);
  alignas(32) std::uint8_t buf[4][kShake256Rate];
  avx2::Keccak4x state;
  for (unsigned n = 0; n < count; n += 4) {
    for (unsigned k = 0; k < 4; ++k)
      inputs[k][kSymBytes] = static_cast<std::uint8_t>(nonce + n + k);
    avx2::shake256x4_absorb_once(state, inputs[0], inputs[1], inputs[2], inputs[3], kSymBytes + 1);
    avx2::shake256x4_squeeze_blocks(state, buf[0], buf[1], buf[2], buf[3], 1);
    for (unsigned k = 0; k < 4 && n + k < count; ++k) cbd_eta2(out[n + k], buf[k]);
  }
  wipe_object(inputs);
  wipe_object(buf);
  wipe_object(state);
}

MLKEM768_AVX2_TARGET void Avx2::sample_jobs(const SamplingJobs& jobs) noexcept {
  // The digest first, as the longest stream, then the matrix, then the noise.
  Stream queue[kK * kK + 2 * kK + 1];
  std::size_t queued = 0;
  if (jobs.matrix != nullptr) {
    for (std::size_t i = 0; i < kK; ++i) {
      for (std::size_t j = 0; j < kK; ++j) {
        Stream& s = queue[queued++];
        s.kind = StreamKind::kMatrix;
        s.out = &jobs.matrix[i][j];
        std::memcpy(s.input, jobs.rho, kSymBytes);
        set_indices(s.input, i, j, jobs.transposed);
      }
    }
  }
  for (unsigned n = 0; jobs.noise != nullptr && n < jobs.noise_count; ++n) {
    Stream& s = queue[queued++];
    s.kind = StreamKind::kNoise;
    s.out = &jobs.noise[n];
    std::memcpy(s.input, jobs.noise_seed, kSymBytes);
    s.input[kSymBytes] = static_cast<std::uint8_t>(n);
  }
  DigestStream digest{};
  bool digest_waiting = jobs.digest != nullptr;
  if (digest_waiting) {
    digest = {{jobs.digest_msg[0], jobs.digest_msg[1]},
              {jobs.digest_len[0], jobs.digest_len[1]},
              jobs.digest_len[0] + jobs.digest_len[1],
              0,
              false,
              jobs.digest_kind == Digest::kSha3_256 ? kSha3Suffix : kShakeSuffix,
              jobs.digest};
  }

  avx2::Keccak4x st;
  LaneWork lanes[4];
  alignas(32) std::uint8_t block[kShake128Rate + 8] = {};  // spare bytes for vector reads
  std::uint8_t digest_block[kShake256Rate];
  std::size_t next = 0;
  for (;;) {
    bool busy = false;
    for (std::size_t k = 0; k < 4; ++k) {
      LaneWork& lane = lanes[k];
      if (lane.kind == StreamKind::kIdle && digest_waiting) {
        for (auto& word : st.lanes) word[k] = 0;
        absorb_digest_block(st, k, digest, digest_block);
        lane = {StreamKind::kDigest, nullptr, 0};
        digest_waiting = false;
      } else if (lane.kind == StreamKind::kIdle && next < queued) {
        const Stream& s = queue[next++];
        const bool matrix = s.kind == StreamKind::kMatrix;
        start_lane(st, k, s.input, matrix ? kSymBytes + 2 : kSymBytes + 1,
                   matrix ? kShake128Rate : kShake256Rate);
        lane = {s.kind, s.out, 0};
      }
      busy = busy || lane.kind != StreamKind::kIdle;
    }
    if (!busy) break;
    avx2::keccak4x_f1600(st);
    for (std::size_t k = 0; k < 4; ++k) {
      LaneWork& lane = lanes[k];
      switch (lane.kind) {
        case StreamKind::kMatrix:
          extract_lane(st, k, block, kShake128Rate / 8);
          lane.ctr += rej_uniform_vec(lane.out->coeffs + lane.ctr, kN - lane.ctr, block,
                                      kShake128Rate, sizeof block);
          if (lane.ctr == kN) lane.kind = StreamKind::kIdle;
          break;
        case StreamKind::kNoise:
          extract_lane(st, k, block, kNoiseBytes / 8);
          Avx2::cbd_eta2(*lane.out, block);
          lane.kind = StreamKind::kIdle;
          break;
        case StreamKind::kDigest:
          if (digest.padded) {
            extract_lane(st, k, digest.out, kSymBytes / 8);
            lane.kind = StreamKind::kIdle;
          } else {
            absorb_digest_block(st, k, digest, digest_block);
          }
          break;
        case StreamKind::kIdle:
          break;
      }
    }
  }
  wipe_object(queue);
  wipe_object(st);
  wipe_object(block);
  wipe_object(digest_block);
}

MLKEM768_AVX2_TARGET void Avx2::keccak_f1600(std::uint64_t state[25]) noexcept {
  keccak_impl::keccak_f1600_rounds(state);
}

}  // namespace mlkem768::detail
