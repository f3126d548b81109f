#include "vostrel/ratchet.hpp"

#include <algorithm>
#include <limits>

#include "vostrel/internal/error_queue.hpp"
#include "vostrel/internal/ratchet_steps.hpp"

namespace vostrel::ratchet {
namespace {

constexpr std::uint32_t kMaxCount = std::numeric_limits<std::uint32_t>::max();

ByteArray<kHeaderBytes> header_bytes(const RatchetHeader& header) {
  return concat(header.dh_public, be_bytes(header.previous_chain_length),
                be_bytes(header.message_index));
}

// The old secret is zeroed before the new one takes its place.
void replace_secret(Secret32& slot, Secret32&& fresh) noexcept {
  secure_zero(slot.data(), slot.size());
  slot = std::move(fresh);
}

// Everything but the kept keys, which a decrypt only adds to.
Ratchet staged_copy(const Ratchet& ratchet) {
  Ratchet copy;
  copy.dh_secret = ratchet.dh_secret.clone();
  copy.dh_public = ratchet.dh_public;
  copy.root_key = ratchet.root_key;
  copy.send_chain = ratchet.send_chain;
  copy.recv_chain = ratchet.recv_chain;
  copy.remote_dh = ratchet.remote_dh;
  copy.send_count = ratchet.send_count;
  copy.recv_count = ratchet.recv_count;
  copy.previous_send_count = ratchet.previous_send_count;
  return copy;
}

using KeptKeys = decltype(Ratchet::skipped);

// Buckets for `more` keys besides those held, so that inserting them allocates nothing and a stop
// can come only before the commit. Below the load limit an insert does not rehash.
void make_room(KeptKeys& keys, std::size_t more) {
  const std::size_t needed = keys.size() + more;
  if (static_cast<float>(needed) <
      keys.max_load_factor() * static_cast<float>(keys.bucket_count())) {
    return;
  }
  keys.reserve(std::max(needed, 2 * keys.size()));
}

// The staged keys' nodes move over as they are. A key kept already (under a peer key seen before)
// takes the new value.
void move_kept_keys(KeptKeys& into, KeptKeys& staged) {
  for (auto next = staged.begin(); next != staged.end();) {
    auto node = staged.extract(next++);
    if (const auto held = into.find(node.key()); held != into.end()) {
      held->second = node.mapped();
    } else {
      into.insert(std::move(node));
    }
  }
}

// Only the room for the kept keys may stop; everything after it is a plain store.
void commit(Ratchet& into, Ratchet&& staged) {
  if (!staged.skipped.empty()) {
    make_room(into.skipped, staged.skipped.size());
    move_kept_keys(into.skipped, staged.skipped);
  }
  replace_secret(into.dh_secret, std::move(staged.dh_secret));
  into.dh_public = staged.dh_public;
  into.root_key = staged.root_key;
  into.send_chain = staged.send_chain;
  into.recv_chain = staged.recv_chain;
  into.remote_dh = staged.remote_dh;
  into.send_count = staged.send_count;
  into.recv_count = staged.recv_count;
  into.previous_send_count = staged.previous_send_count;
}

// A new receiving chain from the peer's new key, then a fresh own key pair and a new sending
// chain.
void dh_step(Ratchet& ratchet, const Key32& peer_public) {
  ratchet.previous_send_count = ratchet.send_count;
  ratchet.send_count = 0;
  ratchet.recv_count = 0;
  ratchet.remote_dh = peer_public;
  {
    const Secret32 shared = crypto::x25519(ratchet.dh_secret.view(), peer_public);
    const auto [root, chain] = root_step(ratchet.root_key, shared.view());
    ratchet.root_key = root;
    ratchet.recv_chain = chain;
  }
  Secret32 fresh = random_secret32();
  ratchet.dh_public = crypto::x25519_public(fresh.view());
  replace_secret(ratchet.dh_secret, std::move(fresh));
  {
    const Secret32 shared = crypto::x25519(ratchet.dh_secret.view(), peer_public);
    const auto [root, chain] = root_step(ratchet.root_key, shared.view());
    ratchet.root_key = root;
    ratchet.send_chain = chain;
  }
}

}  // namespace

std::size_t SkippedKeyIdHash::operator()(const SkippedKeyId& id) const noexcept {
  std::uint64_t h = load_be<std::uint64_t>(id.dh_public.data()) ^
                    (static_cast<std::uint64_t>(id.index) * 0x9E3779B97F4A7C15ULL);
  h ^= h >> 30;
  h *= 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 27;
  h *= 0x94D049BB133111EBULL;
  h ^= h >> 31;
  return static_cast<std::size_t>(h);
}

std::pair<PlainSecret32, PlainSecret32> root_step(KeyView root_key, KeyView dh_output) {
  ByteArray<64> okm{};
  crypto::hkdf_sha256(root_key, dh_output, {as_bytes(kRootLabel)}, okm);
  std::pair<PlainSecret32, PlainSecret32> keys;
  std::copy_n(okm.begin(), 32, keys.first.begin());
  std::copy_n(okm.begin() + 32, 32, keys.second.begin());
  secure_zero(okm.data(), okm.size());
  return keys;
}

namespace {

// A chain step under `key`, which holds the chain key and is used up: (next chain key, message
// key).
std::pair<PlainSecret32, PlainSecret32> step_on(crypto::HmacKey& key) {
  static constexpr std::uint8_t kMessageByte = 0x01;
  static constexpr std::uint8_t kChainByte = 0x02;
  std::pair<PlainSecret32, PlainSecret32> keys;
  key.mac_into(keys.second, {ByteView(&kMessageByte, 1)});
  key.last_mac_into(keys.first, {ByteView(&kChainByte, 1)});
  return keys;
}

// The expansion of a message key's pseudorandom key, held by `prk` and used up.
std::pair<PlainSecret32, crypto::Nonce12> expand_on(crypto::HmacKey& prk) {
  ByteArray<44> okm{};
  crypto::hkdf_expand(prk, {as_bytes(kMessageLabel)}, okm);
  std::pair<PlainSecret32, crypto::Nonce12> keys;
  std::copy_n(okm.begin(), 32, keys.first.begin());
  std::copy_n(okm.begin() + 32, 12, keys.second.begin());
  secure_zero(okm.data(), okm.size());
  return keys;
}

// One position of a chain: the next chain key, then the message's AEAD key and nonce, all on one
// prepared key re-keyed along the way.
struct MessageStep {
  PlainSecret32 next_chain_key{};
  PlainSecret32 key{};
  crypto::Nonce12 nonce{};
};

// The key's contexts are kept in `slot` from one message to the next.
crypto::HmacKey& prepared(std::optional<crypto::HmacKey>& slot, KeyView key) {
  if (slot) {
    slot->rekey(key);
  } else {
    slot.emplace(key);
  }
  return *slot;
}

MessageStep message_step(std::optional<crypto::HmacKey>& slot, KeyView chain_key) {
  crypto::HmacKey& hmac = prepared(slot, chain_key);
  const auto [next, message_key] = step_on(hmac);
  crypto::hkdf_extract(hmac, {}, message_key);
  const auto [key, nonce] = expand_on(hmac);
  return {next, key, nonce};
}

// The caller's associated data immediately followed by the 40 header bytes.
std::optional<Bytes> open_message(crypto::AeadContext& cipher, KeyView key, crypto::NonceView nonce,
                                  const RatchetMessage& message, ByteView associated_data) {
  const ByteArray<kHeaderBytes> header = header_bytes(message.header);
  const ByteView parts[] = {associated_data, header};
  return cipher.open(key, nonce, parts, message.ciphertext);
}

std::optional<Bytes> open_with_message_key(crypto::AeadContext& cipher, KeyView message_key,
                                           const RatchetMessage& message,
                                           ByteView associated_data) {
  const auto [key, nonce] = expand_message_key(message_key);
  return open_message(cipher, key, nonce, message, associated_data);
}

}  // namespace

std::pair<PlainSecret32, PlainSecret32> chain_step(KeyView chain_key) {
  const crypto::HeldErrorQueue held;
  crypto::HmacKey key(chain_key);
  return step_on(key);
}

std::pair<PlainSecret32, crypto::Nonce12> expand_message_key(KeyView message_key) {
  const crypto::HeldErrorQueue held;
  crypto::HmacKey prk = crypto::hkdf_extract({}, message_key);
  return expand_on(prk);
}

bool skip_message_keys(Ratchet& ratchet, std::uint32_t target) {
  const std::uint32_t limit = ratchet.recv_count > kMaxCount - RATCHET_MAX_SKIP
                                  ? kMaxCount
                                  : ratchet.recv_count + RATCHET_MAX_SKIP;
  if (target > limit) return false;
  if (!ratchet.recv_chain) return true;
  if (!ratchet.remote_dh) return false;
  const crypto::HeldErrorQueue held;
  while (ratchet.recv_count < target) {
    const auto [next, message_key] = chain_step(*ratchet.recv_chain);
    ratchet.skipped.insert_or_assign(SkippedKeyId{*ratchet.remote_dh, ratchet.recv_count},
                                     message_key);
    ratchet.recv_chain = next;
    ++ratchet.recv_count;
  }
  return true;
}

std::optional<Bytes> open_with_message_key(KeyView message_key, const RatchetMessage& message,
                                           ByteView associated_data) {
  const crypto::HeldErrorQueue held;
  crypto::AeadContext cipher;
  return open_with_message_key(cipher, message_key, message, associated_data);
}

Ratchet Ratchet::init_sender(KeyView shared_key, KeyView peer_public) {
  Ratchet ratchet;
  ratchet.dh_secret = random_secret32();
  ratchet.dh_public = crypto::x25519_public(ratchet.dh_secret.view());
  const Secret32 shared = crypto::x25519(ratchet.dh_secret.view(), peer_public);
  const auto [root, chain] = root_step(shared_key, shared.view());
  ratchet.root_key = root;
  ratchet.send_chain = chain;
  ratchet.remote_dh = array_of(peer_public);
  return ratchet;
}

Ratchet Ratchet::init_receiver(KeyView shared_key, KeyView own_secret) {
  Ratchet ratchet;
  ratchet.dh_secret = Secret32(own_secret);
  ratchet.dh_public = crypto::x25519_public(ratchet.dh_secret.view());
  ratchet.root_key = array_of(shared_key);
  return ratchet;
}

Ratchet::Ratchet(Ratchet&& other) noexcept {
  *this = std::move(other);
}

Ratchet& Ratchet::operator=(Ratchet&& other) noexcept {
  if (this == &other) return *this;
  dh_secret = std::move(other.dh_secret);
  dh_public = other.dh_public;
  root_key = other.root_key;
  send_chain = other.send_chain;
  recv_chain = other.recv_chain;
  remote_dh = other.remote_dh;
  send_count = other.send_count;
  recv_count = other.recv_count;
  previous_send_count = other.previous_send_count;
  skipped = std::move(other.skipped);
  cipher_ = std::move(other.cipher_);
  hmac_.reset();
  if (other.hmac_) hmac_.emplace(std::move(*other.hmac_));
  moved_ = std::move(other.moved_);
  other.forget();
  return *this;
}

void Ratchet::forget() noexcept {
  dh_public = {};
  root_key = {};
  send_chain.reset();
  recv_chain.reset();
  remote_dh.reset();
  send_count = 0;
  recv_count = 0;
  previous_send_count = 0;
  skipped.clear();
  hmac_.reset();
}

Ratchet Ratchet::clone() const {
  moved_.check("Ratchet");
  Ratchet copy = staged_copy(*this);
  copy.skipped = skipped;
  return copy;
}

RatchetMessage Ratchet::encrypt(ByteView plaintext, ByteView associated_data) {
  moved_.check("Ratchet");
  if (!send_chain) throw Panic("no sending chain yet — receive a message first");
  if (send_count == kMaxCount) throw Panic("sending chain exhausted — receive a message first");
  const crypto::HeldErrorQueue held;
  const MessageStep step = message_step(hmac_, *send_chain);
  const RatchetHeader header{dh_public, previous_send_count, send_count};
  const ByteArray<kHeaderBytes> header_data = header_bytes(header);
  const ByteView parts[] = {associated_data, header_data};
  Bytes ciphertext = cipher_.seal(step.key, step.nonce, parts, plaintext);
  // Only a sealed message moves the chain on.
  send_chain = step.next_chain_key;
  ++send_count;
  return RatchetMessage{std::move(ciphertext), header};
}

std::optional<Bytes> decrypt(Ratchet& ratchet, const RatchetMessage& message,
                             ByteView associated_data) {
  ratchet.moved_.check("Ratchet");
  const crypto::HeldErrorQueue held;
  const RatchetHeader& header = message.header;
  if (const auto kept = ratchet.skipped.find({header.dh_public, header.message_index});
      kept != ratchet.skipped.end()) {
    auto plaintext = open_with_message_key(ratchet.cipher_, kept->second, message, associated_data);
    if (plaintext) ratchet.skipped.erase(kept);
    return plaintext;
  }
  // recv_count would wrap past the last index.
  if (header.message_index == kMaxCount) return std::nullopt;

  // Work on a staged copy: only a message that opens changes the ratchet.
  Ratchet staged = staged_copy(ratchet);
  if (!staged.remote_dh || *staged.remote_dh != header.dh_public) {
    if (!skip_message_keys(staged, header.previous_chain_length)) return std::nullopt;
    dh_step(staged, header.dh_public);
  }
  if (!skip_message_keys(staged, header.message_index) || !staged.recv_chain) return std::nullopt;
  const MessageStep step = message_step(ratchet.hmac_, *staged.recv_chain);
  staged.recv_chain = step.next_chain_key;
  ++staged.recv_count;

  auto plaintext = open_message(ratchet.cipher_, step.key, step.nonce, message, associated_data);
  if (plaintext) commit(ratchet, std::move(staged));
  return plaintext;
}

}  // namespace vostrel::ratchet
