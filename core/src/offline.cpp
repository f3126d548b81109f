#include "vostrel/offline.hpp"

#include <limits>
#include <ostream>
#include <string_view>

#include "vostrel/internal/error_queue.hpp"
#include "vostrel/internal/state_copy.hpp"
#include "vostrel/labels.hpp"

namespace vostrel::offline {

namespace {

using prekey::MixHeader;
using sendchain::RecvChain;
using sendchain::SendChain;

constexpr std::uint8_t kPlain = 0x00;
constexpr std::uint8_t kMixed = 0x01;
constexpr std::size_t kSeqBytes = 8;
constexpr std::size_t kLengthBytes = 4;
constexpr std::size_t kMixedPrefix = 1 + prekey::kMixHeaderBytes;
constexpr std::uint64_t kMaxTime = std::numeric_limits<std::uint64_t>::max();

PlainSecret32 env_key_of(KeyView root, KeyView sender_identity) {
  return crypto::hmac_sha256(root, {as_bytes(labels::kEnvelopeKey), sender_identity});
}

std::size_t round_up_to_bucket(std::size_t length) {
  return (length + PAD_BUCKET - 1) / PAD_BUCKET * PAD_BUCKET;
}

crypto::Nonce12 bundle_nonce(KeyView seal_key, const PrekeyId& id) {
  return crypto::derive_nonce(seal_key, {as_bytes(labels::kPrekeyNonce), id});
}

std::optional<PrekeySecret> parse_prekey_record(ByteView record) {
  if (record.size() != kPrekeyRecordBytes) return std::nullopt;
  ByteReader reader(record);
  PrekeySecret secret;
  secret.id = *reader.array<16>();
  secret.expires_at = *reader.u64();
  secret.dh_secret = Secret32(*reader.fixed<32>());
  const ByteView dk = *reader.bytes(pqkem::kDecapsulationKeyBytes);
  std::copy(dk.begin(), dk.end(), secret.dk.begin());
  return secret;
}

}  // namespace

std::string to_string(const OfflineError& error) {
  switch (error.kind()) {
    case OfflineError::Kind::Chain:
      return "Chain(" + std::string(sendchain::to_string(*error.chain_error())) + ")";
    case OfflineError::Kind::Malformed:
      return "Malformed";
    case OfflineError::Kind::UnknownPrekey:
      return "UnknownPrekey";
  }
  return "OfflineError(?)";
}

std::ostream& operator<<(std::ostream& out, const OfflineError& error) {
  return out << to_string(error);
}

crypto::Nonce12 env_nonce(KeyView env_key, std::uint64_t seq) {
  const auto seq_bytes = be_bytes(seq);
  return crypto::derive_nonce(env_key, {as_bytes(labels::kEnvelopeNonce), seq_bytes});
}

Key32 mbx_loc(KeyView root, KeyView sender_identity, std::uint64_t epoch) {
  const auto epoch_bytes = be_bytes(epoch);
  return crypto::hmac_sha256(root,
                             {as_bytes(labels::kEnvelopeLocation), sender_identity, epoch_bytes});
}

// --- sending half ---

OfflineSender::OfflineSender(KeyView root, KeyView own_identity)
    : env_key_(env_key_of(root, own_identity)), chain_(root, own_identity) {}

OfflineSender OfflineSender::restore(KeyView root, KeyView own_identity, KeyView chain_key,
                                     std::uint64_t counter) {
  return OfflineSender(env_key_of(root, own_identity), SendChain::from_stored(chain_key, counter));
}

std::optional<Bytes> OfflineSender::seal(ByteView message, const PrekeyBundle* bundle) {
  moved_.check("OfflineSender");
  // A longer envelope would be refused by every receiver and by every snapshot restore.
  if (message.size() > (bundle ? kMaxMixedMessage : kMaxPlainMessage)) return std::nullopt;
  // No receiver opens the last counter, and sealing it would wrap the sequence numbers.
  if (chain_.next() == sendchain::kLastCounter) return std::nullopt;
  const crypto::HeldErrorQueue held;

  std::optional<prekey::SenderMix> mix;
  if (bundle) {
    mix = prekey::sender_mix(*bundle);
    if (!mix) return std::nullopt;
  }
  // Mixed and sealed on a copy, taken over once the envelope is whole: no stop on the way can
  // leave the chain mixed or moved on with no envelope out.
  SendChain chain = SendChain::from_stored(chain_.chain_key().view(), chain_.next());
  if (mix) chain.mix_in(mix->secret, mix->header.bundle_id);
  const std::uint64_t seq = chain.next();
  const Bytes frame = chain.seal(message);

  const std::size_t inner_length = (mix ? kMixedPrefix : 1) + frame.size();
  const std::size_t padded_length = round_up_to_bucket(kLengthBytes + inner_length);
  Bytes padded;
  padded.reserve(padded_length);
  put_be(padded, static_cast<std::uint32_t>(inner_length));
  padded.push_back(mix ? kMixed : kPlain);
  if (mix) put_bytes(padded, mix->header.to_bytes());
  put_bytes(padded, frame);
  padded.resize(padded_length, 0);
  mix.reset();  // wipes the hybrid secret

  const auto seq_bytes = be_bytes(seq);
  const Bytes sealed = crypto::seal(env_key_, env_nonce(env_key_, seq), seq_bytes, padded);
  Bytes envelope;
  envelope.reserve(kSeqBytes + sealed.size());
  put_bytes(envelope, seq_bytes);
  put_bytes(envelope, sealed);
  chain_ = std::move(chain);
  return envelope;
}

// --- receiving half ---

OfflineReceiver::OfflineReceiver(KeyView root, KeyView peer_identity)
    : chain_(root, peer_identity), env_key_(env_key_of(root, peer_identity)) {}

OfflineReceiver OfflineReceiver::restore(KeyView root, KeyView peer_identity, KeyView chain_key,
                                         std::uint64_t counter) {
  return OfflineReceiver(RecvChain::from_stored(chain_key, counter),
                         env_key_of(root, peer_identity));
}

std::expected<Bytes, OfflineError> ingest(OfflineReceiver& receiver, ByteView envelope) {
  receiver.moved_.check("OfflineReceiver");
  OfflineReceiver::PrekeyStore spent;  // freed, and its X25519 secret wiped, on the way out
  return receiver.open_envelope(envelope, spent);
}

std::vector<Bytes> ingest_batch(OfflineReceiver& receiver, std::span<const Bytes> envelopes) {
  receiver.moved_.check("OfflineReceiver");
  // An envelope that opened before a stop must stay unopened: its message is never handed out.
  RecvChain saved = internal::clone(receiver.chain_);
  OfflineReceiver::PrekeyStore spent;
  const crypto::HeldErrorQueue held;
  std::vector<Bytes> messages;
  try {
    for (const Bytes& envelope : envelopes) {
      if (auto message = receiver.open_envelope(envelope, spent)) {
        messages.push_back(std::move(*message));
      }
    }
  } catch (...) {
    receiver.chain_ = std::move(saved);
    receiver.take_prekeys(spent);
    throw;
  }
  return messages;
}

std::expected<Bytes, OfflineError> OfflineReceiver::open_envelope(ByteView envelope,
                                                                  PrekeyStore& spent) {
  if (envelope.size() < kMinEnvelope || envelope.size() > MAX_ENVELOPE) {
    return std::unexpected(OfflineError::Malformed);
  }
  const crypto::HeldErrorQueue held;
  const ByteView seq_bytes = envelope.first(kSeqBytes);
  const auto seq = load_be<std::uint64_t>(seq_bytes.data());
  const auto padded =
      crypto::open(env_key_, env_nonce(env_key_, seq), seq_bytes, envelope.subspan(kSeqBytes));
  if (!padded || padded->size() < kLengthBytes) return std::unexpected(OfflineError::Malformed);
  const auto inner_length = load_be<std::uint32_t>(padded->data());
  // The fill after the inner record is not examined.
  if (inner_length == 0 || inner_length > padded->size() - kLengthBytes) {
    return std::unexpected(OfflineError::Malformed);
  }
  const ByteView inner = ByteView(*padded).subspan(kLengthBytes, inner_length);
  switch (inner[0]) {
    case kPlain: {
      auto message = chain_.open(inner.subspan(1));
      if (!message) return std::unexpected(OfflineError::Chain(message.error()));
      return std::move(*message);
    }
    case kMixed:
      return ingest_mixed(inner, spent);
    default:
      return std::unexpected(OfflineError::Malformed);
  }
}

std::expected<Bytes, OfflineError> OfflineReceiver::ingest_mixed(ByteView inner,
                                                                 PrekeyStore& spent) {
  if (inner.size() < kMixedPrefix) return std::unexpected(OfflineError::Malformed);
  const auto header = MixHeader::from_bytes(inner.subspan(1, prekey::kMixHeaderBytes));
  const auto stored = prekeys_.find(header->bundle_id);
  if (stored == prekeys_.end()) return std::unexpected(OfflineError::UnknownPrekey);
  const auto secret = prekey::receiver_mix(stored->second, *header);
  if (!secret) return std::unexpected(OfflineError::Malformed);

  // The mix is tried on a copy, so a forged or early envelope burns no prekey.
  RecvChain mixed = internal::clone(chain_);
  mixed.mix_in(*secret, header->bundle_id);
  auto message = mixed.open(inner.subspan(kMixedPrefix));
  if (!message) return std::unexpected(OfflineError::Chain(message.error()));
  chain_ = std::move(mixed);
  spent.insert(prekeys_.extract(stored));
  return std::move(*message);
}

void OfflineReceiver::take_prekeys(PrekeyStore& fresh) noexcept {
  // A restore imports into an empty store.
  if (prekeys_.empty()) {
    prekeys_.swap(fresh);
    return;
  }
  while (!fresh.empty()) {
    auto taken = prekeys_.insert(fresh.extract(fresh.begin()));
    // Assignment overwrites a replaced X25519 secret in place.
    if (!taken.inserted) taken.position->second = std::move(taken.node.mapped());
  }
}

std::vector<PrekeyBundle> OfflineReceiver::publish_prekeys(const identity::Identity& owner,
                                                           std::size_t n, std::uint64_t now) {
  moved_.check("OfflineReceiver");
  // A larger store would make a snapshot that restore refuses.
  if (n == 0 || prekeys_.size() >= kMaxStoredPrekeys || n > kMaxStoredPrekeys - prekeys_.size()) {
    return {};
  }
  // Valid while now < expires_at: at the last second of the clock nothing can be.
  if (now == kMaxTime) return {};
  const std::uint64_t expires_at = now > kMaxTime - PREKEY_TTL ? kMaxTime : now + PREKEY_TTL;
  // Drawn on the side and stored only once all are: a stop must leave no secret without its
  // bundle.
  std::vector<PrekeyBundle> bundles;
  bundles.reserve(n);
  PrekeyStore fresh;
  for (std::size_t i = 0; i < n; ++i) {
    auto [secret, bundle] = PrekeyBundle::generate(owner, expires_at);
    const PrekeyId id = secret.id;
    fresh.insert_or_assign(id, std::move(secret));
    bundles.push_back(std::move(bundle));
  }
  take_prekeys(fresh);
  return bundles;
}

void OfflineReceiver::prune_prekeys(std::uint64_t now) {
  moved_.check("OfflineReceiver");
  std::erase_if(prekeys_, [now](const auto& entry) { return entry.second.expires_at <= now; });
}

void OfflineReceiver::import_prekeys(std::span<const ByteView> records) {
  moved_.check("OfflineReceiver");
  PrekeyStore parsed;
  for (const ByteView record : records) {
    if (auto secret = parse_prekey_record(record)) {
      const PrekeyId id = secret->id;
      parsed.insert_or_assign(id, std::move(*secret));
    }
  }
  take_prekeys(parsed);
}

// --- prekey publication ---

PlainSecret32 prekey_seal_key(KeyView root, KeyView owner_identity) {
  return crypto::hmac_sha256(root, {as_bytes(labels::kPrekeySeal), owner_identity});
}

Key32 prekey_loc(KeyView root, KeyView owner_identity, std::uint64_t epoch) {
  const auto epoch_bytes = be_bytes(epoch);
  return crypto::hmac_sha256(root,
                             {as_bytes(labels::kPrekeyLocation), owner_identity, epoch_bytes});
}

Bytes seal_bundle(KeyView seal_key, const PrekeyBundle& bundle) {
  const crypto::HeldErrorQueue held;
  const auto nonce = bundle_nonce(seal_key, bundle.id);
  const Bytes sealed = crypto::seal(seal_key, nonce, {}, bundle.to_bytes());
  Bytes blob;
  blob.reserve(nonce.size() + sealed.size());
  put_bytes(blob, nonce);
  put_bytes(blob, sealed);
  return blob;
}

std::optional<PrekeyBundle> open_bundle(KeyView seal_key, ByteView blob) {
  constexpr std::size_t kNonceBytes = crypto::Nonce12{}.size();
  if (blob.size() <= kNonceBytes) return std::nullopt;
  const crypto::NonceView nonce(blob.data(), kNonceBytes);
  const crypto::HeldErrorQueue held;
  const auto plain = crypto::open(seal_key, nonce, {}, blob.subspan(kNonceBytes));
  if (!plain) return std::nullopt;
  auto bundle = PrekeyBundle::from_bytes(*plain);
  if (!bundle) return std::nullopt;
  // Only the nonce derived from the sealed id is accepted.
  const auto expected = bundle_nonce(seal_key, bundle->id);
  if (!std::equal(expected.begin(), expected.end(), nonce.begin())) return std::nullopt;
  return bundle;
}

SecretBytes prekey_record(const PrekeySecret& secret) {
  SecretBytes record;
  record.reserve(kPrekeyRecordBytes);
  put_bytes(record, secret.id);
  put_be(record, secret.expires_at);
  put_bytes(record, secret.dh_secret.view());
  put_bytes(record, secret.dk);
  return record;
}

}  // namespace vostrel::offline
