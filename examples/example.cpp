// The installed library at work: an identity that signs, a sealed message, an ML-KEM-768 round
// trip, and an offline envelope that travels through a blind mailbox.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vostrel/crypto.hpp>
#include <vostrel/identity.hpp>
#include <vostrel/lib.hpp>
#include <vostrel/mailbox.hpp>
#include <vostrel/offline.hpp>
#include <vostrel/pqkem.hpp>

using namespace vostrel;

namespace {

void expect(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "example: FAILED: %s\n", what);
    std::exit(1);
  }
}

std::string_view text_of(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

int main() {
  std::printf("vostrel %.*s\n", static_cast<int>(lib::version().size()), lib::version().data());

  // An identity signs; whoever holds its public key verifies.
  const auto alice = identity::Identity::generate();
  const auto bob = identity::Identity::generate();
  const ByteView hello = as_bytes("hello, bob");
  const identity::Signature signature = alice.sign(hello);
  expect(identity::verify(alice.public_key(), hello, signature), "alice's signature verifies");
  expect(!identity::verify(bob.public_key(), hello, signature), "it is not bob's");

  // A message sealed under a key and a nonce (never used twice with that key) opens only with
  // the same key, nonce and associated data.
  const Secret32 key = random_secret32();
  crypto::Nonce12 nonce{};
  os_random(nonce);
  const Bytes sealed = crypto::seal(key.view(), nonce, as_bytes("header"), as_bytes("noon"));
  const auto opened = crypto::open(key.view(), nonce, as_bytes("header"), sealed);
  expect(opened && text_of(*opened) == "noon", "the sealed message opens");
  expect(!crypto::open(key.view(), nonce, as_bytes("another header"), sealed),
         "other associated data is refused");

  // ML-KEM-768: a secret encapsulated to bob's public key, recovered by his private key alone.
  const auto kem = pqkem::KemKeyPair::generate();
  const auto encapsulated = pqkem::encapsulate(kem.ek);
  const auto recovered = pqkem::decapsulate(kem.dk, encapsulated.ct);
  expect(crypto::ct_equal(recovered.view(), encapsulated.ss.view()),
         "both sides hold the same secret");

  // Offline delivery from alice to bob. Both hold the pairwise root of their friendship (random
  // here); the direction is named by the sender's identity key.
  const Secret32 root = random_secret32();
  const std::uint64_t now = 1'700'000'000;  // the caller's clock, in seconds
  const std::uint64_t epoch = now / 3600;
  offline::OfflineSender alice_tx(root.view(), alice.public_key());
  offline::OfflineReceiver bob_rx(root.view(), alice.public_key());
  mailbox::BlindMailbox box;  // what a relay keeps: tokens and padded blobs, nothing more

  // Bob publishes a signed prekey, sealed, at his prekey location of this epoch.
  const PlainSecret32 seal_key = offline::prekey_seal_key(root.view(), bob.public_key());
  const Key32 prekey_loc = offline::prekey_loc(root.view(), bob.public_key(), epoch);
  for (const auto& bundle : bob_rx.publish_prekeys(bob, 1, now)) {
    box.deposit(prekey_loc, offline::seal_bundle(seal_key, bundle));
  }

  // Alice fetches and verifies it, and seals her message healed with it.
  const auto published = mailbox::pull(box, prekey_loc);
  expect(published.size() == 1, "one prekey published");
  const auto bundle = offline::open_bundle(seal_key, published[0]);
  expect(bundle && bundle->verify(bob.public_key(), now), "bob's prekey verifies");
  auto envelope = alice_tx.seal(as_bytes("see you offline"), &*bundle);
  expect(envelope.has_value(), "the envelope is sealed");
  const Key32 alice_loc = offline::mbx_loc(root.view(), alice.public_key(), epoch);
  box.deposit(alice_loc, std::move(*envelope));

  // Bob, online again, pulls the queue at alice's token and ingests what it holds.
  const auto pulled = mailbox::pull(box, alice_loc);
  expect(pulled.size() == 1, "one envelope waits");
  const auto message = offline::ingest(bob_rx, pulled[0]);
  expect(message && text_of(*message) == "see you offline", "bob reads alice's message");
  const std::string_view text = text_of(*message);
  std::printf("bob received: %.*s\n", static_cast<int>(text.size()), text.data());
  return 0;
}
