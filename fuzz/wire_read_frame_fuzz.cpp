// read_frame over a stream of fuzzed bytes, frame after frame, against the header's own account
// of where each frame ends; every frame read writes back to the same bytes and reads back again.
#include "fuzz_support.hpp"
#include "vostrel/wire.hpp"

using namespace vostrel;

namespace {

// What read_frame must give for the stream's bytes at `at`: a frame, or the error it must report
// and the bytes the source must have consumed.
void check_next(wire::MemorySource& source, ByteView input, std::size_t& at) {
  const std::size_t before = source.remaining();
  fuzz::require(before == input.size() - at, "the source holds exactly the bytes after a frame");
  const auto frame = wire::read_frame(source);
  const ByteView rest = input.subspan(at);
  if (rest.size() < wire::FRAME_HEADER_LEN) {
    fuzz::require(!frame && frame.error().kind == wire::IoErrorKind::UnexpectedEof,
                  "a short header is UnexpectedEof");
    fuzz::require(source.remaining() == 0, "a short read consumes everything");
    at = input.size();
    return;
  }
  const std::uint32_t length = load_be<std::uint32_t>(rest.data() + 2);
  if (rest[0] != wire::WIRE_VERSION) {
    fuzz::require(!frame && frame.error() == wire::IoError{wire::IoErrorKind::InvalidData,
                                                           "unsupported wire version"},
                  "a wrong version is refused first");
  } else if (length > wire::MAX_FRAME) {
    fuzz::require(!frame && frame.error() == wire::IoError{wire::IoErrorKind::InvalidData,
                                                           "frame exceeds size cap"},
                  "an oversized length is refused");
  } else if (rest.size() - wire::FRAME_HEADER_LEN < length) {
    fuzz::require(!frame && frame.error().kind == wire::IoErrorKind::UnexpectedEof,
                  "a short payload is UnexpectedEof");
    fuzz::require(source.remaining() == 0, "a short payload read consumes everything");
    at = input.size();
    return;
  } else {
    fuzz::require(frame.has_value(), "a complete frame reads");
    fuzz::require(frame->kind == rest[1], "the kind is the header's");
    const ByteView payload = rest.subspan(wire::FRAME_HEADER_LEN, length);
    fuzz::require(std::ranges::equal(frame->payload, payload), "the payload is the next bytes");

    wire::MemorySink sink;
    fuzz::require(wire::write_frame(sink, frame->kind, frame->payload).has_value(),
                  "a frame read back writes");
    fuzz::require(std::ranges::equal(sink.bytes(), rest.first(wire::FRAME_HEADER_LEN + length)),
                  "a frame writes back to the bytes it was read from");
    at += wire::FRAME_HEADER_LEN + length;
    return;
  }
  // Judged by the header alone: the header is consumed and nothing more.
  fuzz::require(source.remaining() == before - wire::FRAME_HEADER_LEN,
                "a refused header consumes just the header");
  at += wire::FRAME_HEADER_LEN;
}

// The whole input as one payload: written when it fits, and then read back whole.
void check_round_trip(ByteView input) {
  const std::uint8_t kind = input.empty() ? 0 : input.back();
  wire::MemorySink sink;
  const auto written = wire::write_frame(sink, kind, input);
  if (input.size() > wire::MAX_FRAME) {
    fuzz::require(!written && written.error() ==
                                  wire::IoError{wire::IoErrorKind::InvalidInput, "frame too large"},
                  "an oversized payload is refused");
    fuzz::require(sink.bytes().empty(), "a refused frame writes nothing");
    return;
  }
  fuzz::require(written.has_value(), "a payload within the cap writes");
  fuzz::require(sink.bytes().size() == wire::FRAME_HEADER_LEN + input.size(),
                "a frame is its header and payload");
  wire::MemorySource source(sink.bytes());
  const auto frame = wire::read_frame(source);
  fuzz::require(frame && frame->kind == kind && std::ranges::equal(frame->payload, input),
                "a written frame reads back");
  fuzz::require(source.remaining() == 0, "a frame read leaves nothing of itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  wire::MemorySource source(input);
  std::size_t at = 0;
  while (at < input.size()) check_next(source, input, at);
  check_next(source, input, at);  // the end of the stream reads as UnexpectedEof
  check_round_trip(input);
  return 0;
}
