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
// opens again.
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
  // Every save under one key uses that same nonce, so two saves of different contents under one key
  // share their keystream and Poly1305 key: whoever holds both blobs learns the XOR of the two
  // contents and can forge blobs. A caller that saves changing contents uses a fresh storage key
  // for each save, for example one derived from a master key and a save counter kept beside the
  // blob.
  Bytes to_encrypted(KeyView storage_key) const;

  // The log sealed by to_encrypted, or nothing when the blob does not authenticate or parse.
  static std::optional<MessageLog> from_encrypted(KeyView storage_key, ByteView blob);

 private:
  std::vector<LogEntry> entries_;
};

}  // namespace vostrel::store
