// Seeds of the contact book, invitation, migration and directory targets. The fixtures here
// (identities, the invitation, the directory root) are the targets' own, made from the same fixed
// bytes, so that real requests and blobs pass the targets' signature and tag checks.
#include <string>

#include "corpus.hpp"
#include "fuzz_support.hpp"
#include "invite_fixture.hpp"
#include "vostrel/contacts.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/directory.hpp"
#include "vostrel/invite.hpp"
#include "vostrel/labels.hpp"
#include "vostrel/pqkem.hpp"
#include "vostrel/rotation.hpp"

namespace vostrel::fuzz {
namespace {

Key32 filled_key(std::uint8_t fill) {
  Key32 key{};
  key.fill(fill);
  return key;
}

Bytes with_mode(std::uint8_t mode, ByteView rest) {
  Bytes out{mode};
  put_bytes(out, rest);
  return out;
}

// --- contact book: plaintexts behind the tag, and one real blob.

Bytes plaintext_of(const contacts::Contacts& book) {
  const auto opened =
      crypto::open(fixed_key(), crypto::kAtRestNonce, as_bytes(labels::kContactsAtRest),
                   book.to_encrypted(fixed_key()));
  if (!opened) throw Panic("a saved book opens");
  return *opened;
}

Seeds contacts_seeds() {
  contacts::Contacts empty;
  contacts::Contacts small;
  (void)small.observe("bob", filled_key(0xB2));
  contacts::Contacts full;
  (void)full.observe("", filled_key(0x01));
  (void)full.observe("alice", filled_key(0xA1));
  (void)full.observe("bob", filled_key(0xB2));
  (void)full.observe("\xc3\xa9mile \xe2\x9c\x93", filled_key(0xE1));
  (void)full.observe(std::string(300, 'n'), filled_key(0x4E));
  (void)full.establish_root("alice", filled_key(0x0A));
  (void)full.establish_root("\xc3\xa9mile \xe2\x9c\x93", filled_key(0x0E));
  (void)full.mark_verified("alice");
  (void)full.mark_verified("bob");
  contacts::Contacts other;
  (void)other.observe("alice", filled_key(0xA2));
  (void)other.establish_root("alice", filled_key(0x0B));

  // A later save appended to an earlier one: every name of `other` comes twice.
  Bytes twice = plaintext_of(full);
  const Bytes later = plaintext_of(other);
  twice.insert(twice.end(), later.begin() + 1, later.end());
  return {plaintext_of(empty), plaintext_of(small), plaintext_of(full), twice,
          full.to_encrypted(fixed_key())};
}

// --- invitations: the targets' fixed invitation, laid out as create_invite lays it out.

Bytes cut(const Bytes& bytes, std::size_t length) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

Seeds invite_seeds() {
  const InviteFixture f;
  const auto [invitation, secret] = invite::create_invite(identity::Identity::generate());
  const Bytes bytes = f.invitation.to_bytes();
  return {bytes, invitation.to_bytes(), cut(bytes, bytes.size() - 1)};
}

Seeds invite_secret_seeds() {
  const InviteFixture f;
  const Bytes bytes = f.secret.to_bytes();
  return {bytes, invite::create_invite(f.inviter).second.to_bytes(), cut(bytes, 2432)};
}

invite::FriendRequest fixture_request(const InviteFixture& f) {
  const auto out = invite::request_friend(f.invitation, f.requester);
  if (!out) throw Panic("the fixed invitation is taken");
  return out->request;
}

Seeds friend_request_seeds() {
  const InviteFixture f;
  const Bytes bytes = fixture_request(f).to_bytes();
  return {bytes, cut(bytes, 64)};
}

Seeds request_friend_seeds() {
  const InviteFixture f;
  const Bytes bytes = f.invitation.to_bytes();
  const Bytes other = invite::create_invite(identity::Identity::generate()).first.to_bytes();
  return {with_mode(0, bytes), with_mode(1, bytes), with_mode(0, other),
          with_mode(1, cut(bytes, 64))};
}

Seeds accept_friend_seeds() {
  const InviteFixture f;
  const Bytes bytes = fixture_request(f).to_bytes();
  return {with_mode(0, bytes), with_mode(1, bytes), with_mode(1, cut(bytes, 64))};
}

// --- migration records.

Seeds rotation_record_seeds() {
  const rotation::MigrationRecord record =
      rotation::sign_migration(identity::Identity::generate(), identity::Identity::generate());
  const auto bytes = record.to_bytes();
  return {Bytes(bytes.begin(), bytes.end()), Bytes(bytes.begin(), bytes.end() - 1)};
}

Seeds rotation_verify_seeds() {
  const identity::Identity same = fixed_identity(0x0F);
  const auto fixture =
      rotation::sign_migration(fixed_identity(0x0D), fixed_identity(0x0E)).to_bytes();
  const auto onto_itself = rotation::sign_migration(same, same).to_bytes();
  return {with_mode(0, fixture), with_mode(1, fixture), with_mode(1, onto_itself)};
}

// --- directory records: bodies, signed records and blobs of the targets' root and publisher.

struct DirFixture {
  identity::Identity publisher = fixed_identity(0x77);
  Key32 root = filled_key(0x66);
  std::vector<directory::Published> blobs;
  std::vector<Bytes> bodies;

  DirFixture() {
    using directory::Address;
    const std::vector<std::vector<Address>> lists = {
        {},
        {Address::Onion("abcdefghijklmnop.onion"), Address::Direct("203.0.113.7:4433")},
        std::vector<Address>(8, Address::Direct("[2001:db8::1]:443")),
        {Address::Onion(std::string(256, 'o')), Address::Direct("h\xc3\xb4te.example:1")},
    };
    std::uint64_t seq = 1;
    for (const auto& addrs : lists) {
      const directory::DirRecord record{publisher.public_key(), seq, 9999, addrs};
      bodies.push_back(*record.to_bytes());
      blobs.push_back(*directory::publish(root, publisher, seq, 9999, addrs, 7 + seq));
      ++seq;
    }
  }

  Bytes signed_record(const directory::Published& published) const {
    const ByteView blob(published.blob);
    const auto opened = crypto::open(directory::dir_key(root, publisher.public_key()),
                                     crypto::NonceView(blob.first<12>()),
                                     as_bytes(labels::kDirectoryRecordData), blob.subspan(12));
    if (!opened) throw Panic("a published blob opens");
    return *opened;
  }
};

Seeds directory_record_seeds() {
  return DirFixture().bodies;
}

Seeds directory_read_seeds() {
  const DirFixture f;
  Seeds seeds;
  for (const auto& published : f.blobs) seeds.push_back(published.blob);
  return seeds;
}

Seeds directory_read_sealed_seeds() {
  const DirFixture f;
  Seeds seeds;
  for (const Bytes& body : f.bodies) seeds.push_back(with_mode(0, body));
  for (const auto& published : f.blobs) seeds.push_back(with_mode(1, f.signed_record(published)));
  return seeds;
}

const SeedRegistration contacts_registration{"contacts", contacts_seeds};
const SeedRegistration invite_registration{"invite_from_bytes", invite_seeds};
const SeedRegistration secret_registration{"invite_secret_from_bytes", invite_secret_seeds};
const SeedRegistration request_registration{"friend_request_from_bytes", friend_request_seeds};
const SeedRegistration request_friend_registration{"invite_request_friend", request_friend_seeds};
const SeedRegistration accept_friend_registration{"invite_accept_friend", accept_friend_seeds};
const SeedRegistration record_registration{"rotation_record", rotation_record_seeds};
const SeedRegistration verify_registration{"rotation_verify", rotation_verify_seeds};
const SeedRegistration dir_record_registration{"directory_record", directory_record_seeds};
const SeedRegistration dir_read_registration{"directory_read", directory_read_seeds};
const SeedRegistration dir_sealed_registration{"directory_read_sealed",
                                               directory_read_sealed_seeds};

}  // namespace
}  // namespace vostrel::fuzz
