#include <limits>

#include "corpus.hpp"
#include "offline_fixture.hpp"
#include "vostrel/identity.hpp"

namespace vostrel::fuzz {
namespace {

using namespace offline_fixture;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

Bytes frame_at(std::uint64_t counter, ByteView message) {
  SendChain chain(root(), sender_key());
  for (std::uint64_t i = 0; i < counter; ++i) (void)chain.seal({});
  return chain.seal(message);
}

Bytes sealed_frame_input(std::uint64_t receiver_next, std::uint64_t counter,
                         std::string_view message) {
  Bytes out{1};
  put_be(out, receiver_next);
  put_be(out, counter);
  put_bytes(out, as_bytes(message));
  return out;
}

Seeds sendchain_open_seeds() {
  Seeds seeds;
  for (const Bytes& frame : frames()) seeds.push_back(with_mode(0, frame));
  seeds.push_back(
      with_mode(0, frame_at(kReceiverNext + sendchain::CHAIN_MAX_SKIP, as_bytes("far"))));
  seeds.push_back(with_mode(0, Bytes(sendchain::kFrameHeaderBytes, 1)));
  seeds.push_back(sealed_frame_input(0, 0, "hello"));
  seeds.push_back(sealed_frame_input(10, 5, "below"));
  seeds.push_back(sealed_frame_input(4, 4 + sendchain::CHAIN_MAX_SKIP, "at the limit"));
  seeds.push_back(sealed_frame_input(4, 5 + sendchain::CHAIN_MAX_SKIP, "past the limit"));
  seeds.push_back(sealed_frame_input(kMax - 3, kMax - 1, "high"));
  seeds.push_back(sealed_frame_input(kMax - 1, kMax, "last"));
  return seeds;
}

PrekeyBundle generated_bundle() {
  const identity::Identity owner = identity::Identity::generate();
  return PrekeyBundle::generate(owner, kNow + offline::PREKEY_TTL).second;
}

Seeds prekey_bundle_seeds() {
  Seeds seeds;
  for (const auto& p : prekeys()) seeds.push_back(p.bundle.to_bytes());
  seeds.push_back(generated_bundle().to_bytes());
  seeds.push_back(Bytes(prekey::kBundleBytes - 1, 0));
  return seeds;
}

Seeds prekey_mix_header_seeds() {
  Seeds seeds;
  for (const auto& p : prekeys()) seeds.push_back(prekey::sender_mix(p.bundle)->header.to_bytes());
  seeds.push_back(Bytes(prekey::kMixHeaderBytes + 1, 0));
  return seeds;
}

// Mixed envelopes at the receivers' position: spending the first fixture prekey (then a plain
// one after the mix), the second, an unknown one, and one a frame ahead, which they refuse.
std::vector<Bytes> mixed_envelopes() {
  std::vector<Bytes> out;
  OfflineSender healed = sender_at_receiver();
  out.push_back(*healed.seal(as_bytes("healed"), &prekeys()[0].bundle));
  out.push_back(*healed.seal(as_bytes("after the mix")));
  OfflineSender second = sender_at_receiver();
  out.push_back(*second.seal(as_bytes("healed twice"), &prekeys()[1].bundle));
  PrekeyBundle unknown = prekeys()[0].bundle;
  unknown.id = filled<16>(0x3F);
  OfflineSender third = sender_at_receiver();
  out.push_back(*third.seal(as_bytes("unknown prekey"), &unknown));
  OfflineSender ahead = sender_at_receiver();
  (void)ahead.seal(as_bytes("passed over"));
  out.push_back(*ahead.seal(as_bytes("mixed ahead"), &prekeys()[1].bundle));
  return out;
}

// Mode 1 of the ingest target: the sequence number and the padded plaintext of an envelope.
Bytes opened_envelope(ByteView envelope) {
  const std::uint64_t seq = load_be<std::uint64_t>(envelope.data());
  const auto padded = crypto::open(env_key(), offline::env_nonce(env_key(), seq), envelope.first(8),
                                   envelope.subspan(8));
  require(padded.has_value(), "a seed envelope opens under the fixture's envelope key");
  Bytes out{1};
  put_bytes(out, envelope.first(8));
  put_bytes(out, *padded);
  return out;
}

Seeds offline_ingest_seeds() {
  std::vector<Bytes> all = envelopes();
  for (Bytes& mixed : mixed_envelopes()) all.push_back(std::move(mixed));
  Seeds seeds;
  for (const Bytes& envelope : all) {
    seeds.push_back(with_mode(0, envelope));
    seeds.push_back(opened_envelope(envelope));
  }
  seeds.push_back(with_mode(0, Bytes(280, 0)));
  return seeds;
}

Seeds offline_open_bundle_seeds() {
  Seeds seeds;
  std::vector<PrekeyBundle> bundles{prekeys()[0].bundle, prekeys()[1].bundle, generated_bundle()};
  for (const auto& bundle : bundles) {
    seeds.push_back(offline::seal_bundle(seal_key(), bundle));
    seeds.push_back(bundle.to_bytes());
  }
  return seeds;
}

Seeds offline_import_prekeys_seeds() {
  const auto& p = prekeys();
  const FixedPrekey fresh = make_prekey(2, kNow + 1);
  const FixedPrekey expired = make_prekey(3, kNow - 1);
  Bytes replacement = p[0].record;
  store_be(replacement.data() + 16, kNow + 7);
  const ByteView short_record = ByteView(fresh.record).first(offline::kPrekeyRecordBytes - 1);
  return {join_list({fresh.record}), join_list({p[1].record, p[0].record}),
          join_list({fresh.record, expired.record, replacement}),
          join_list({replacement, fresh.record, replacement}),
          join_list({short_record, p[0].record})};
}

Bytes snapshot_bytes(const OfflineChannel& channel) {
  const SecretBytes snapshot = channel.snapshot();
  return Bytes(snapshot.view().begin(), snapshot.view().end());
}

Seeds outbox_restore_seeds() {
  Seeds seeds;
  seeds.push_back(snapshot_bytes(OfflineChannel(root(), owner_key(), sender_key())));
  OfflineChannel bob = channel();
  seeds.push_back(snapshot_bytes(bob));
  require(outbox::queue(bob, as_bytes("with a prekey"), &prekeys()[0].bundle),
          "the fixture channel queues a mixed envelope");
  seeds.push_back(snapshot_bytes(bob));
  bob.ack(0);
  const auto more = make_prekey(2, kNow + 1);
  const std::vector<ByteView> records{more.record};
  bob.rx().import_prekeys(records);
  seeds.push_back(snapshot_bytes(bob));
  return seeds;
}

Seeds outbox_ingest_batch_seeds() {
  const auto& e = envelopes();
  const std::vector<Bytes> mixed = mixed_envelopes();
  return {join_list({e.begin(), e.end()}), join_list({e[4], e[4], e[0], e[0], e[3]}),
          join_list({mixed[0], mixed[1], mixed[0], e[4]}),
          join_list({mixed[4], e[4], mixed[4], mixed[3], mixed[2]}),
          join_list({Bytes(280, 0), e[2], e[7], e[6], e[5]})};
}

const SeedRegistration sendchain_open{"sendchain_open", sendchain_open_seeds};
const SeedRegistration prekey_bundle{"prekey_bundle", prekey_bundle_seeds};
const SeedRegistration prekey_mix_header{"prekey_mix_header", prekey_mix_header_seeds};
const SeedRegistration offline_ingest{"offline_ingest", offline_ingest_seeds};
const SeedRegistration offline_open_bundle{"offline_open_bundle", offline_open_bundle_seeds};
const SeedRegistration offline_import_prekeys{"offline_import_prekeys",
                                              offline_import_prekeys_seeds};
const SeedRegistration outbox_restore{"outbox_restore", outbox_restore_seeds};
const SeedRegistration outbox_ingest_batch{"outbox_ingest_batch", outbox_ingest_batch_seeds};

}  // namespace
}  // namespace vostrel::fuzz
