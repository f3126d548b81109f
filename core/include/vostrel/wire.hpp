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

// A caller's source or sink completes a call, returns an error or throws (a stop, such as a failed
// allocation). What an error leaves in the stream is its own affair; what a stop leaves follows
// the rules below, so that a frame cut by a stop can be given back whole.

// Offers reading exactly n bytes; fails with its own end-of-data error when fewer remain.
// A read_exact that throws first gives back the bytes it took before the stop, all of them where
// its unread could give back that many, and otherwise none. A source may give back any count, only
// counts within a window of its last bytes, or none: its unread answers for each count.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  [[nodiscard]] virtual std::expected<void, IoError> read_exact(std::span<std::uint8_t> out) = 0;
  // Gives back the last `count` bytes taken by read_exact calls that returned, all or none, so
  // that the next read takes them again; false, with nothing changed, where the source cannot.
  // read_frame calls it only after a stop, for a header it read.
  virtual bool unread(std::size_t count) noexcept;
};

// Offers writing all of a byte string.
// A write_all that throws first takes back the bytes it took before the stop, all of them where
// its unwrite could take back that many, and otherwise none. A sink may take back any count, only
// counts within a window of its last bytes, or none: its unwrite answers for each count.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  [[nodiscard]] virtual std::expected<void, IoError> write_all(ByteView bytes) = 0;
  // Takes back the last `count` bytes put by write_all calls that returned, all or none; false,
  // with nothing changed, where the sink cannot. write_frame calls it only after a stop, for a
  // header it wrote.
  virtual bool unwrite(std::size_t count) noexcept;
};

// Reads consume from the front of an owned byte string. A short read consumes everything and
// fails with UnexpectedEof "failed to fill whole buffer"; a stopped one consumes nothing.
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

// A growable in-memory buffer; writing never fails, and a stopped write adds nothing.
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
// InvalidInput "frame too large" and nothing is written. A stop in the payload's write_all is
// answered by an unwrite of the 6-byte header. Where it answers true, and the stopped write_all
// held nothing more, the sink is as it was before the frame. Where it answers false, the sink keeps
// the header and whatever the stopped write_all held: part of a frame, which no later frame can
// follow. A stop in the header's own write_all leaves the sink as that write_all left it.
[[nodiscard]] std::expected<void, IoError> write_frame(ByteSink& sink, std::uint8_t kind,
                                                       ByteView payload);

// Reads one frame, judging the header before any payload buffer exists. The source is left at
// the first byte after the frame. A stop after the header was read (the source's, or no memory
// for the payload or an error's text) is answered by an unread of the 6-byte header. Where it
// answers true, and the stopped read_exact, if any, took nothing more, the source is at the
// frame's start again. Where it answers false, the source is past the header and whatever the
// stopped read_exact left taken: in the middle of the frame. A stop in the header's own read_exact
// leaves the source as that read_exact left it.
[[nodiscard]] std::expected<Frame, IoError> read_frame(ByteSource& source);

}  // namespace vostrel::wire
