#include "vostrel/wire.hpp"

#include <gtest/gtest.h>

#include <new>
#include <optional>

#include "test_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/handshake.hpp"
#include "vostrel/identity.hpp"

using namespace vostrel;
using namespace vostrel::wire;
using vostrel::test::bytes_of;
using vostrel::test::hex;
using vostrel::test::XorShift;

namespace {

constexpr crypto::Nonce12 kZeroNonce{};

Bytes framed(std::uint8_t kind, ByteView payload) {
  MemorySink sink;
  const auto written = write_frame(sink, kind, payload);
  if (!written) throw Panic("write_frame failed in a fixture");
  return sink.bytes();
}

void expect_error(const std::expected<Frame, IoError>& result, IoErrorKind kind,
                  std::string_view message) {
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, kind);
  EXPECT_EQ(result.error().message, message);
}

// Valid byte forms of the four handshake messages, from one authenticated exchange.
struct HandshakeBytes {
  Bytes hello;
  Bytes reply;
  Bytes auth_reply;
  Bytes confirm;
};

HandshakeBytes handshake_bytes() {
  const identity::Identity initiator = identity::Identity::generate();
  const identity::Identity responder = identity::Identity::generate();
  auto [state, hello] = handshake::responder_start();
  const auto initiator_side = handshake::initiator_reply_auth(hello, initiator);
  const auto responder_side =
      handshake::responder_finish_auth(std::move(state), initiator_side.areply, responder);
  if (!responder_side) throw Panic("authenticated handshake failed in a fixture");
  const auto to_vector = [](const auto& array) { return Bytes(array.begin(), array.end()); };
  return {to_vector(hello.to_bytes()), to_vector(initiator_side.areply.reply.to_bytes()),
          to_vector(initiator_side.areply.to_bytes()),
          to_vector(responder_side->confirm.to_bytes())};
}

// Every decoder on one input: none may stop, each answers present or absent.
void decode_everything(ByteView input) {
  MemorySource source(input);
  (void)read_frame(source);
  (void)handshake::Hello::from_bytes(input);
  (void)handshake::Reply::from_bytes(input);
  (void)handshake::AuthReply::from_bytes(input);
  (void)handshake::Confirm::from_bytes(input);
}

// A caller's source over a byte string that takes one byte at a time and stops (throws
// std::bad_alloc) on reaching the position `cut`, as one whose buffering runs out of memory part
// way through a call would. This one cannot give back, so it keeps what a stopped call took.
class CutSource : public ByteSource {
 public:
  explicit CutSource(Bytes bytes) : bytes_(std::move(bytes)) {}

  [[nodiscard]] std::expected<void, IoError> read_exact(std::span<std::uint8_t> out) override {
    if (out.size() > bytes_.size() - position_) {
      position_ = bytes_.size();
      return std::unexpected(IoError{IoErrorKind::UnexpectedEof, "failed to fill whole buffer"});
    }
    std::size_t taken = 0;
    for (std::uint8_t& byte : out) {
      if (cut_ && position_ == *cut_) {
        static_cast<void>(unread(taken));
        throw std::bad_alloc();
      }
      byte = bytes_[position_++];
      ++taken;
    }
    return {};
  }

  void cut_at(std::optional<std::size_t> position) noexcept { cut_ = position; }
  std::size_t position() const noexcept { return position_; }

 protected:
  std::size_t position_ = 0;

 private:
  Bytes bytes_;
  std::optional<std::size_t> cut_;
};

// The same source, able to give back: a stopped call returns what it took before it throws.
class GivingBackSource final : public CutSource {
 public:
  using CutSource::CutSource;
  bool unread(std::size_t count) noexcept override {
    if (count > position_) return false;
    position_ -= count;
    return true;
  }
};

// A caller's sink that puts one byte at a time and stops on reaching `cut` bytes held. This one
// cannot give back, so it keeps what a stopped call put.
class CutSink : public ByteSink {
 public:
  [[nodiscard]] std::expected<void, IoError> write_all(ByteView bytes) override {
    std::size_t put = 0;
    for (const std::uint8_t byte : bytes) {
      if (cut_ && bytes_.size() == *cut_) {
        static_cast<void>(unwrite(put));
        throw std::bad_alloc();
      }
      bytes_.push_back(byte);
      ++put;
    }
    return {};
  }

  void cut_at(std::optional<std::size_t> size) noexcept { cut_ = size; }
  const Bytes& bytes() const noexcept { return bytes_; }

 protected:
  Bytes bytes_;

 private:
  std::optional<std::size_t> cut_;
};

class GivingBackSink final : public CutSink {
 public:
  bool unwrite(std::size_t count) noexcept override {
    if (count > bytes_.size()) return false;
    bytes_.resize(bytes_.size() - count);
    return true;
  }
};

// Where a stop cuts the second frame of a stream, from that frame's start. The frame read or
// written before it lets a give-back that reaches too far show.
constexpr std::size_t kBodyLen = 20;
struct Cut {
  const char* where;
  std::size_t at;
};
constexpr Cut kCuts[] = {
    {"before the header", 0},
    {"inside the header", 3},
    {"at the header's end", FRAME_HEADER_LEN},
    {"inside the body", 10},
    {"before the body's last byte", FRAME_HEADER_LEN + kBodyLen - 1},
};

}  // namespace

// --- self-checks ---

TEST(wire, full_handshake_survives_serialization_then_carries_a_framed_message) {
  auto [state, hello] = handshake::responder_start();
  const auto received_hello = handshake::Hello::from_bytes(hello.to_bytes());
  ASSERT_TRUE(received_hello.has_value());
  auto [reply, initiator_key] = handshake::initiator_reply(*received_hello);
  const auto received_reply = handshake::Reply::from_bytes(reply.to_bytes());
  ASSERT_TRUE(received_reply.has_value());
  const Secret32 responder_key = handshake::responder_finish(std::move(state), *received_reply);
  ASSERT_EQ(initiator_key.bytes(), responder_key.bytes());

  const Bytes text = bytes_of("hello over the wire");
  ASSERT_EQ(text.size(), 19u);
  const Bytes sealed =
      crypto::seal(initiator_key.view(), kZeroNonce, as_bytes("vostrel/demo"), text);
  MemorySink sink;
  ASSERT_TRUE(write_frame(sink, 3, sealed).has_value());
  MemorySource source(sink.bytes());
  const auto frame = read_frame(source);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->kind, 3);
  const auto opened =
      crypto::open(responder_key.view(), kZeroNonce, as_bytes("vostrel/demo"), frame->payload);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(*opened, text);
}

TEST(wire, read_frame_rejects_oversized_and_bad_version) {
  MemorySource oversized(hex("010300010001"));
  MemorySource bad_version(hex("090300000000"));
  expect_error(read_frame(oversized), IoErrorKind::InvalidData, "frame exceeds size cap");
  expect_error(read_frame(bad_version), IoErrorKind::InvalidData, "unsupported wire version");
}

TEST(wire, parsers_never_panic_on_arbitrary_bytes) {
  XorShift rng(0x9E3779B97F4A7C15ULL);
  for (std::size_t i = 0; i < 5000; ++i) {
    std::size_t length = 0;
    switch (i % 7) {
      case 0:
        length = static_cast<std::size_t>(rng.next() % 1300);
        break;
      case 1:
        length = 32;
        break;
      case 2:
        length = 1120;
        break;
      case 3:
        length = 1216;
        break;
      case 4:
        length = 96;
        break;
      case 5:
        length = 6;
        break;
      default:
        length = static_cast<std::size_t>(rng.next() % 70000);
        break;
    }
    const Bytes input = rng.bytes(length);
    decode_everything(input);
  }
}

TEST(wire, decoders_reject_truncated_input) {
  const HandshakeBytes valid = handshake_bytes();
  ASSERT_TRUE(handshake::Hello::from_bytes(valid.hello));
  ASSERT_TRUE(handshake::Reply::from_bytes(valid.reply));
  ASSERT_TRUE(handshake::AuthReply::from_bytes(valid.auth_reply));
  ASSERT_TRUE(handshake::Confirm::from_bytes(valid.confirm));
  for (std::size_t n = 0; n < valid.hello.size(); ++n) {
    ASSERT_FALSE(handshake::Hello::from_bytes(ByteView(valid.hello).first(n))) << n;
  }
  for (std::size_t n = 0; n < valid.reply.size(); ++n) {
    ASSERT_FALSE(handshake::Reply::from_bytes(ByteView(valid.reply).first(n))) << n;
  }
  for (std::size_t n = 0; n < valid.auth_reply.size(); ++n) {
    ASSERT_FALSE(handshake::AuthReply::from_bytes(ByteView(valid.auth_reply).first(n))) << n;
  }
  for (std::size_t n = 0; n < valid.confirm.size(); ++n) {
    ASSERT_FALSE(handshake::Confirm::from_bytes(ByteView(valid.confirm).first(n))) << n;
  }

  const Bytes frame = framed(3, valid.confirm);
  for (std::size_t n = 0; n < frame.size(); ++n) {
    MemorySource source(ByteView(frame).first(n));
    expect_error(read_frame(source), IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
    EXPECT_EQ(source.remaining(), 0u) << n;
  }
}

// --- edge cases ---

TEST(wire, empty_and_largest_payloads_round_trip) {
  for (const std::size_t size : {std::size_t{0}, MAX_FRAME}) {
    const Bytes payload = XorShift(7).bytes(size);
    const Bytes bytes = framed(9, payload);
    ASSERT_EQ(bytes.size(), FRAME_HEADER_LEN + size);
    MemorySource source(bytes);
    const auto frame = read_frame(source);
    ASSERT_TRUE(frame.has_value()) << size;
    EXPECT_EQ(*frame, (Frame{9, payload}));
    EXPECT_EQ(source.remaining(), 0u);
  }
}

TEST(wire, oversized_frames_are_refused_on_both_sides) {
  const Bytes payload(MAX_FRAME + 1, 0xAB);
  MemorySink sink;
  const auto written = write_frame(sink, 3, payload);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error(), (IoError{IoErrorKind::InvalidInput, "frame too large"}));
  EXPECT_TRUE(sink.bytes().empty());

  Bytes announced = hex("010300010001");
  put_bytes(announced, payload);
  MemorySource source(announced);
  expect_error(read_frame(source), IoErrorKind::InvalidData, "frame exceeds size cap");
  EXPECT_EQ(source.remaining(), payload.size());
}

TEST(wire, wrong_version_is_reported_before_the_length) {
  for (const char* header : {"020300000000", "090300000004", "000100000000", "ff0300010001"}) {
    Bytes bytes = hex(header);
    put_bytes(bytes, hex("00112233"));
    MemorySource source(bytes);
    expect_error(read_frame(source), IoErrorKind::InvalidData, "unsupported wire version");
    EXPECT_EQ(source.remaining(), 4u) << header;
  }
}

TEST(wire, every_kind_value_round_trips) {
  for (unsigned kind = 0; kind <= 255; ++kind) {
    const auto k = static_cast<std::uint8_t>(kind);
    const Bytes bytes = framed(k, as_bytes("x"));
    ASSERT_EQ(bytes, (Bytes{0x01, k, 0x00, 0x00, 0x00, 0x01, 'x'}));
    MemorySource source(bytes);
    const auto frame = read_frame(source);
    ASSERT_TRUE(frame.has_value());
    ASSERT_EQ(frame->kind, k);
  }
}

TEST(wire, frames_follow_one_another_on_a_stream) {
  MemorySink sink;
  ASSERT_TRUE(write_frame(sink, 1, as_bytes("first")));
  ASSERT_TRUE(write_frame(sink, 2, {}));
  ASSERT_TRUE(write_frame(sink, 3, as_bytes("third")));
  MemorySource source(sink.bytes());
  EXPECT_EQ(read_frame(source), (Frame{1, bytes_of("first")}));
  EXPECT_EQ(read_frame(source), (Frame{2, {}}));
  EXPECT_EQ(read_frame(source), (Frame{3, bytes_of("third")}));
  expect_error(read_frame(source), IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
}

TEST(wire, error_kinds_have_their_names) {
  EXPECT_EQ(to_string(IoErrorKind::UnexpectedEof), "UnexpectedEof");
  EXPECT_EQ(to_string(IoErrorKind::InvalidData), "InvalidData");
  EXPECT_EQ(to_string(IoErrorKind::InvalidInput), "InvalidInput");
}

// --- stops from a caller's source or sink ---

TEST(wire, a_stopped_read_leaves_a_giving_back_source_at_the_frame_start) {
  const Bytes first = framed(1, as_bytes("first"));
  const Bytes body = XorShift(11).bytes(kBodyLen);
  Bytes stream = first;
  put_bytes(stream, framed(3, body));
  put_bytes(stream, framed(4, as_bytes("next")));
  const std::size_t start = first.size();
  const std::size_t end = start + FRAME_HEADER_LEN + kBodyLen;

  for (const Cut& cut : kCuts) {
    SCOPED_TRACE(cut.where);
    GivingBackSource source(stream);
    ASSERT_EQ(read_frame(source), (Frame{1, bytes_of("first")}));
    source.cut_at(start + cut.at);
    EXPECT_THROW(static_cast<void>(read_frame(source)), std::bad_alloc);
    EXPECT_EQ(source.position(), start) << "a stopped read left the source off the frame's start";

    source.cut_at(std::nullopt);
    EXPECT_EQ(read_frame(source), (Frame{3, body})) << "the retry read another frame";
    EXPECT_EQ(source.position(), end) << "the retry left the source off the frame's end";
    EXPECT_EQ(read_frame(source), (Frame{4, bytes_of("next")}))
        << "the frame after the retried one";
  }
}

TEST(wire, a_stopped_read_leaves_a_source_without_give_back_where_the_stop_found_it) {
  const Bytes first = framed(1, as_bytes("first"));
  Bytes stream = first;
  put_bytes(stream, framed(3, XorShift(11).bytes(kBodyLen)));
  const std::size_t start = first.size();

  for (const Cut& cut : kCuts) {
    SCOPED_TRACE(cut.where);
    CutSource source(stream);
    ASSERT_EQ(read_frame(source), (Frame{1, bytes_of("first")}));
    source.cut_at(start + cut.at);
    EXPECT_THROW(static_cast<void>(read_frame(source)), std::bad_alloc);
    EXPECT_EQ(source.position(), start + cut.at) << "the source is not where the stop found it";
  }
}

TEST(wire, a_stopped_write_leaves_a_giving_back_sink_at_the_frame_start) {
  const Bytes first = framed(1, as_bytes("first"));
  const Bytes body = XorShift(11).bytes(kBodyLen);
  Bytes whole = first;
  put_bytes(whole, framed(3, body));

  for (const Cut& cut : kCuts) {
    SCOPED_TRACE(cut.where);
    GivingBackSink sink;
    ASSERT_TRUE(write_frame(sink, 1, as_bytes("first")));
    sink.cut_at(first.size() + cut.at);
    EXPECT_THROW(static_cast<void>(write_frame(sink, 3, body)), std::bad_alloc);
    EXPECT_EQ(sink.bytes(), first) << "a stopped write left part of a frame";

    sink.cut_at(std::nullopt);
    ASSERT_TRUE(write_frame(sink, 3, body));
    EXPECT_EQ(sink.bytes(), whole) << "the retry wrote another stream";
  }
}

TEST(wire, a_stopped_write_leaves_a_sink_without_give_back_holding_what_it_took) {
  const Bytes first = framed(1, as_bytes("first"));
  const Bytes body = XorShift(11).bytes(kBodyLen);
  Bytes whole = first;
  put_bytes(whole, framed(3, body));

  for (const Cut& cut : kCuts) {
    SCOPED_TRACE(cut.where);
    CutSink sink;
    ASSERT_TRUE(write_frame(sink, 1, as_bytes("first")));
    sink.cut_at(first.size() + cut.at);
    EXPECT_THROW(static_cast<void>(write_frame(sink, 3, body)), std::bad_alloc);
    EXPECT_EQ(
        sink.bytes(),
        Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(first.size() + cut.at)))
        << "the sink does not hold what it took before the stop";
  }
}
