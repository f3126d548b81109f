#pragma once

// Fixtures of offline delivery shared by its fuzz targets and their seed makers. Everything is
// made from fixed bytes, without randomness, so that seeds written by vostrel-fuzz-corpus open
// under the keys, chains and prekeys of the targets.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"
#include "vostrel/offline.hpp"
#include "vostrel/outbox.hpp"
#include "vostrel/pqkem.hpp"
#include "vostrel/prekey.hpp"
#include "vostrel/sendchain.hpp"

namespace vostrel::fuzz::offline_fixture {

using offline::OfflineReceiver;
using offline::OfflineSender;
using outbox::OfflineChannel;
using prekey::PrekeyBundle;
using prekey::PrekeySecret;
using sendchain::RecvChain;
using sendchain::SendChain;

inline constexpr std::uint64_t kNow = 1'700'000'000;
// Frames and envelopes 0..kSent-1 exist; the receivers have opened 3 and 1, so they stand at 4
// with the keys of 0 and 2 kept.
inline constexpr std::size_t kSent = 8;
inline constexpr std::uint64_t kReceiverNext = 4;

template <std::size_t N>
ByteArray<N> filled(std::uint8_t value) {
  ByteArray<N> out{};
  out.fill(value);
  return out;
}

inline const Key32& root() {
  return fixed_key();
}
// The sender of the fuzzed direction ("alice") and the channel's owner ("bob"), as opaque keys.
inline const Key32& sender_key() {
  static const Key32 key = filled<32>(0x11);
  return key;
}
inline const Key32& owner_key() {
  static const Key32 key = filled<32>(0x22);
  return key;
}

inline Bytes message_text(std::size_t i) {
  const std::string text = "message " + std::to_string(i);
  const ByteView view = as_bytes(text);
  return Bytes(view.begin(), view.end());
}

// The envelope key of the fuzzed direction, derived as the receiver derives it.
inline const Key32& env_key() {
  static const Key32 key =
      crypto::hmac_sha256(root(), {as_bytes(labels::kEnvelopeKey), sender_key()});
  return key;
}

inline const Key32& seal_key() {
  static const Key32 key = offline::prekey_seal_key(root(), owner_key());
  return key;
}

// The nonce of a sealed bundle with this id, derived as seal_bundle derives it.
inline crypto::Nonce12 bundle_nonce(FixedView<16> id) {
  return crypto::derive_nonce(seal_key(), {as_bytes(labels::kPrekeyNonce), id});
}

// An envelope of the fuzzed direction around any padded plaintext: the sealing layer of a sender.
inline Bytes seal_padded(std::uint64_t seq, ByteView padded) {
  const auto seq_bytes = be_bytes(seq);
  const Bytes sealed =
      crypto::seal(env_key(), offline::env_nonce(env_key(), seq), seq_bytes, padded);
  Bytes envelope(seq_bytes.begin(), seq_bytes.end());
  put_bytes(envelope, sealed);
  return envelope;
}

// --- prekeys ---

struct FixedPrekey {
  PrekeyBundle bundle;  // unsigned: nothing on these paths verifies it
  Bytes record;
};

inline FixedPrekey make_prekey(std::uint8_t tag, std::uint64_t expires_at) {
  const auto dh = filled<32>(static_cast<std::uint8_t>(0x40 + tag));
  const auto seed = filled<pqkem::kSeedBytes>(static_cast<std::uint8_t>(0x50 + tag));
  const pqkem::KemKeyPair kem = pqkem::KemKeyPair::from_seed(seed);
  FixedPrekey out;
  out.bundle.id = filled<16>(static_cast<std::uint8_t>(0x30 + tag));
  out.bundle.dh_pub = crypto::x25519_public(dh);
  out.bundle.expires_at = expires_at;
  out.bundle.ek.assign(kem.ek.begin(), kem.ek.end());
  const PrekeySecret secret{Secret32(dh), kem.dk, out.bundle.id, expires_at};
  const SecretBytes record = offline::prekey_record(secret);
  out.record.assign(record.view().begin(), record.view().end());
  return out;
}

// Two unexpired prekeys the fixture receivers hold.
inline const std::vector<FixedPrekey>& prekeys() {
  static const std::vector<FixedPrekey> list = [] {
    std::vector<FixedPrekey> out;
    out.push_back(make_prekey(0, kNow + offline::PREKEY_TTL));
    out.push_back(make_prekey(1, kNow + offline::PREKEY_TTL));
    return out;
  }();
  return list;
}

inline std::vector<ByteView> prekey_records() {
  std::vector<ByteView> out;
  for (const auto& p : prekeys()) out.emplace_back(p.record);
  return out;
}

// --- frames and envelopes ---

// Frames 0..kSent-1 of message_text(i) on the chain of root() and sender_key().
inline const std::vector<Bytes>& frames() {
  static const std::vector<Bytes> list = [] {
    SendChain chain(root(), sender_key());
    std::vector<Bytes> out;
    for (std::size_t i = 0; i < kSent; ++i) out.push_back(chain.seal(message_text(i)));
    return out;
  }();
  return list;
}

// The plain envelopes 0..kSent-1 of message_text(i).
inline const std::vector<Bytes>& envelopes() {
  static const std::vector<Bytes> list = [] {
    OfflineSender sender(root(), sender_key());
    std::vector<Bytes> out;
    for (std::size_t i = 0; i < kSent; ++i) out.push_back(*sender.seal(message_text(i)));
    return out;
  }();
  return list;
}

// A sender standing where the fixture receivers stand.
inline OfflineSender sender_at_receiver() {
  OfflineSender sender(root(), sender_key());
  for (std::uint64_t i = 0; i < kReceiverNext; ++i) (void)sender.seal(message_text(i));
  return sender;
}

// --- receiving state ---

inline RecvChain recv_chain() {
  RecvChain chain(root(), sender_key());
  require(chain.open(frames()[3]).has_value() && chain.open(frames()[1]).has_value(),
          "the fixture chain opens its own frames");
  return chain;
}

inline OfflineReceiver receiver() {
  OfflineReceiver rx(root(), sender_key());
  require(offline::ingest(rx, envelopes()[3]).has_value() &&
              offline::ingest(rx, envelopes()[1]).has_value(),
          "the fixture receiver opens its own envelopes");
  const auto records = prekey_records();
  rx.import_prekeys(records);
  return rx;
}

// Bob's channel: two queued messages to alice, alice's prekeys and her direction at 4.
inline OfflineChannel channel() {
  OfflineChannel channel(root(), owner_key(), sender_key());
  for (const char* text : {"queued 0", "queued 1"})
    require(outbox::queue(channel, as_bytes(text)), "the fixture channel queues");
  const auto records = prekey_records();
  channel.rx().import_prekeys(records);
  const std::vector<Bytes> opened{envelopes()[3], envelopes()[1]};
  require(channel.ingest_batch(opened).size() == 2, "the fixture channel opens its envelopes");
  return channel;
}

inline std::optional<OfflineChannel> restore_channel(ByteView snapshot, std::uint64_t now = kNow) {
  return OfflineChannel::restore(root(), owner_key(), sender_key(), now, snapshot);
}

// --- state, for before/after comparisons ---

inline void put_chain(Bytes& out, const RecvChain& chain) {
  put_bytes(out, chain.chain_key().view());
  put_be(out, chain.next());
  put_be(out, static_cast<std::uint64_t>(chain.skipped().size()));
  for (const auto& [counter, key] : chain.skipped()) {
    put_be(out, counter);
    put_bytes(out, key.view());
  }
}

inline Bytes chain_state(const RecvChain& chain) {
  Bytes out;
  put_chain(out, chain);
  return out;
}

// Everything ingest may change: the chain with its kept keys and every stored prekey.
inline Bytes receiver_state(const OfflineReceiver& rx) {
  Bytes out;
  put_chain(out, rx.chain());
  put_be(out, static_cast<std::uint64_t>(rx.prekeys().size()));
  for (const auto& [id, secret] : rx.prekeys())
    put_bytes(out, offline::prekey_record(secret).view());
  return out;
}

// The snapshot plus the kept keys, which a snapshot leaves out.
inline Bytes channel_state(const OfflineChannel& channel) {
  const SecretBytes snapshot = channel.snapshot();
  Bytes out(snapshot.view().begin(), snapshot.view().end());
  put_chain(out, channel.rx().chain());
  return out;
}

// Every kept key lies below the chain's position.
inline bool kept_keys_below_next(const RecvChain& chain) {
  return chain.skipped().empty() || chain.skipped().rbegin()->first < chain.next();
}

// --- input layout ---

// A list of byte strings, each prefixed by its length as unsigned 32-bit big-endian; a length
// running past the input takes the rest.
inline std::vector<ByteView> split_list(ByteView input) {
  std::vector<ByteView> out;
  while (input.size() >= 4) {
    const std::size_t length =
        std::min<std::size_t>(load_be<std::uint32_t>(input.data()), input.size() - 4);
    out.push_back(input.subspan(4, length));
    input = input.subspan(4 + length);
  }
  return out;
}

inline Bytes join_list(const std::vector<ByteView>& parts) {
  Bytes out;
  for (const ByteView part : parts) {
    put_be(out, static_cast<std::uint32_t>(part.size()));
    put_bytes(out, part);
  }
  return out;
}

inline Bytes with_mode(std::uint8_t mode, ByteView rest) {
  Bytes out{mode};
  put_bytes(out, rest);
  return out;
}

}  // namespace vostrel::fuzz::offline_fixture
