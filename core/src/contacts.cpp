#include "vostrel/contacts.hpp"

#include <sstream>
#include <utility>

#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"

namespace vostrel::contacts {
namespace {

constexpr std::uint8_t kVersion = 0x01;
constexpr std::uint8_t kNoRoot = 0x00;
constexpr std::uint8_t kHasRoot = 0x01;

void append_hex(std::ostream& out, const Key32& bytes) {
  constexpr std::string_view kDigits = "0123456789abcdef";
  for (const std::uint8_t b : bytes) out << kDigits[b >> 4] << kDigits[b & 0x0F];
}

// One entry from `reader`: the name and its contact, or absent when the entry is malformed.
std::optional<std::pair<std::string, Contact>> read_entry(ByteReader& reader) {
  const auto length = reader.u16();
  if (!length) return std::nullopt;
  if (reader.remaining() < std::size_t{*length} + 33) return std::nullopt;
  const ByteView name = *reader.bytes(*length);
  if (!is_utf8(name)) return std::nullopt;
  Contact contact;
  contact.key = *reader.array<32>();
  const std::uint8_t verified = *reader.u8();
  if (verified > 0x01) return std::nullopt;
  contact.verified = verified == 0x01;
  const auto flag = reader.u8();
  if (!flag) return std::nullopt;
  if (*flag == kHasRoot) {
    contact.root = reader.array<32>();
    if (!contact.root) return std::nullopt;
  } else if (*flag != kNoRoot) {
    return std::nullopt;
  }
  return std::pair{std::string(name.begin(), name.end()), contact};
}

}  // namespace

std::string to_string(const PinStatus& status) {
  switch (status.kind) {
    case PinStatus::Kind::New:
      return "New";
    case PinStatus::Kind::Known:
      return "Known";
    case PinStatus::Kind::Changed:
      break;
  }
  std::ostringstream out;
  out << "Changed { pinned: ";
  append_hex(out, status.pinned);
  out << " }";
  return out.str();
}

std::ostream& operator<<(std::ostream& out, const PinStatus& status) {
  return out << to_string(status);
}

std::string_view to_string(NameError error) noexcept {
  switch (error) {
    case NameError::TooLong:
      return "TooLong";
    case NameError::NotUtf8:
      return "NotUtf8";
  }
  return "NameError(?)";
}

std::ostream& operator<<(std::ostream& out, NameError error) {
  return out << to_string(error);
}

Contacts& Contacts::operator=(const Contacts& other) {
  // The map's own assignment reuses this book's nodes and, when an allocation fails half-way,
  // leaves it empty: an empty book would pin any key on first sight.
  Contacts copy(other);
  return *this = std::move(copy);
}

std::expected<PinStatus, NameError> Contacts::observe(std::string_view name, KeyView key) {
  moved_.check("Contacts");
  if (const auto found = entries_.find(name); found != entries_.end()) {
    const Key32& pinned = found->second.key;
    if (std::equal(key.begin(), key.end(), pinned.begin())) return PinStatus::Known();
    return PinStatus::Changed(pinned);
  }
  if (name.size() > kMaxNameBytes) return std::unexpected(NameError::TooLong);
  if (!is_utf8(as_bytes(name))) return std::unexpected(NameError::NotUtf8);
  entries_.emplace(std::string(name), Contact{array_of(key), false, std::nullopt});
  return PinStatus::New();
}

bool Contacts::mark_verified(std::string_view name) {
  moved_.check("Contacts");
  const auto found = entries_.find(name);
  if (found == entries_.end()) return false;
  found->second.verified = true;
  return true;
}

bool Contacts::is_verified(std::string_view name) const {
  moved_.check("Contacts");
  const auto found = entries_.find(name);
  return found != entries_.end() && found->second.verified;
}

bool Contacts::establish_root(std::string_view name, KeyView root) {
  moved_.check("Contacts");
  const auto found = entries_.find(name);
  if (found == entries_.end() || found->second.root) return false;
  found->second.root = array_of(root);
  return true;
}

std::optional<PlainSecret32> Contacts::root(std::string_view name) const {
  moved_.check("Contacts");
  const auto found = entries_.find(name);
  if (found == entries_.end()) return std::nullopt;
  return found->second.root;
}

std::optional<Key32> Contacts::key(std::string_view name) const {
  moved_.check("Contacts");
  const auto found = entries_.find(name);
  if (found == entries_.end()) return std::nullopt;
  return found->second.key;
}

bool Contacts::rotate_identity(std::string_view name, KeyView new_key) {
  moved_.check("Contacts");
  const auto found = entries_.find(name);
  if (found == entries_.end()) return false;
  found->second.key = array_of(new_key);
  return true;
}

Bytes Contacts::to_encrypted(KeyView storage_key) const {
  moved_.check("Contacts");
  // Name length, key, verified flag and root flag, then the name and the root if there is one.
  constexpr std::size_t kEntryFixedBytes = 2 + 32 + 1 + 1;
  std::size_t length = 1;
  for (const auto& [name, contact] : entries_) {
    length += kEntryFixedBytes + name.size() + (contact.root ? 32 : 0);
  }
  Bytes plaintext;
  plaintext.reserve(length);
  plaintext.push_back(kVersion);
  for (const auto& [name, contact] : entries_) {
    put_be(plaintext, static_cast<std::uint16_t>(name.size()));
    put_bytes(plaintext, as_bytes(name));
    put_bytes(plaintext, contact.key);
    plaintext.push_back(contact.verified ? 0x01 : 0x00);
    if (contact.root) {
      plaintext.push_back(kHasRoot);
      put_bytes(plaintext, *contact.root);
    } else {
      plaintext.push_back(kNoRoot);
    }
  }
  return crypto::seal(storage_key, crypto::kAtRestNonce, as_bytes(labels::kContactsAtRest),
                      plaintext);
}

std::optional<Contacts> Contacts::from_encrypted(KeyView storage_key, ByteView blob) {
  const auto plaintext =
      crypto::open(storage_key, crypto::kAtRestNonce, as_bytes(labels::kContactsAtRest), blob);
  if (!plaintext || plaintext->empty() || (*plaintext)[0] != kVersion) return std::nullopt;
  ByteReader reader(ByteView(*plaintext).subspan(1));
  Contacts book;
  while (!reader.at_end()) {
    auto entry = read_entry(reader);
    if (!entry) return std::nullopt;
    book.entries_.insert_or_assign(std::move(entry->first), entry->second);
  }
  return book;
}

}  // namespace vostrel::contacts
