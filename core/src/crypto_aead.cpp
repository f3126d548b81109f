// ChaCha20-Poly1305 on the cipher and MAC contexts an AeadContext keeps, and the constant-time
// comparison of its tags.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>

#include "crypto_backend.hpp"
#include "vostrel/crypto.hpp"

namespace vostrel::crypto {
namespace {

using backend::check;
using backend::Gathered;
using backend::KeptErrorQueue;
using backend::owned;

// What each operation stops with when a library call inside it fails.
constexpr const char* kSealFailure = "ChaCha20-Poly1305 encryption does not fail for valid inputs";
constexpr const char* kOpenFailure = "ChaCha20-Poly1305 decryption failed";

// EVP lengths are ints: long inputs go through in pieces.
constexpr std::size_t kEvpChunk = std::size_t{1} << 30;

const EVP_CIPHER* stream_cipher(const char* operation) {
  return backend::algorithms(operation).chacha20;
}
EVP_MAC* poly1305_mac(const char* operation) {
  return backend::algorithms(operation).poly1305;
}
void cipher_update(EVP_CIPHER_CTX* ctx, std::uint8_t* out, const std::uint8_t* in,
                   std::size_t length, const char* operation) {
  while (length > 0) {
    const std::size_t piece = std::min(length, kEvpChunk);
    int written = 0;
    check(EVP_CipherUpdate(ctx, out, &written, in, static_cast<int>(piece)) == 1, operation);
    out += piece;
    in += piece;
    length -= piece;
  }
}

// A byte string of `length` bytes that the caller overwrites in full before anyone reads them, so
// that they are not zero-filled first. libstdc++'s vector keeps its end in a public member of a
// protected base, which a C-style cast may reach; with other libraries, or with libstdc++'s own
// container checks on, it is an ordinary zero-filled vector.
Bytes unfilled(std::size_t length) {
  Bytes bytes;
#if defined(__GLIBCXX__) && !defined(_GLIBCXX_SANITIZE_VECTOR)
  bytes.reserve(length);
  auto& base = (std::_Vector_base<std::uint8_t, std::allocator<std::uint8_t>>&)bytes;
  base._M_impl._M_finish = base._M_impl._M_start + length;
#else
  bytes.resize(length);
#endif
  return bytes;
}

EVP_CIPHER_CTX* cipher_ctx(void* ctx) noexcept {
  return static_cast<EVP_CIPHER_CTX*>(ctx);
}
EVP_MAC_CTX* mac_ctx(void* ctx) noexcept {
  return static_cast<EVP_MAC_CTX*>(ctx);
}

std::size_t total_size(std::span<const ByteView> parts) noexcept {
  std::size_t total = 0;
  for (const ByteView part : parts) total += part.size();
  return total;
}

}  // namespace

// Beside the tag check, into which it is inlined: the comparison is then the one place where open
// branches on secret data.
bool ct_equal(ByteView a, ByteView b) noexcept {
  if (a.size() != b.size()) return false;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

AeadContext::AeadContext() noexcept = default;

AeadContext::AeadContext(AeadContext&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)), mac_(std::exchange(other.mac_, nullptr)) {}

AeadContext& AeadContext::operator=(AeadContext&& other) noexcept {
  if (this != &other) {
    release();
    stream_ = std::exchange(other.stream_, nullptr);
    mac_ = std::exchange(other.mac_, nullptr);
  }
  return *this;
}

AeadContext::~AeadContext() {
  release();
}

void AeadContext::release() noexcept {
  // Freeing the stream wipes its key; each MAC's final has already wiped the MAC's.
  EVP_CIPHER_CTX_free(cipher_ctx(std::exchange(stream_, nullptr)));
  EVP_MAC_CTX_free(mac_ctx(std::exchange(mac_, nullptr)));
}

Secret32 AeadContext::start(KeyView key, NonceView nonce, ByteView plaintext, std::uint8_t* out,
                            const char* operation) {
  ByteArray<16> iv{};
  std::copy(nonce.begin(), nonce.end(), iv.begin() + 4);
  const EVP_CIPHER* cipher = nullptr;
  if (stream_ == nullptr) {
    // A new context takes the cipher with its first key; later keys reuse the cipher's state.
    cipher = stream_cipher(operation);
    stream_ = owned(EVP_CIPHER_CTX_new()).release();
  }
  EVP_CIPHER_CTX* stream = cipher_ctx(stream_);
  check(EVP_CipherInit_ex2(stream, cipher, key.data(), iv.data(), 1, nullptr) == 1, operation);
  // Block 0 and the short plaintext in one call: a stream call has a fixed cost that short data
  // does not repay twice.
  ByteArray<64 + kShortPlaintext> buffer;
  std::fill_n(buffer.begin(), 64, std::uint8_t{0});
  std::copy(plaintext.begin(), plaintext.end(), buffer.begin() + 64);
  const std::size_t length = 64 + plaintext.size();
  cipher_update(stream, buffer.data(), buffer.data(), length, operation);
  Secret32 one_time_key(FixedView<32>(buffer.data(), 32));
  std::copy_n(buffer.begin() + 64, plaintext.size(), out);
  secure_zero(buffer.data(), length);
  return one_time_key;
}

ByteArray<16> AeadContext::tag(const Secret32& one_time_key,
                               std::span<const ByteView> associated_data, ByteView ciphertext,
                               const char* operation) {
  if (mac_ == nullptr) mac_ = owned(EVP_MAC_CTX_new(poly1305_mac(operation))).release();
  EVP_MAC_CTX* mac = mac_ctx(mac_);
  check(EVP_MAC_init(mac, one_time_key.data(), 32, nullptr) == 1, operation);
  Gathered gathered([&](ByteView piece) {
    check(EVP_MAC_update(mac, piece.data(), piece.size()) == 1, operation);
  });
  const auto update = [&](const std::uint8_t* data, std::size_t length) {
    gathered.add(ByteView(data, length));
  };
  static constexpr ByteArray<16> zeros{};
  const auto pad = [&](std::size_t length) {
    if (length % 16 != 0) update(zeros.data(), 16 - length % 16);
  };
  const std::size_t associated_length = total_size(associated_data);
  for (const ByteView part : associated_data) update(part.data(), part.size());
  pad(associated_length);
  update(ciphertext.data(), ciphertext.size());
  pad(ciphertext.size());
  ByteArray<16> lengths{};
  for (std::size_t i = 0; i < 8; ++i) {
    lengths[i] = static_cast<std::uint8_t>(associated_length >> (8 * i));
    lengths[8 + i] = static_cast<std::uint8_t>(ciphertext.size() >> (8 * i));
  }
  update(lengths.data(), lengths.size());
  gathered.flush();
  ByteArray<16> tag{};
  std::size_t tag_length = 0;
  check(EVP_MAC_final(mac, tag.data(), &tag_length, tag.size()) == 1 && tag_length == 16,
        operation);
  return tag;
}

Bytes AeadContext::seal(KeyView key, NonceView nonce, std::span<const ByteView> associated_data,
                        ByteView plaintext) {
  if (plaintext.size() > kMaxPlaintextBytes) throw Panic(kSealFailure);
  const Secret32 key_copy(key);
  Bytes out = unfilled(plaintext.size() + kTagBytes);
  const KeptErrorQueue kept;
  released_on_stop([&] {
    const bool short_plaintext = plaintext.size() <= kShortPlaintext;
    const Secret32 one_time_key = start(
        key_copy.view(), nonce, short_plaintext ? plaintext : ByteView{}, out.data(), kSealFailure);
    if (!short_plaintext) {
      cipher_update(cipher_ctx(stream_), out.data(), plaintext.data(), plaintext.size(),
                    kSealFailure);
    }
    const ByteArray<16> sealed_tag =
        tag(one_time_key, associated_data, ByteView(out).first(plaintext.size()), kSealFailure);
    std::copy(sealed_tag.begin(), sealed_tag.end(), out.end() - kTagBytes);
  });
  return out;
}

bool AeadContext::open_into(KeyView key, NonceView nonce, std::span<const ByteView> associated_data,
                            ByteView sealed, std::span<std::uint8_t> out) {
  if (sealed.size() < kTagBytes || sealed.size() > kMaxSealedBytes) return false;
  const ByteView ciphertext = sealed.first(sealed.size() - kTagBytes);
  if (out.size() > ciphertext.size()) return false;
  const Secret32 key_copy(key);
  const KeptErrorQueue kept;
  return released_on_stop([&] {
    const Secret32 one_time_key = start(key_copy.view(), nonce, {}, out.data(), kOpenFailure);
    const ByteArray<16> expected = tag(one_time_key, associated_data, ciphertext, kOpenFailure);
    // ctgrind: decision open
    if (!ct_equal(expected, sealed.last(kTagBytes))) return false;
    cipher_update(cipher_ctx(stream_), out.data(), ciphertext.data(), out.size(), kOpenFailure);
    return true;
  });
}

std::optional<Bytes> AeadContext::open(KeyView key, NonceView nonce,
                                       std::span<const ByteView> associated_data, ByteView sealed) {
  if (sealed.size() < kTagBytes || sealed.size() > kMaxSealedBytes) return std::nullopt;
  Bytes plaintext = unfilled(sealed.size() - kTagBytes);
  if (!open_into(key, nonce, associated_data, sealed, plaintext)) return std::nullopt;
  return plaintext;
}

Bytes seal(KeyView key, NonceView nonce, ByteView associated_data, ByteView plaintext) {
  return AeadContext().seal(key, nonce, {&associated_data, 1}, plaintext);
}

bool open_into(KeyView key, NonceView nonce, ByteView associated_data, ByteView sealed,
               std::span<std::uint8_t> out) {
  return AeadContext().open_into(key, nonce, {&associated_data, 1}, sealed, out);
}

std::optional<Bytes> open(KeyView key, NonceView nonce, ByteView associated_data, ByteView sealed) {
  return AeadContext().open(key, nonce, {&associated_data, 1}, sealed);
}

}  // namespace vostrel::crypto
