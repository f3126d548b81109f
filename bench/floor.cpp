#include "floor.hpp"

#include <openssl/crypto.h>
#include <sys/mman.h>

#include <algorithm>
#include <string_view>

#include "vostrel/labels.hpp"
#include "vostrel/ratchet.hpp"
#include "vostrel/sendchain.hpp"

namespace vostrel::floor {
namespace {

// Kept to the library too; the benchmarks check that the floor's outputs match its own.
constexpr std::string_view kEncLabel = labels::kChainEncryption;
constexpr std::string_view kNonceLabel = labels::kChainNonce;
constexpr std::string_view kStampLabel = labels::kPowStamp;
constexpr std::string_view kDigestLabel = labels::kRelayRequestId;

constexpr std::size_t kBlock = 64;
constexpr std::uint8_t kOne = 0x01;
constexpr std::uint8_t kTwo = 0x02;

crypto::Nonce12 first_12(const Key32& bytes) noexcept {
  crypto::Nonce12 nonce{};
  std::copy_n(bytes.begin(), nonce.size(), nonce.begin());
  return nonce;
}

void hash_pad(SHA256_CTX& ctx, const ByteArray<kBlock>& block_key, std::uint8_t mask) noexcept {
  ByteArray<kBlock> pad{};
  for (std::size_t i = 0; i < kBlock; ++i) pad[i] = block_key[i] ^ mask;
  SHA256_Init(&ctx);
  SHA256_Update(&ctx, pad.data(), pad.size());
}

ChainStep step_under(const Key32& chain_key, ByteView message_label,
                     ByteView chain_label) noexcept {
  const PreparedHmac key(chain_key);
  return {key.mac({message_label}), key.mac({chain_label})};
}

}  // namespace

Key32 sha256(std::initializer_list<ByteView> parts) noexcept {
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  for (const ByteView part : parts) SHA256_Update(&ctx, part.data(), part.size());
  Key32 out{};
  SHA256_Final(out.data(), &ctx);
  return out;
}

PreparedHmac::PreparedHmac(ByteView key) noexcept {
  ByteArray<kBlock> block_key{};
  if (key.size() > kBlock) {
    const Key32 hashed = sha256({key});
    std::copy(hashed.begin(), hashed.end(), block_key.begin());
  } else {
    std::copy(key.begin(), key.end(), block_key.begin());
  }
  hash_pad(inner_, block_key, 0x36);
  hash_pad(outer_, block_key, 0x5c);
}

Key32 PreparedHmac::mac(std::initializer_list<ByteView> parts) const noexcept {
  SHA256_CTX ctx = inner_;
  for (const ByteView part : parts) SHA256_Update(&ctx, part.data(), part.size());
  Key32 inner{};
  SHA256_Final(inner.data(), &ctx);
  ctx = outer_;
  SHA256_Update(&ctx, inner.data(), inner.size());
  Key32 out{};
  SHA256_Final(out.data(), &ctx);
  return out;
}

const PreparedHmac& zero_salt() {
  static const PreparedHmac salt(Key32{});
  return salt;
}

Key32 derive_session_key(ByteView input_keying_material, ByteView context) noexcept {
  const PreparedHmac prk(zero_salt().mac({input_keying_material}));
  return prk.mac({as_bytes(crypto::kHybridInfoPrefix), context, ByteView(&kOne, 1)});
}

// --- Aead ---

Aead::Aead()
    : cipher_(EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr)), ctx_(EVP_CIPHER_CTX_new()) {
  // Bound to the cipher once; every call after that only sets key, nonce and direction.
  if (cipher_ == nullptr || ctx_ == nullptr ||
      EVP_CipherInit_ex2(ctx_, cipher_, nullptr, nullptr, 1, nullptr) != 1) {
    throw Panic("ChaCha20-Poly1305 unavailable");
  }
}

Aead::~Aead() {
  EVP_CIPHER_CTX_free(ctx_);
  EVP_CIPHER_free(cipher_);
}

void Aead::seal_into(KeyView key, crypto::NonceView nonce, std::initializer_list<ByteView> ad,
                     ByteView plaintext, std::uint8_t* out) noexcept {
  int written = 0;
  EVP_CipherInit_ex2(ctx_, nullptr, key.data(), nonce.data(), 1, nullptr);
  for (const ByteView part : ad) {
    if (!part.empty())
      EVP_CipherUpdate(ctx_, nullptr, &written, part.data(), static_cast<int>(part.size()));
  }
  if (!plaintext.empty()) {
    EVP_CipherUpdate(ctx_, out, &written, plaintext.data(), static_cast<int>(plaintext.size()));
  }
  EVP_CipherFinal_ex(ctx_, out + plaintext.size(), &written);
  EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(crypto::kTagBytes),
                      out + plaintext.size());
}

Bytes Aead::seal(KeyView key, crypto::NonceView nonce, std::initializer_list<ByteView> ad,
                 ByteView plaintext) {
  Bytes out(plaintext.size() + crypto::kTagBytes);
  seal_into(key, nonce, ad, plaintext, out.data());
  return out;
}

bool Aead::open_into(KeyView key, crypto::NonceView nonce, std::initializer_list<ByteView> ad,
                     ByteView sealed, std::uint8_t* out) noexcept {
  if (sealed.size() < crypto::kTagBytes) return false;
  const std::size_t length = sealed.size() - crypto::kTagBytes;
  int written = 0;
  EVP_CipherInit_ex2(ctx_, nullptr, key.data(), nonce.data(), 0, nullptr);
  for (const ByteView part : ad) {
    if (!part.empty())
      EVP_CipherUpdate(ctx_, nullptr, &written, part.data(), static_cast<int>(part.size()));
  }
  if (length != 0) {
    EVP_CipherUpdate(ctx_, out, &written, sealed.data(), static_cast<int>(length));
  }
  EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(crypto::kTagBytes),
                      const_cast<std::uint8_t*>(sealed.data() + length));
  return EVP_CipherFinal_ex(ctx_, out + length, &written) == 1;
}

std::optional<Bytes> Aead::open(KeyView key, crypto::NonceView nonce,
                                std::initializer_list<ByteView> ad, ByteView sealed) {
  if (sealed.size() < crypto::kTagBytes) return std::nullopt;
  Bytes out(sealed.size() - crypto::kTagBytes);
  if (!open_into(key, nonce, ad, sealed, out.data())) return std::nullopt;
  return out;
}

// --- the offline send chain ---

ChainStep sendchain_step(const Key32& chain_key) noexcept {
  return step_under(chain_key, as_bytes(kChainMessageLabel), as_bytes(kChainLabel));
}

MessageKeys sendchain_message_keys(const Key32& message_key) noexcept {
  const PreparedHmac key(message_key);
  return {key.mac({as_bytes(kEncLabel)}), first_12(key.mac({as_bytes(kNonceLabel)}))};
}

Bytes SendChain::seal(Aead& aead, ByteView message) {
  const ChainStep step = sendchain_step(chain_key_);
  const MessageKeys keys = sendchain_message_keys(step.message_key);
  Bytes frame(sendchain::kFrameOverheadBytes + message.size());
  frame[0] = sendchain::kFrameVersion;
  store_be(frame.data() + 1, next_);
  const ByteView header(frame.data(), sendchain::kFrameHeaderBytes);
  aead.seal_into(keys.key, keys.nonce, {header}, message,
                 frame.data() + sendchain::kFrameHeaderBytes);
  chain_key_ = step.next_chain_key;
  ++next_;
  return frame;
}

std::optional<Bytes> RecvChain::open_ahead(Aead& aead, ByteView frame) {
  if (frame.size() < sendchain::kFrameOverheadBytes || frame[0] != sendchain::kFrameVersion) {
    return std::nullopt;
  }
  const auto counter = load_be<std::uint64_t>(frame.data() + 1);
  if (counter < next_ || counter - next_ > sendchain::CHAIN_MAX_SKIP) return std::nullopt;
  const std::size_t kept = skipped_.size();
  skipped_.reserve(kept + static_cast<std::size_t>(counter - next_));
  Key32 walk = chain_key_;
  for (std::uint64_t i = next_; i < counter; ++i) {
    const ChainStep step = sendchain_step(walk);
    skipped_.emplace_back(i, step.message_key);
    walk = step.next_chain_key;
  }
  const ChainStep step = sendchain_step(walk);
  const MessageKeys keys = sendchain_message_keys(step.message_key);
  const ByteView sealed = frame.subspan(sendchain::kFrameHeaderBytes);
  Bytes message(sealed.size() - crypto::kTagBytes);
  if (!aead.open_into(keys.key, keys.nonce, {frame.first(sendchain::kFrameHeaderBytes)}, sealed,
                      message.data())) {
    skipped_.resize(kept);
    return std::nullopt;
  }
  chain_key_ = step.next_chain_key;
  next_ = counter + 1;
  return message;
}

// --- the ratchet ---

ChainStep ratchet_chain_step(const Key32& chain_key) noexcept {
  return step_under(chain_key, ByteView(&kOne, 1), ByteView(&kTwo, 1));
}

MessageKeys ratchet_message_keys(const Key32& message_key) noexcept {
  const PreparedHmac prk(zero_salt().mac({message_key}));
  const ByteView info = as_bytes(labels::kRatchetMessage);
  const Key32 t1 = prk.mac({info, ByteView(&kOne, 1)});
  return {t1, first_12(prk.mac({t1, info, ByteView(&kTwo, 1)}))};
}

RatchetSealed RatchetSender::encrypt(Aead& aead, ByteView plaintext, ByteView associated_data) {
  const ChainStep step = ratchet_chain_step(chain_key_);
  RatchetSealed sealed;
  std::copy(dh_public_.begin(), dh_public_.end(), sealed.header.begin());
  store_be(sealed.header.data() + 32, previous_);
  store_be(sealed.header.data() + 36, count_);
  const MessageKeys keys = ratchet_message_keys(step.message_key);
  sealed.ciphertext = aead.seal(keys.key, keys.nonce, {associated_data, sealed.header}, plaintext);
  chain_key_ = step.next_chain_key;
  ++count_;
  return sealed;
}

std::optional<Bytes> RatchetReceiver::decrypt(Aead& aead, const RatchetSealed& message,
                                              ByteView associated_data) {
  if (load_be<std::uint32_t>(message.header.data() + 36) != count_) return std::nullopt;
  const ChainStep step = ratchet_chain_step(chain_key_);
  const MessageKeys keys = ratchet_message_keys(step.message_key);
  auto plaintext =
      aead.open(keys.key, keys.nonce, {associated_data, message.header}, message.ciphertext);
  if (plaintext) {
    chain_key_ = step.next_chain_key;
    ++count_;
  }
  return plaintext;
}

// --- media ---

namespace {

crypto::Nonce12 chunk_nonce(const PreparedHmac& file_key, const media::FileId& file_id,
                            std::uint32_t index) noexcept {
  const auto index_bytes = be_bytes(index);
  return first_12(file_key.mac({as_bytes(labels::kMediaChunkNonce), file_id, index_bytes}));
}

ByteArray<24> chunk_ad(const media::FileId& file_id, std::uint32_t index,
                       std::uint32_t count) noexcept {
  ByteArray<24> ad{};
  std::copy(file_id.begin(), file_id.end(), ad.begin());
  store_be(ad.data() + 16, index);
  store_be(ad.data() + 20, count);
  return ad;
}

}  // namespace

media::EncryptedFile encrypt_file(Aead& aead, ByteView file, std::string_view mime,
                                  const Key32& file_key, const media::FileId& file_id,
                                  std::vector<Bytes>* kept) {
  media::Manifest manifest;
  manifest.file_id = file_id;
  manifest.file_key = Secret32(file_key);
  manifest.size = file.size();
  manifest.chunk_count = std::max<std::uint32_t>(
      1, static_cast<std::uint32_t>((file.size() + media::CHUNK_SIZE - 1) / media::CHUNK_SIZE));
  manifest.opaque = media::kManifestOpaque;
  manifest.mime = std::string(mime);

  const PreparedHmac nonce_key(file_key);
  SHA256_CTX hash;
  SHA256_Init(&hash);
  std::vector<Bytes> chunks;
  if (kept == nullptr) chunks.reserve(manifest.chunk_count);
  for (std::uint32_t i = 0; i < manifest.chunk_count; ++i) {
    const std::size_t offset = std::size_t{i} * media::CHUNK_SIZE;
    const ByteView piece = file.subspan(offset, std::min(media::CHUNK_SIZE, file.size() - offset));
    std::uint8_t* out = nullptr;
    if (kept == nullptr) {
      out = chunks.emplace_back(media::kSealedChunkBytes).data();
    } else {
      out = (*kept)[i].data();
    }
    const auto nonce = chunk_nonce(nonce_key, file_id, i);
    const auto ad = chunk_ad(file_id, i, manifest.chunk_count);
    if (piece.size() == media::CHUNK_SIZE) {
      aead.seal_into(file_key, nonce, {ad}, piece, out);
    } else {
      Bytes padded(media::CHUNK_SIZE);
      std::copy(piece.begin(), piece.end(), padded.begin());
      aead.seal_into(file_key, nonce, {ad}, padded, out);
    }
    SHA256_Update(&hash, out, media::kSealedChunkBytes);
  }
  SHA256_Final(manifest.hash.data(), &hash);
  return {std::move(manifest), std::move(chunks)};
}

std::optional<Bytes> decrypt_file(Aead& aead, const media::Manifest& manifest,
                                  std::span<const Bytes> chunks, Bytes* kept) {
  if (manifest.chunk_count != chunks.size() ||
      manifest.size > std::uint64_t{chunks.size()} * media::CHUNK_SIZE) {
    return std::nullopt;
  }
  SHA256_CTX hash;
  SHA256_Init(&hash);
  for (const Bytes& chunk : chunks) SHA256_Update(&hash, chunk.data(), chunk.size());
  Key32 digest{};
  SHA256_Final(digest.data(), &hash);
  if (CRYPTO_memcmp(digest.data(), manifest.hash.data(), digest.size()) != 0) return std::nullopt;

  const auto size = static_cast<std::size_t>(manifest.size);
  Bytes fresh;
  Bytes& file = kept != nullptr ? *kept : fresh;
  if (kept == nullptr) {
    // As the library allocates its output: huge pages where granted, then filled chunk by chunk.
    fresh.reserve(size);
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    const auto begin = (reinterpret_cast<std::uintptr_t>(fresh.data()) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(fresh.data()) + size) & ~(kHuge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
  const PreparedHmac nonce_key(manifest.file_key.view());
  std::size_t done = 0;
  for (std::uint32_t i = 0; i < manifest.chunk_count; ++i) {
    const ByteView sealed = chunks[i];
    if (sealed.size() < crypto::kTagBytes) return std::nullopt;
    const std::size_t length = sealed.size() - crypto::kTagBytes;
    const std::size_t wanted = std::min(length, size - done);
    if (kept == nullptr) fresh.resize(done + wanted);
    const auto nonce = chunk_nonce(nonce_key, manifest.file_id, i);
    const auto ad = chunk_ad(manifest.file_id, i, manifest.chunk_count);
    if (wanted == length) {
      if (!aead.open_into(manifest.file_key.view(), nonce, {ad}, sealed, file.data() + done))
        return std::nullopt;
    } else {
      // A padded last chunk: the one-pass open writes the padding too.
      Bytes whole(length);
      if (!aead.open_into(manifest.file_key.view(), nonce, {ad}, sealed, whole.data()))
        return std::nullopt;
      std::copy_n(whole.begin(), wanted, file.begin() + static_cast<std::ptrdiff_t>(done));
    }
    done += wanted;
  }
  if (done != size) return std::nullopt;
  if (kept != nullptr) return Bytes{};
  return fresh;
}

// --- relay admission ---

relay::RequestDigest admission_hashes(relay::RelayOp op, const relay::RelayRequest& request,
                                      ByteView payload, Key32& stamp) noexcept {
  const Key32 payload_hash = sha256({payload});
  ByteArray<89> fields{};
  fields[0] = static_cast<std::uint8_t>(op);
  std::copy(request.mailbox.begin(), request.mailbox.end(), fields.begin() + 1);
  store_be(fields.data() + 33, request.timestamp);
  store_be(fields.data() + 41, request.request_id);
  store_be(fields.data() + 49, request.pow_nonce);
  std::copy(payload_hash.begin(), payload_hash.end(), fields.begin() + 57);
  // The work challenge is the same fields without the nonce.
  ByteArray<81> challenge{};
  std::copy_n(fields.begin(), 49, challenge.begin());
  std::copy(payload_hash.begin(), payload_hash.end(), challenge.begin() + 49);
  const auto nonce = be_bytes(request.pow_nonce);
  stamp = sha256({as_bytes(kStampLabel), challenge, nonce});
  return sha256({as_bytes(kDigestLabel), fields});
}

}  // namespace vostrel::floor
