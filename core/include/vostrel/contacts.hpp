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

class Contacts {
 public:
  // An empty book.
  Contacts() = default;

  // Pins `key` for a new name; for a known name only reports whether `key` is the pinned one and
  // changes nothing. A name longer than 65,535 bytes or not valid UTF-8 is refused and not added,
  // so every book can be saved and loaded back whole.
  std::expected<PinStatus, NameError> observe(std::string_view name, KeyView key);

  // False, and nothing changed, when the name is absent.
  bool mark_verified(std::string_view name);
  bool is_verified(std::string_view name) const;
  // Sets the root once; false when the name is absent or already has a root.
  bool establish_root(std::string_view name, KeyView root);
  std::optional<PlainSecret32> root(std::string_view name) const;
  std::optional<Key32> key(std::string_view name) const;
  // Re-pins a contact, keeping its mark and root. Tests nothing about the new key: the caller
  // proves the move with `rotation::verify_migration` against `key(name)` first.
  bool rotate_identity(std::string_view name, KeyView new_key);

  // Seals the whole book under `storage_key` with the all-zero nonce and
  // "vostrel/contacts-at-rest/v1". Every save under one storage key uses that same nonce, so two
  // saves of different contents under one key share their keystream and Poly1305 key: whoever
  // holds both blobs learns the XOR of the two plaintexts and can forge blobs. A caller that saves
  // changing contents must use a fresh storage key for each save, for example one derived from a
  // master key and a save counter kept beside the blob.
  Bytes to_encrypted(KeyView storage_key) const;
  // A new book from a blob of `to_encrypted`; absent for a wrong key, any change of the blob or a
  // malformed record. A name stored twice loads with the later entry.
  static std::optional<Contacts> from_encrypted(KeyView storage_key, ByteView blob);

 private:
  // std::string orders by unsigned byte values, a prefix first: the order of the stored form.
  std::map<std::string, Contact, std::less<>> entries_;
};

}  // namespace vostrel::contacts
