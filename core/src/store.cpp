#include "vostrel/store.hpp"

#include <ostream>

#include "vostrel/crypto.hpp"

namespace vostrel::store {
namespace {

bool is_direction(std::uint8_t byte) noexcept {
  return byte == static_cast<std::uint8_t>(Direction::Sent) ||
         byte == static_cast<std::uint8_t>(Direction::Received);
}

std::optional<LogEntry> read_entry(ByteReader& reader) {
  // The whole head first: the three reads below stay within it.
  if (reader.remaining() < kEntryHeadBytes) return std::nullopt;
  const std::uint8_t direction = *reader.u8();
  const std::uint64_t timestamp = *reader.u64();
  const std::uint32_t length = *reader.u32();
  if (!is_direction(direction)) return std::nullopt;
  const auto text = reader.bytes(length);
  if (!text || !is_utf8(*text)) return std::nullopt;
  return LogEntry{std::string(text->begin(), text->end()), timestamp,
                  static_cast<Direction>(direction)};
}

}  // namespace

std::string_view to_string(Direction direction) noexcept {
  switch (direction) {
    case Direction::Sent:
      return "Sent";
    case Direction::Received:
      return "Received";
  }
  return "Direction(?)";
}

std::ostream& operator<<(std::ostream& out, Direction direction) {
  return out << to_string(direction);
}

bool MessageLog::append(Direction direction, std::uint64_t timestamp, std::string_view text) {
  moved_.check("MessageLog");
  if (!is_direction(static_cast<std::uint8_t>(direction))) return false;
  // The length first: an oversized text is refused without being read.
  if (text.size() > kMaxTextBytes || !is_utf8(as_bytes(text))) return false;
  entries_.push_back(LogEntry{std::string(text), timestamp, direction});
  return true;
}

Bytes MessageLog::to_encrypted(KeyView storage_key) const {
  moved_.check("MessageLog");
  std::size_t length = 0;
  for (const LogEntry& entry : entries_) length += kEntryHeadBytes + entry.text.size();
  Bytes plaintext;
  plaintext.reserve(length);
  for (const LogEntry& entry : entries_) {
    plaintext.push_back(static_cast<std::uint8_t>(entry.direction));
    put_be(plaintext, entry.timestamp);
    put_be(plaintext, static_cast<std::uint32_t>(entry.text.size()));
    put_bytes(plaintext, as_bytes(entry.text));
  }
  return crypto::seal(storage_key, crypto::kAtRestNonce, as_bytes(kLogAtRestLabel), plaintext);
}

std::optional<MessageLog> MessageLog::from_encrypted(KeyView storage_key, ByteView blob) {
  const auto plaintext =
      crypto::open(storage_key, crypto::kAtRestNonce, as_bytes(kLogAtRestLabel), blob);
  if (!plaintext) return std::nullopt;
  MessageLog log;
  ByteReader reader(*plaintext);
  while (!reader.at_end()) {
    auto entry = read_entry(reader);
    if (!entry) return std::nullopt;
    log.entries_.push_back(std::move(*entry));
  }
  return log;
}

}  // namespace vostrel::store
