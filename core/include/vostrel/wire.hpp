#pragma once

// Length-prefixed frames on a byte stream: version, kind, 32-bit length, payload.

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <string>
#include <string_view>

#include "vostrel/common.hpp"

namespace vostrel::wire {

inline constexpr std::uint8_t WIRE_VERSION = 1;
inline constexpr std::size_t FRAME_HEADER_LEN = 6;
// The largest payload, inclusive.
inline constexpr std::size_t MAX_FRAME = 65'536;

enum class IoErrorKind : std::uint8_t {
  UnexpectedEof,
  InvalidData,
  InvalidInput,
};

std::string_view to_string(IoErrorKind kind) noexcept;
std::ostream& operator<<(std::ostream& out, IoErrorKind kind);

struct IoError {
  IoErrorKind kind;
  std::string message;

  bool operator==(const IoError&) const = default;
};

std::ostream& operator<<(std::ostream& out, const IoError& error);

// Offers reading exactly n bytes; fails with its own end-of-data error when fewer remain.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  [[nodiscard]] virtual std::expected<void, IoError> read_exact(std::span<std::uint8_t> out) = 0;
  // Gives back the last `count` bytes read, for a frame whose reading stopped part way (a thrown
  // stop, not an error); false where the source cannot, whose stream then lies past them.
  virtual bool unread(std::size_t count) noexcept;
};

// Offers writing all of a byte string.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  [[nodiscard]] virtual std::expected<void, IoError> write_all(ByteView bytes) = 0;
  // Takes back the last `count` bytes written, for a frame whose writing stopped part way (a thrown
  // stop, not an error); false where the sink cannot, whose stream then holds them.
  virtual bool unwrite(std::size_t count) noexcept;
};

// Reads consume from the front of an owned byte string. A short read consumes everything and
// fails with UnexpectedEof "failed to fill whole buffer".
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(Bytes bytes) noexcept : bytes_(std::move(bytes)) {}
  explicit MemorySource(ByteView bytes) : bytes_(bytes.begin(), bytes.end()) {}

  [[nodiscard]] std::expected<void, IoError> read_exact(std::span<std::uint8_t> out) override;
  bool unread(std::size_t count) noexcept override;
  std::size_t remaining() const noexcept { return bytes_.size() - position_; }

 private:
  Bytes bytes_;
  std::size_t position_ = 0;
};

// A growable in-memory buffer; writing never fails.
class MemorySink final : public ByteSink {
 public:
  [[nodiscard]] std::expected<void, IoError> write_all(ByteView bytes) override;
  bool unwrite(std::size_t count) noexcept override;
  const Bytes& bytes() const noexcept { return bytes_; }

 private:
  Bytes bytes_;
};

struct Frame {
  std::uint8_t kind = 0;
  Bytes payload;

  bool operator==(const Frame&) const = default;
};

// Writes the 6-byte header and then the payload; a payload above MAX_FRAME is refused with
// InvalidInput "frame too large" and nothing is written. A stop while the payload is written takes
// the header back where the sink can.
[[nodiscard]] std::expected<void, IoError> write_frame(ByteSink& sink, std::uint8_t kind,
                                                       ByteView payload);

// Reads one frame, judging the header before any payload buffer exists. The source is left at
// the first byte after the frame. A stop after the header was read (no memory for the payload or
// an error's text) gives the header back where the source can.
[[nodiscard]] std::expected<Frame, IoError> read_frame(ByteSource& source);

}  // namespace vostrel::wire
