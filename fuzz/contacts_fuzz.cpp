// Contacts::from_encrypted on raw blobs and, behind the tag, on sealed fuzzed plaintexts. The
// stored form is not canonical (a name may repeat, names may come in any order), so a loaded book
// is checked against an independent walk of the plaintext: the later entry of a name wins, and the
// book seals back to the very blob exactly when the names were strictly ascending.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "vostrel/contacts.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"

using namespace vostrel;

namespace {

struct Entry {
  std::string name;
  contacts::Contact contact;
};

// Only called on plaintexts the book accepted, so every field is known to be present.
std::vector<Entry> walk(ByteView plaintext) {
  ByteReader reader(plaintext.subspan(1));
  std::vector<Entry> entries;
  while (!reader.at_end()) {
    Entry entry;
    const ByteView name = *reader.bytes(*reader.u16());
    entry.name.assign(name.begin(), name.end());
    entry.contact.key = *reader.array<32>();
    entry.contact.verified = *reader.u8() == 0x01;
    if (*reader.u8() == 0x01) entry.contact.root = *reader.array<32>();
    entries.push_back(std::move(entry));
  }
  return entries;
}

void check_loaded(const contacts::Contacts& book, ByteView plaintext, ByteView blob) {
  const Key32& key = fuzz::fixed_key();
  const std::vector<Entry> entries = walk(plaintext);
  bool ascending = true;
  std::map<std::string, const contacts::Contact*> latest;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i > 0 && !(entries[i - 1].name < entries[i].name)) ascending = false;
    latest[entries[i].name] = &entries[i].contact;
  }
  for (const auto& [name, expected] : latest) {
    fuzz::require(book.key(name) == expected->key, "the later entry's key is pinned");
    fuzz::require(book.is_verified(name) == expected->verified, "the later entry's mark is kept");
    fuzz::require(book.root(name) == expected->root, "the later entry's root is kept");
  }
  const Bytes resealed = book.to_encrypted(key);
  fuzz::require((resealed == Bytes(blob.begin(), blob.end())) == ascending,
                "a book seals back to its blob exactly when its names were strictly ascending");
  const auto saved =
      crypto::open(key, crypto::kAtRestNonce, as_bytes(labels::kContactsAtRest), resealed);
  fuzz::require(saved.has_value(), "a saved book opens");
  const std::vector<Entry> stored = walk(*saved);
  fuzz::require(stored.size() == latest.size(), "a book holds each name once");
  auto next = latest.begin();
  for (const Entry& entry : stored) {
    fuzz::require(entry.name == next->first && entry.contact == *next->second,
                  "a book saves the later entry of each name, in name order");
    ++next;
  }
  const auto reloaded = contacts::Contacts::from_encrypted(key, resealed);
  fuzz::require(reloaded && reloaded->to_encrypted(key) == resealed,
                "a saved book loads and saves to the same blob");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const Key32& key = fuzz::fixed_key();
  (void)contacts::Contacts::from_encrypted(key, input);

  const Bytes blob =
      crypto::seal(key, crypto::kAtRestNonce, as_bytes(labels::kContactsAtRest), input);
  const auto book = contacts::Contacts::from_encrypted(key, blob);
  if (book) check_loaded(*book, input, blob);
  return 0;
}
