#pragma once

// A conversation's history, kept at rest as one sealed blob under the caller's storage key.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vostrel/common.hpp"
#include "vostrel/labels.hpp"

namespace vostrel::store {

inline constexpr std::string_view kLogAtRestLabel = labels::kMessageLogAtRest;
// The stored length field is 32 bits wide.
inline constexpr std::uint64_t kMaxTextBytes = 0xFFFF'FFFFULL;
// Direction, timestamp and text length in front of each stored text.
inline constexpr std::size_t kEntryHeadBytes = 13;

enum class Direction : std::uint8_t { Sent = 0, Received = 1 };

std::string_view to_string(Direction direction) noexcept;
std::ostream& operator<<(std::ostream& out, Direction direction);

struct LogEntry {
  std::string text;
  std::uint64_t timestamp = 0;
  Direction direction = Direction::Sent;

  bool operator==(const LogEntry&) const = default;
};

// Every entry holds valid UTF-8 of at most kMaxTextBytes bytes, so every log seals to a blob that
// opens again. A moved-from log is empty: append and to_encrypted on it stop with "MessageLog used
// after it was moved from".
class MessageLog {
 public:
  // An empty log.
  MessageLog() = default;

  // Adds an entry at the end. Refuses (false, log unchanged) a text that is not valid UTF-8 or is
  // longer than kMaxTextBytes: its blob would not open again.
  [[nodiscard]] bool append(Direction direction, std::uint64_t timestamp, std::string_view text);

  const std::vector<LogEntry>& entries() const noexcept { return entries_; }

  // The entries sealed with the all-zero nonce and "vostrel/message-log-at-rest/v1"; the blob is
  // the serialised entries plus 16 bytes. Sealing the same log under the same key gives the same
  // blob.
  //
  // A storage key seals exactly one blob. The identity, the contact book and the message log all
  // seal with the all-zero nonce, and their labels are only associated data, so two blobs under one
  // key (two saves, or two formats) share their keystream and Poly1305 key: whoever holds both
  // learns the XOR of the two plaintexts and can forge blobs that open. A log begins with bytes an
  // outsider can guess (the first entry's direction, timestamp and length, then its text), so a
  // log beside an identity blob under the same key gives away the seed as far as those guesses
  // go. Derive a fresh key for each format and each save, for example HMAC-SHA-256 of a master key
  // over the format's label and a save counter kept beside the blob, never reused.
  [[nodiscard]] Bytes to_encrypted(KeyView storage_key) const;

  // The log sealed by to_encrypted, or nothing when the blob does not authenticate or parse.
  [[nodiscard]] static std::optional<MessageLog> from_encrypted(KeyView storage_key, ByteView blob);

 private:
  std::vector<LogEntry> entries_;
  MoveMark moved_;
};

}  // namespace vostrel::store
