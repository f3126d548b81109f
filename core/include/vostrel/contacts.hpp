#pragma once

// The contact book: trust on first use of each contact's identity key, the user's verification
// mark and at most one pairwise root per contact, stored as one sealed blob.

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "vostrel/common.hpp"

namespace vostrel::contacts {

// The stored form carries a name's length in 16 bits.
inline constexpr std::size_t kMaxNameBytes = 65'535;

struct Contact {
  Key32 key{};
  bool verified = false;
  std::optional<PlainSecret32> root;

  bool operator==(const Contact&) const = default;
};

// The answer of `Contacts::observe`.
struct PinStatus {
  enum class Kind : std::uint8_t { New, Known, Changed };

  static PinStatus New() noexcept { return {Kind::New, {}}; }
  static PinStatus Known() noexcept { return {Kind::Known, {}}; }
  // `pinned` is the key that stays pinned.
  static PinStatus Changed(const Key32& pinned) noexcept { return {Kind::Changed, pinned}; }

  Kind kind = Kind::New;
  Key32 pinned{};  // all zero unless `kind` is Changed

  bool operator==(const PinStatus&) const = default;
};

std::string to_string(const PinStatus& status);
std::ostream& operator<<(std::ostream& out, const PinStatus& status);

// Why `Contacts::observe` refused to pin a name: the stored form could not carry it back.
enum class NameError : std::uint8_t { TooLong = 1, NotUtf8 = 2 };

std::string_view to_string(NameError error) noexcept;
std::ostream& operator<<(std::ostream& out, NameError error);

// A moved-from book is empty and would pin any key on first sight: every member function on it
// stops with "Contacts used after it was moved from".
class Contacts {
 public:
  // An empty book.
  Contacts() = default;
  Contacts(const Contacts&) = default;
  Contacts(Contacts&&) = default;
  // All or nothing: an assignment that stops for want of memory leaves the book as it was.
  Contacts& operator=(const Contacts& other);
  Contacts& operator=(Contacts&&) = default;
  ~Contacts() = default;

  // Pins `key` for a new name; for a known name only reports whether `key` is the pinned one and
  // changes nothing. A name longer than 65,535 bytes or not valid UTF-8 is refused and not added,
  // so every book can be saved and loaded back whole.
  [[nodiscard]] std::expected<PinStatus, NameError> observe(std::string_view name, KeyView key);

  // False, and nothing changed, when the name is absent.
  [[nodiscard]] bool mark_verified(std::string_view name);
  [[nodiscard]] bool is_verified(std::string_view name) const;
  // Sets the root once; false when the name is absent or already has a root.
  [[nodiscard]] bool establish_root(std::string_view name, KeyView root);
  [[nodiscard]] std::optional<PlainSecret32> root(std::string_view name) const;
  [[nodiscard]] std::optional<Key32> key(std::string_view name) const;
  // Re-pins a contact, keeping its mark and root. Tests nothing about the new key: the caller
  // proves the move with `rotation::verify_migration` against `key(name)` first.
  [[nodiscard]] bool rotate_identity(std::string_view name, KeyView new_key);

  // Seals the whole book under `storage_key` with the all-zero nonce and
  // "vostrel/contacts-at-rest/v1".
  //
  // A storage key seals exactly one blob. The identity, the contact book and the message log all
  // seal with the all-zero nonce, and their labels are only associated data, so two blobs under one
  // key (two saves, or two formats) share their keystream and Poly1305 key: whoever holds both
  // learns the XOR of the two plaintexts and can forge blobs that open. Two saves of one book give
  // away a root established between them; a book beside an identity blob under the same key gives
  // away the identity seed, since a book begins with bytes an outsider can guess (a version byte,
  // the first contact's name and public key). Derive a fresh key for each format and each save,
  // for example HMAC-SHA-256 of a master key over the format's label and a save counter kept
  // beside the blob, never reused.
  [[nodiscard]] Bytes to_encrypted(KeyView storage_key) const;
  // A new book from a blob of `to_encrypted`; absent for a wrong key, any change of the blob or a
  // malformed record. A name stored twice loads with the later entry.
  [[nodiscard]] static std::optional<Contacts> from_encrypted(KeyView storage_key, ByteView blob);

 private:
  // std::string orders by unsigned byte values, a prefix first: the order of the stored form.
  std::map<std::string, Contact, std::less<>> entries_;
  MoveMark moved_;
};

}  // namespace vostrel::contacts
