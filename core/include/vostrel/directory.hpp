#pragma once

// Directory records: a signed list of reachable addresses, sealed under a key only holders of the
// pairwise root can derive, and found at a location that changes with the epoch.

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vostrel/common.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/identity.hpp"

namespace vostrel::directory {

inline constexpr std::size_t DIR_MAX_ADDRS = 8;
inline constexpr std::size_t DIR_MAX_ADDR_LEN = 256;
inline constexpr std::uint8_t kRecordVersion = 0x01;

struct Address {
  enum class Kind : std::uint8_t { Onion = 1, Direct = 2 };  // the wire tags

  static Address Onion(std::string text) { return {Kind::Onion, std::move(text)}; }
  static Address Direct(std::string text) { return {Kind::Direct, std::move(text)}; }

  Kind kind = Kind::Onion;
  std::string text;  // UTF-8, at most DIR_MAX_ADDR_LEN bytes

  bool operator==(const Address&) const = default;
};

// The variant name followed by the quoted string in parentheses: Onion("abc.onion").
std::string to_string(const Address& address);
std::ostream& operator<<(std::ostream& out, const Address& address);

struct DirRecord {
  identity::PublicKey identity{};
  std::uint64_t seq = 0;
  std::uint64_t expires_at = 0;
  std::vector<Address> addrs;

  // The record body; absent for more than DIR_MAX_ADDRS addresses or an address string that is
  // longer than DIR_MAX_ADDR_LEN bytes or not UTF-8 (the reader could not take it back).
  [[nodiscard]] std::optional<Bytes> to_bytes() const;
  [[nodiscard]] static std::optional<DirRecord> from_bytes(ByteView body);
  // Expired from `expires_at` on.
  [[nodiscard]] bool is_expired(std::uint64_t now) const noexcept { return now >= expires_at; }

  bool operator==(const DirRecord&) const = default;
};

[[nodiscard]] PlainSecret32 dir_key(KeyView root, KeyView publisher);
[[nodiscard]] Key32 dir_loc(KeyView root, KeyView publisher, std::uint64_t epoch);
[[nodiscard]] crypto::Nonce12 dir_nonce(KeyView record_key, std::uint64_t epoch, std::uint64_t seq);

struct Published {
  Key32 location{};
  Bytes blob;
};

// Signs and seals a record; the blob goes to `location`. The nonce follows from (root, publisher,
// epoch, seq) alone, so a record that differs in anything must never reuse an (epoch, seq) pair
// already published under the same root: that would reuse the nonce under one key. Absent when the
// addresses cannot be encoded (see `DirRecord::to_bytes`). Stops with "signature operation failed"
// when signing fails.
[[nodiscard]] std::optional<Published> publish(KeyView root, const identity::Identity& publisher,
                                               std::uint64_t seq, std::uint64_t expires_at,
                                               std::span<const Address> addrs, std::uint64_t epoch);

// Opens, verifies and parses a blob from the expected publisher. Expiry and seq are the caller's
// to test.
[[nodiscard]] std::optional<DirRecord> read(KeyView root, KeyView publisher, ByteView blob);

}  // namespace vostrel::directory
