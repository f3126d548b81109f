// Allocation failures in the contact book, invitations, the directory and identity migration: a
// stop leaves the book, the invitation's secret and the identities as they were, and a load or a
// check never answers a failed allocation with a refusal.
#include <gtest/gtest.h>

#include "fault_sweep.hpp"
#include "test_support.hpp"
#include "vostrel/contacts.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/directory.hpp"
#include "vostrel/identity.hpp"
#include "vostrel/invite.hpp"
#include "vostrel/labels.hpp"
#include "vostrel/rotation.hpp"

using namespace vostrel;
using contacts::Contacts;
using contacts::PinStatus;
using fault::FaultRun;
using fault::require;
using fault::Scenario;
using fault::sweep_all;
using identity::Identity;
using test::filled;

namespace {

// The primitives' first use made, OpenSSL's Ed25519 check included, so that a sweep fails only the
// allocations of the call itself.
void warm_up() {
  const Key32 key = filled<32>(0x77);
  const Bytes sealed = crypto::seal(key, crypto::kAtRestNonce, {}, as_bytes("warm"));
  require(crypto::open(key, crypto::kAtRestNonce, {}, sealed).has_value(), "warm-up open");
  Bytes derived(32);
  crypto::hkdf_sha256(key, key, {as_bytes("warm")}, derived);
  const Secret32 secret(key);
  static_cast<void>(crypto::x25519(secret.view(), crypto::x25519_public(secret.view())));
  const identity::Signature no_signature{};
  require(!identity::verify(key, as_bytes("warm"), no_signature), "warm-up verify");
}

// Runs `call` with its first allocation failing: true when it made none.
template <class Call>
bool allocates_nothing(Call call) {
  fault::fail_allocation(0);
  bool stopped = false;
  try {
    static_cast<void>(call());
  } catch (...) {
    stopped = true;
  }
  return !fault::disarm() && !stopped;
}

// --- The contact book ---

const Key32 kStorageKey = filled<32>(0x5C);
const Key32 kKeyA = filled<32>(0xA1);
const Key32 kKeyB = filled<32>(0xB2);
const Key32 kKeyC = filled<32>(0xC3);
const Key32 kRootA = filled<32>(0x0A);
const Key32 kRootC = filled<32>(0x0C);
// Names too long to be held inside the string itself, so that pinning one allocates for it too.
constexpr std::string_view kAlice = "alice, verified, with a root";
constexpr std::string_view kBob = "bob, pinned and nothing more";
constexpr std::string_view kCarol = "carol, about to be pinned";

void pin(Contacts& book, std::string_view name, const Key32& key) {
  require(book.observe(name, key) == PinStatus::New(), "fixture pins");
}

Contacts small_book() {
  Contacts book;
  pin(book, kAlice, kKeyA);
  require(book.mark_verified(kAlice) && book.establish_root(kAlice, kRootA), "fixture marks");
  pin(book, kBob, kKeyB);
  return book;
}

// Everything the book holds, in its stored form.
Bytes stored(const Contacts& book) {
  return book.to_encrypted(kStorageKey);
}

void book_unchanged(const Contacts& book, const Bytes& before, std::string_view what) {
  require(stored(book) == before, what);
  require(book.key(kAlice) == kKeyA && book.root(kAlice) == kRootA && book.is_verified(kAlice),
          "alice as pinned");
}

// --- Invitations ---

struct Parties {
  Identity alice = Identity::generate();  // invites
  Identity bob = Identity::generate();    // requests
  std::pair<invite::Invite, invite::InviteSecret> invitation = invite::create_invite(alice);
};

invite::RequestOutput must_request(const Parties& parties) {
  auto requested = invite::request_friend(parties.invitation.first, parties.bob);
  require(requested.has_value(), "a genuine invitation is taken");
  return std::move(*requested);
}

invite::AcceptOutput must_accept(const Parties& parties, const invite::FriendRequest& request) {
  auto accepted = invite::accept_friend(parties.invitation.second, parties.alice, request);
  require(accepted.has_value(), "a genuine request is accepted");
  return *accepted;
}

void befriended(const Parties& parties, const invite::RequestOutput& requested,
                const invite::AcceptOutput& accepted) {
  require(requested.root == accepted.root && requested.session_key == accepted.session_key,
          "both sides hold one root and one session key");
  require(requested.peer_id == parties.alice.public_key() &&
              accepted.peer_id == parties.bob.public_key(),
          "each side learned the other");
  require(invite::verify_accept(requested.transcript, parties.alice.public_key(), accepted.accept),
          "the acceptance verifies");
}

// A whole exchange over the invitation, with no fault.
void exchange_works(const Parties& parties) {
  const invite::RequestOutput requested = must_request(parties);
  befriended(parties, requested, must_accept(parties, requested.request));
}

// Each identity signs as it did before the stop.
void identities_unchanged(const Parties& parties, const identity::Signature& alice_signed,
                          const identity::Signature& bob_signed) {
  require(parties.alice.sign(as_bytes("probe")) == alice_signed, "alice signs as before");
  require(parties.bob.sign(as_bytes("probe")) == bob_signed, "bob signs as before");
}

// A form read back from its bytes: a stop is no refusal, and the same bytes load afterwards.
template <class Form>
void loads_back(FaultRun& run, const Bytes& bytes) {
  const auto got = run.faulted([&] { return Form::from_bytes(bytes); });
  if (got) require(got->has_value() && (*got)->to_bytes() == bytes, "a stopped load refused");
  const auto again = Form::from_bytes(bytes);
  require(again.has_value() && again->to_bytes() == bytes, "loads after the stop");
}

// --- The directory ---

const Key32 kRoot = filled<32>(0x11);
constexpr std::uint64_t kSeq = 3;
constexpr std::uint64_t kExpires = 9999;
constexpr std::uint64_t kEpoch = 100;

std::vector<directory::Address> sample_addrs() {
  return {
      directory::Address::Onion("exampleexampleexampleexampleexampleexampleexampleexampl.onion"),
      directory::Address::Direct("203.0.113.7:4433")};
}

directory::Published must_publish(const Identity& publisher) {
  auto published = directory::publish(kRoot, publisher, kSeq, kExpires, sample_addrs(), kEpoch);
  require(published.has_value(), "a valid record is published");
  return std::move(*published);
}

bool same_published(const directory::Published& a, const directory::Published& b) {
  return a.location == b.location && a.blob == b.blob;
}

// A record sealed rightly under the publisher's key but signed by someone else.
Bytes blob_signed_by(const Identity& publisher, const Identity& signer) {
  const directory::DirRecord record{publisher.public_key(), kSeq, kExpires, sample_addrs()};
  Bytes signed_record = *record.to_bytes();
  Bytes message = test::bytes_of(labels::kDirectoryRecord);
  put_bytes(message, signed_record);
  put_bytes(signed_record, signer.sign(message));
  const PlainSecret32 key = directory::dir_key(kRoot, publisher.public_key());
  const crypto::Nonce12 nonce = directory::dir_nonce(key, kEpoch, kSeq);
  Bytes blob(nonce.begin(), nonce.end());
  put_bytes(blob, crypto::seal(key, nonce, as_bytes(labels::kDirectoryRecordData), signed_record));
  return blob;
}

}  // namespace

TEST(contacts_faults, book) {
  sweep_all({
      {"observe a new name",
       [](FaultRun& run) {
         warm_up();
         Contacts book = small_book();
         const Bytes before = stored(book);
         Contacts expected = book;
         pin(expected, kCarol, kKeyC);
         if (const auto got = run.faulted([&] { return book.observe(kCarol, kKeyC); })) {
           require(*got == PinStatus::New(), "pinned");
         } else {
           book_unchanged(book, before, "a stopped observe pins nothing");
           pin(book, kCarol, kKeyC);
         }
         require(stored(book) == stored(expected), "carol pinned once, the rest as it was");
         require(book.observe(kCarol, kKeyC) == PinStatus::Known(), "carol known");
       }},
      {"copy assignment",
       [](FaultRun& run) {
         warm_up();
         Contacts source;
         pin(source, kCarol, kKeyC);
         require(source.establish_root(kCarol, kRootC), "fixture root");
         pin(source, kBob, kKeyA);
         Contacts book = small_book();
         const Bytes before = stored(book);
         if (!run.faulted([&] { book = source; })) {
           book_unchanged(book, before, "a stopped assignment keeps the old book");
           book = source;
         }
         require(stored(book) == stored(source), "the assigned book");
         require(book.observe(kAlice, kKeyB) == PinStatus::New(), "alice gone with the old book");
       }},
      {"to_encrypted",
       [](FaultRun& run) {
         warm_up();
         const Contacts book = small_book();
         const Bytes before = stored(book);
         if (const auto got = run.faulted([&] { return book.to_encrypted(kStorageKey); })) {
           require(*got == before, "sealed");
         }
         book_unchanged(book, before, "the book after a stopped save");
       }},
      {"from_encrypted",
       [](FaultRun& run) {
         warm_up();
         const Bytes blob = stored(small_book());
         if (const auto got =
                 run.faulted([&] { return Contacts::from_encrypted(kStorageKey, blob); })) {
           require(got->has_value(), "a stopped load reads as a wrong key or a corrupt blob");
           book_unchanged(**got, blob, "loaded");
         }
         const auto again = Contacts::from_encrypted(kStorageKey, blob);
         require(again.has_value(), "loads after the stop");
         book_unchanged(*again, blob, "loaded after the stop");
       }},
      {"a migration applied",
       [](FaultRun& run) {
         warm_up();
         const Identity old_id = Identity::generate();
         const Identity new_id = Identity::generate();
         const rotation::MigrationRecord record = rotation::sign_migration(old_id, new_id);
         Contacts book = small_book();
         pin(book, kCarol, old_id.public_key());
         require(book.establish_root(kCarol, kRootC), "fixture root");
         const Bytes before = stored(book);
         const auto apply = [&] {
           const auto moved_to = rotation::verify_migration(record, *book.key(kCarol));
           return moved_to && book.rotate_identity(kCarol, *moved_to);
         };
         if (const auto got = run.faulted(apply)) {
           require(*got, "a stopped check refused the migration");
         } else {
           book_unchanged(book, before, "a stopped migration moves nothing");
           require(book.key(kCarol) == old_id.public_key(), "carol still on her old key");
           require(apply(), "applied after the stop");
         }
         require(book.key(kCarol) == new_id.public_key() && book.root(kCarol) == kRootC,
                 "carol moved with her root");
         require(
             book.observe(kCarol, old_id.public_key()) == PinStatus::Changed(new_id.public_key()),
             "the old key no longer passes");
       }},
  });
}

// These calls cannot stop for want of memory, so they have nothing to sweep.
TEST(contacts_faults, known_names_are_edited_without_allocating) {
  Contacts book = small_book();
  Contacts bare;
  pin(bare, kCarol, kKeyC);
  EXPECT_TRUE(allocates_nothing([&] { return book.observe(kBob, kKeyB); })) << "Known";
  EXPECT_TRUE(allocates_nothing([&] { return book.observe(kBob, kKeyC); })) << "Changed";
  EXPECT_TRUE(allocates_nothing([&] { return bare.mark_verified(kCarol); })) << "mark_verified";
  EXPECT_TRUE(allocates_nothing([&] { return bare.establish_root(kCarol, kRootC); }))
      << "establish_root";
  EXPECT_TRUE(allocates_nothing([&] { return bare.rotate_identity(kCarol, kKeyA); }))
      << "rotate_identity";
  EXPECT_TRUE(allocates_nothing([&] { return bare.root(kCarol); })) << "root";
  EXPECT_TRUE(bare.is_verified(kCarol) && bare.root(kCarol) == kRootC && bare.key(kCarol) == kKeyA);
}

TEST(invite_faults, exchange) {
  sweep_all({
      {"create_invite",
       [](FaultRun& run) {
         warm_up();
         Parties parties;
         const identity::Signature alice_signed = parties.alice.sign(as_bytes("probe"));
         const identity::Signature bob_signed = parties.bob.sign(as_bytes("probe"));
         if (auto got = run.faulted([&] { return invite::create_invite(parties.alice); })) {
           parties.invitation = std::move(*got);
         }
         identities_unchanged(parties, alice_signed, bob_signed);
         exchange_works(parties);
       }},
      {"request_friend",
       [](FaultRun& run) {
         warm_up();
         const Parties parties;
         const identity::Signature alice_signed = parties.alice.sign(as_bytes("probe"));
         const identity::Signature bob_signed = parties.bob.sign(as_bytes("probe"));
         const auto got = run.faulted(
             [&] { return invite::request_friend(parties.invitation.first, parties.bob); });
         if (got) {
           require(got->has_value(), "a stopped check refused a genuine invitation");
           befriended(parties, **got, must_accept(parties, (*got)->request));
         }
         identities_unchanged(parties, alice_signed, bob_signed);
         exchange_works(parties);
       }},
      {"accept_friend",
       [](FaultRun& run) {
         warm_up();
         const Parties parties;
         const Bytes secret_before = parties.invitation.second.to_bytes();
         const invite::RequestOutput requested = must_request(parties);
         const auto got = run.faulted([&] {
           return invite::accept_friend(parties.invitation.second, parties.alice,
                                        requested.request);
         });
         require(parties.invitation.second.to_bytes() == secret_before, "the secret as it was");
         const invite::AcceptOutput accepted = must_accept(parties, requested.request);
         befriended(parties, requested, accepted);
         if (got) {
           require(got->has_value(), "a stopped check refused a genuine request");
           require((*got)->accept == accepted.accept && (*got)->root == accepted.root,
                   "the same acceptance both times");
         }
         exchange_works(parties);
       }},
      {"verify_accept",
       [](FaultRun& run) {
         warm_up();
         const Parties parties;
         const invite::RequestOutput requested = must_request(parties);
         const invite::AcceptOutput accepted = must_accept(parties, requested.request);
         const auto verified = [&] {
           return invite::verify_accept(requested.transcript, parties.alice.public_key(),
                                        accepted.accept);
         };
         if (const auto got = run.faulted(verified)) require(*got, "a stop refused an acceptance");
         require(verified(), "verifies after the stop");
       }},
      {"verify_accept of a forged acceptance",
       [](FaultRun& run) {
         warm_up();
         const Parties parties;
         const invite::RequestOutput requested = must_request(parties);
         const invite::AcceptOutput accepted = must_accept(parties, requested.request);
         const identity::Signature forged = parties.bob.sign(requested.transcript);
         if (const auto got = run.faulted([&] {
               return invite::verify_accept(requested.transcript, parties.alice.public_key(),
                                            forged);
             })) {
           require(!*got, "a forged acceptance passed");
         }
         require(invite::verify_accept(requested.transcript, parties.alice.public_key(),
                                       accepted.accept),
                 "the genuine one verifies after the stop");
       }},
  });
}

TEST(invite_faults, forms_load_back) {
  sweep_all({
      {"Invite::from_bytes",
       [](FaultRun& run) {
         warm_up();
         loads_back<invite::Invite>(run, Parties().invitation.first.to_bytes());
       }},
      {"InviteSecret::from_bytes",
       [](FaultRun& run) {
         warm_up();
         loads_back<invite::InviteSecret>(run, Parties().invitation.second.to_bytes());
       }},
      {"FriendRequest::from_bytes",
       [](FaultRun& run) {
         warm_up();
         loads_back<invite::FriendRequest>(run, must_request(Parties()).request.to_bytes());
       }},
  });
}

TEST(directory_faults, records) {
  sweep_all({
      {"publish",
       [](FaultRun& run) {
         warm_up();
         const Identity publisher = Identity::generate();
         const directory::Published expected = must_publish(publisher);
         if (const auto got = run.faulted([&] {
               return directory::publish(kRoot, publisher, kSeq, kExpires, sample_addrs(), kEpoch);
             })) {
           require(got->has_value() && same_published(**got, expected), "published");
         }
         require(same_published(must_publish(publisher), expected), "published after the stop");
       }},
      {"read",
       [](FaultRun& run) {
         warm_up();
         const Identity publisher = Identity::generate();
         const directory::Published published = must_publish(publisher);
         const directory::DirRecord expected{publisher.public_key(), kSeq, kExpires,
                                             sample_addrs()};
         const auto read = [&] {
           return directory::read(kRoot, publisher.public_key(), published.blob);
         };
         if (const auto got = run.faulted(read)) {
           require(*got == expected, "a stopped check refused a genuine record");
         }
         require(read() == expected, "read after the stop");
       }},
      {"read of a record signed by another",
       [](FaultRun& run) {
         warm_up();
         const Identity publisher = Identity::generate();
         const Bytes forged = blob_signed_by(publisher, Identity::generate());
         if (const auto got = run.faulted(
                 [&] { return directory::read(kRoot, publisher.public_key(), forged); })) {
           require(!got->has_value(), "a forged record was read");
         }
         const directory::Published published = must_publish(publisher);
         require(directory::read(kRoot, publisher.public_key(), published.blob).has_value(),
                 "a genuine record is read after the stop");
       }},
      {"DirRecord to_bytes and from_bytes",
       [](FaultRun& run) {
         warm_up();
         const directory::DirRecord record{filled<32>(0x22), kSeq, kExpires, sample_addrs()};
         const Bytes body = *record.to_bytes();
         const auto round_trip = [&] {
           const auto written = record.to_bytes();
           return written ? directory::DirRecord::from_bytes(*written) : std::nullopt;
         };
         if (const auto got = run.faulted(round_trip)) {
           require(*got == record, "a stop inside a write or a load is no refusal");
         }
         require(round_trip() == record && record.to_bytes() == body, "after the stop");
       }},
  });
}

TEST(rotation_faults, migration) {
  sweep_all({
      {"sign_migration",
       [](FaultRun& run) {
         warm_up();
         const Identity old_id = Identity::generate();
         const Identity new_id = Identity::generate();
         const rotation::MigrationRecord expected = rotation::sign_migration(old_id, new_id);
         if (const auto got =
                 run.faulted([&] { return rotation::sign_migration(old_id, new_id); })) {
           require(*got == expected, "signed");
         }
         require(rotation::sign_migration(old_id, new_id) == expected, "signed after the stop");
       }},
      {"verify_migration",
       [](FaultRun& run) {
         warm_up();
         const Identity old_id = Identity::generate();
         const Identity new_id = Identity::generate();
         const rotation::MigrationRecord record = rotation::sign_migration(old_id, new_id);
         const auto verified = [&] {
           return rotation::verify_migration(record, old_id.public_key());
         };
         if (const auto got = run.faulted(verified)) {
           require(*got == new_id.public_key(), "a stopped check refused a genuine migration");
         }
         require(verified() == new_id.public_key(), "verifies after the stop");
       }},
      {"verify_migration of a forged new key",
       [](FaultRun& run) {
         warm_up();
         const Identity old_id = Identity::generate();
         const Identity new_id = Identity::generate();
         const rotation::MigrationRecord genuine = rotation::sign_migration(old_id, new_id);
         rotation::MigrationRecord forged = genuine;
         forged.new_key = Identity::generate().public_key();
         if (const auto got = run.faulted(
                 [&] { return rotation::verify_migration(forged, old_id.public_key()); })) {
           require(!got->has_value(), "a forged migration passed");
         }
         require(rotation::verify_migration(genuine, old_id.public_key()) == new_id.public_key(),
                 "the genuine one verifies after the stop");
       }},
  });
}
