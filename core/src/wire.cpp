#include "vostrel/wire.hpp"

#include <ostream>

namespace vostrel::wire {
namespace {

IoError unexpected_eof() {
  return {IoErrorKind::UnexpectedEof, "failed to fill whole buffer"};
}

// The frame that a whole header announces; the payload is read from `source`.
std::expected<Frame, IoError> frame_after(const ByteArray<FRAME_HEADER_LEN>& header,
                                          ByteSource& source) {
  // The header is whole: every read stays within it.
  ByteReader reader(header);
  if (*reader.u8() != WIRE_VERSION) {
    return std::unexpected(IoError{IoErrorKind::InvalidData, "unsupported wire version"});
  }
  const std::uint8_t kind = *reader.u8();
  const std::uint32_t length = *reader.u32();
  if (length > MAX_FRAME) {
    return std::unexpected(IoError{IoErrorKind::InvalidData, "frame exceeds size cap"});
  }
  Frame frame{kind, Bytes(length)};
  if (length != 0) {
    if (auto got = source.read_exact(frame.payload); !got) {
      return std::unexpected(std::move(got.error()));
    }
  }
  return frame;
}

}  // namespace

std::string_view to_string(IoErrorKind kind) noexcept {
  switch (kind) {
    case IoErrorKind::UnexpectedEof:
      return "UnexpectedEof";
    case IoErrorKind::InvalidData:
      return "InvalidData";
    case IoErrorKind::InvalidInput:
      return "InvalidInput";
  }
  return "unknown";
}

std::ostream& operator<<(std::ostream& out, IoErrorKind kind) {
  return out << to_string(kind);
}

std::ostream& operator<<(std::ostream& out, const IoError& error) {
  return out << error.kind << ": " << error.message;
}

bool ByteSource::unread(std::size_t) noexcept {
  return false;
}

bool ByteSink::unwrite(std::size_t) noexcept {
  return false;
}

std::expected<void, IoError> MemorySource::read_exact(std::span<std::uint8_t> out) {
  if (out.size() > remaining()) {
    // The error's text first: a stop for want of it consumes nothing.
    IoError error = unexpected_eof();
    position_ = bytes_.size();
    return std::unexpected(std::move(error));
  }
  const auto start = bytes_.begin() + static_cast<std::ptrdiff_t>(position_);
  std::copy(start, start + static_cast<std::ptrdiff_t>(out.size()), out.begin());
  position_ += out.size();
  return {};
}

bool MemorySource::unread(std::size_t count) noexcept {
  if (count > position_) return false;
  position_ -= count;
  return true;
}

std::expected<void, IoError> MemorySink::write_all(ByteView bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return {};
}

bool MemorySink::unwrite(std::size_t count) noexcept {
  if (count > bytes_.size()) return false;
  bytes_.resize(bytes_.size() - count);
  return true;
}

std::expected<void, IoError> write_frame(ByteSink& sink, std::uint8_t kind, ByteView payload) {
  if (payload.size() > MAX_FRAME) {
    return std::unexpected(IoError{IoErrorKind::InvalidInput, "frame too large"});
  }
  const ByteArray<FRAME_HEADER_LEN> header = concat(
      be_bytes(WIRE_VERSION), be_bytes(kind), be_bytes(static_cast<std::uint32_t>(payload.size())));
  // A stopped write_all put nothing, so a stop is only ever answered by taking back the header.
  if (auto written = sink.write_all(header); !written) return written;
  if (payload.empty()) return {};
  try {
    return sink.write_all(payload);
  } catch (...) {
    static_cast<void>(sink.unwrite(FRAME_HEADER_LEN));
    throw;
  }
}

std::expected<Frame, IoError> read_frame(ByteSource& source) {
  ByteArray<FRAME_HEADER_LEN> header{};
  // A stopped read_exact took nothing, so a stop is only ever answered by giving back the header.
  if (auto got = source.read_exact(header); !got) return std::unexpected(std::move(got.error()));
  try {
    return frame_after(header, source);
  } catch (...) {
    static_cast<void>(source.unread(FRAME_HEADER_LEN));
    throw;
  }
}

}  // namespace vostrel::wire
