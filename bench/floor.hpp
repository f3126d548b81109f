#pragma once

// The yardstick of the benchmarks: what the library computes, byte for byte, done the cheapest way
// OpenSSL offers. SHA-256 runs on the low-level interface with both HMAC pad states hashed once per
// key and copied for every MAC; one ChaCha20-Poly1305 context serves every seal and open. Each
// function returns what its library counterpart returns, owned buffers included, so a benchmark
// pair differs only in how the work is done.

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "vostrel/common.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"
#include "vostrel/media.hpp"
#include "vostrel/relay.hpp"

namespace vostrel::floor {

// The send chain's labels, which the library keeps to itself; the benchmarks check that the
// floor's outputs match the library's.
inline constexpr std::string_view kChainMessageLabel = labels::kChainMessage;
inline constexpr std::string_view kChainLabel = labels::kChainNext;

Key32 sha256(std::initializer_list<ByteView> parts) noexcept;

// HMAC-SHA-256 under one key: the key is padded and both pads hashed once, here.
class PreparedHmac {
 public:
  explicit PreparedHmac(ByteView key) noexcept;
  Key32 mac(std::initializer_list<ByteView> parts) const noexcept;

 private:
  SHA256_CTX inner_{};
  SHA256_CTX outer_{};
};

// HMAC with the all-zero 32-byte salt of HKDF-Extract, prepared once for the whole process.
const PreparedHmac& zero_salt();

// crypto::derive_session_key.
Key32 derive_session_key(ByteView input_keying_material, ByteView context) noexcept;

// ChaCha20-Poly1305 on one context reused for every call. The associated data is the
// concatenation of `ad`.
class Aead {
 public:
  Aead();
  Aead(const Aead&) = delete;
  Aead& operator=(const Aead&) = delete;
  ~Aead();

  // Writes plaintext.size() + 16 bytes at `out`.
  void seal_into(KeyView key, crypto::NonceView nonce, std::initializer_list<ByteView> ad,
                 ByteView plaintext, std::uint8_t* out) noexcept;
  Bytes seal(KeyView key, crypto::NonceView nonce, std::initializer_list<ByteView> ad,
             ByteView plaintext);
  // Writes sealed.size() - 16 bytes at `out`; false when the tag does not verify.
  [[nodiscard]] bool open_into(KeyView key, crypto::NonceView nonce,
                               std::initializer_list<ByteView> ad, ByteView sealed,
                               std::uint8_t* out) noexcept;
  std::optional<Bytes> open(KeyView key, crypto::NonceView nonce,
                            std::initializer_list<ByteView> ad, ByteView sealed);

 private:
  EVP_CIPHER* cipher_;
  EVP_CIPHER_CTX* ctx_;
};

struct ChainStep {
  Key32 message_key{};
  Key32 next_chain_key{};
};

struct MessageKeys {
  Key32 key{};
  crypto::Nonce12 nonce{};
};

// --- the offline send chain ---

// Two MACs under the chain key.
ChainStep sendchain_step(const Key32& chain_key) noexcept;
// Two MACs under the message key.
MessageKeys sendchain_message_keys(const Key32& message_key) noexcept;

class SendChain {
 public:
  SendChain(const Key32& chain_key, std::uint64_t next) noexcept
      : chain_key_(chain_key), next_(next) {}
  // sendchain::SendChain::seal.
  Bytes seal(Aead& aead, ByteView message);
  const Key32& chain_key() const noexcept { return chain_key_; }

 private:
  Key32 chain_key_;
  std::uint64_t next_;
};

class RecvChain {
 public:
  RecvChain(const Key32& chain_key, std::uint64_t next) noexcept
      : chain_key_(chain_key), next_(next) {}
  // sendchain::RecvChain::open of a frame at or ahead of the next position: the keys passed over
  // are kept in one flat vector.
  std::optional<Bytes> open_ahead(Aead& aead, ByteView frame);
  const Key32& chain_key() const noexcept { return chain_key_; }
  const std::vector<std::pair<std::uint64_t, Key32>>& skipped() const noexcept { return skipped_; }

 private:
  Key32 chain_key_;
  std::uint64_t next_;
  std::vector<std::pair<std::uint64_t, Key32>> skipped_;
};

// --- the ratchet within one chain ---

// ratchet::chain_step: two MACs under the chain key.
ChainStep ratchet_chain_step(const Key32& chain_key) noexcept;
// ratchet::expand_message_key: one MAC under the zero salt, two under the extracted key.
MessageKeys ratchet_message_keys(const Key32& message_key) noexcept;

struct RatchetSealed {
  Bytes ciphertext;
  ByteArray<40> header{};
};

// The sending side of Ratchet::encrypt while the sending chain stands.
class RatchetSender {
 public:
  RatchetSender(const Key32& chain_key, const Key32& dh_public, std::uint32_t previous,
                std::uint32_t count) noexcept
      : chain_key_(chain_key), dh_public_(dh_public), previous_(previous), count_(count) {}
  RatchetSealed encrypt(Aead& aead, ByteView plaintext, ByteView associated_data);
  const Key32& chain_key() const noexcept { return chain_key_; }

 private:
  Key32 chain_key_;
  Key32 dh_public_;
  std::uint32_t previous_;
  std::uint32_t count_;
};

// ratchet::decrypt of the next message of the current receiving chain: no kept keys, no DH step.
class RatchetReceiver {
 public:
  RatchetReceiver(const Key32& chain_key, std::uint32_t count) noexcept
      : chain_key_(chain_key), count_(count) {}
  std::optional<Bytes> decrypt(Aead& aead, const RatchetSealed& message, ByteView associated_data);
  const Key32& chain_key() const noexcept { return chain_key_; }

 private:
  Key32 chain_key_;
  std::uint32_t count_;
};

// --- media ---

// media::encrypt_file under a given file key and id. `kept`, when given, holds one chunk-sized
// buffer per chunk and is written in place of fresh chunks; the result's chunks are then empty.
media::EncryptedFile encrypt_file(Aead& aead, ByteView file, std::string_view mime,
                                  const Key32& file_key, const media::FileId& file_id,
                                  std::vector<Bytes>* kept = nullptr);
// media::decrypt_file: the hash over all chunks first, then each chunk opened into the output.
// `kept`, when given, is the output buffer (the file's size) and the result is empty.
std::optional<Bytes> decrypt_file(Aead& aead, const media::Manifest& manifest,
                                  std::span<const Bytes> chunks, Bytes* kept = nullptr);

// --- relay admission ---

// The three SHA-256 computations of Relay::check_request in open mode: the payload's digest, the
// work stamp and the replay digest. Returns the replay digest; `stamp` receives the work stamp.
relay::RequestDigest admission_hashes(relay::RelayOp op, const relay::RelayRequest& request,
                                      ByteView payload, Key32& stamp) noexcept;

}  // namespace vostrel::floor
