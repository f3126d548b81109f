// Seeds of the live-session targets: frames, handshake messages and ratchet messages made by the
// project's own code.
#include "corpus.hpp"
#include "fuzz_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/handshake.hpp"
#include "vostrel/ratchet.hpp"
#include "vostrel/wire.hpp"

namespace vostrel::fuzz {
namespace {

Bytes framed(std::initializer_list<std::pair<std::uint8_t, Bytes>> frames) {
  wire::MemorySink sink;
  for (const auto& [kind, payload] : frames) {
    if (!wire::write_frame(sink, kind, payload)) throw Panic("seed frame refused");
  }
  return sink.bytes();
}

Seeds wire_seeds() {
  const Bytes hello = [] {
    const auto [state, message] = handshake::responder_start();
    const auto bytes = message.to_bytes();
    return Bytes(bytes.begin(), bytes.end());
  }();
  const Bytes sealed = crypto::seal(fixed_key(), crypto::Nonce12{}, as_bytes("vostrel/demo"),
                                    as_bytes("hello over the wire"));
  Seeds seeds = {
      framed({{3, sealed}}),
      framed({{0, {}}}),
      framed({{1, hello}, {3, sealed}, {255, {}}}),
      framed({{7, Bytes(wire::MAX_FRAME, 0x5A)}}),
      {0x01, 0x03, 0x00, 0x01, 0x00, 0x01},        // one past the cap
      {0x09, 0x03, 0x00, 0x00, 0x00, 0x00},        // unknown version
      {0x01, 0x03, 0x00, 0x00, 0x00, 0x10, 0xAA},  // short payload
      {0x01, 0x03, 0x00},                          // short header
  };
  return seeds;
}

// One real authenticated exchange's messages in their byte forms, whole, cut short and longer.
struct Messages {
  Bytes hello, reply, auth_reply, confirm;
};

Messages exchange_messages() {
  const identity::Identity initiator = identity::Identity::generate();
  const identity::Identity responder = identity::Identity::generate();
  auto [state, hello] = handshake::responder_start();
  const handshake::InitiatorAuth auth = handshake::initiator_reply_auth(hello, initiator);
  const auto finished = handshake::responder_finish_auth(std::move(state), auth.areply, responder);
  if (!finished) throw Panic("seed exchange failed");
  const auto bytes = [](const auto& array) { return Bytes(array.begin(), array.end()); };
  return {bytes(hello.to_bytes()), bytes(auth.areply.reply.to_bytes()),
          bytes(auth.areply.to_bytes()), bytes(finished->confirm.to_bytes())};
}

const Messages& messages() {
  static const Messages made = exchange_messages();
  return made;
}

Seeds parser_seeds(const Bytes& whole) {
  Bytes longer = whole;
  longer.push_back(0);
  return {whole, Bytes(whole.begin(), whole.end() - 1), longer, {}};
}

// The targets XOR their input over their own message: no input is that message unchanged, and a
// few single bits are flipped in each field.
Seeds xor_seeds(std::size_t size, std::initializer_list<std::size_t> flips) {
  Seeds seeds = {{}, Bytes(size, 0)};
  for (const std::size_t at : flips) {
    Bytes mask(at + 1, 0);
    mask[at] = 1;
    seeds.push_back(std::move(mask));
  }
  Bytes longer(size + 1, 0);
  seeds.push_back(std::move(longer));
  return seeds;
}

// The target picks its template by the first byte; also real messages of another conversation
// as raw headers and ciphertexts.
Seeds ratchet_seeds() {
  Seeds seeds;
  for (std::uint8_t pick = 0; pick < 11; ++pick) {
    seeds.push_back({pick});
    seeds.push_back({static_cast<std::uint8_t>(0x40 | pick)});
  }
  // Template 1 is the next message of the chain (index 1), template 3 the first after the peer's
  // DH step (previous chain length 3).
  Bytes later(1 + ratchet::kHeaderBytes, 0);
  later[0] = 1;
  later[ratchet::kHeaderBytes] = 1;  // index 0: opened already
  seeds.push_back(later);
  later[ratchet::kHeaderBytes - 3] = later[ratchet::kHeaderBytes - 2] = 0xFF;
  later[ratchet::kHeaderBytes - 1] = 0xFF;
  later[ratchet::kHeaderBytes] = 0xFE;  // index 2^32 - 1
  seeds.push_back(later);
  Bytes long_gap(1 + ratchet::kHeaderBytes - 4, 0);
  long_gap[0] = 3;
  long_gap[ratchet::kHeaderBytes - 5] = 0x02;  // previous chain length 515
  seeds.push_back(std::move(long_gap));

  Key32 root{};
  root.fill(0x24);
  const Secret32 secret = random_secret32();
  ratchet::Ratchet sender =
      ratchet::Ratchet::init_sender(root, crypto::x25519_public(secret.view()));
  for (const std::string_view text : {"", "raw message", "another raw message"}) {
    const ratchet::RatchetMessage message =
        sender.encrypt(as_bytes(text), as_bytes("fuzz/ratchet"));
    Bytes seed = {0x80};
    put_bytes(seed, message.header.dh_public);
    put_be(seed, message.header.previous_chain_length);
    put_be(seed, message.header.message_index);
    put_bytes(seed, message.ciphertext);
    seeds.push_back(std::move(seed));
  }
  return seeds;
}

const SeedRegistration wire_registration{"wire_read_frame", wire_seeds};
const SeedRegistration hello_registration{"handshake_hello_from_bytes",
                                          [] { return parser_seeds(messages().hello); }};
const SeedRegistration reply_registration{"handshake_reply_from_bytes",
                                          [] { return parser_seeds(messages().reply); }};
const SeedRegistration auth_reply_registration{"handshake_auth_reply_from_bytes",
                                               [] { return parser_seeds(messages().auth_reply); }};
const SeedRegistration confirm_registration{"handshake_confirm_from_bytes",
                                            [] { return parser_seeds(messages().confirm); }};
// Signature, ciphertext, X25519 key and identity of the AuthReply.
const SeedRegistration finish_registration{
    "handshake_responder_finish_auth", [] {
      return xor_seeds(handshake::kAuthReplyBytes, {0, 63, 64, 1151, 1152, 1183, 1184, 1215});
    }};
// Signature and identity of the Confirm.
const SeedRegistration confirm_verify_registration{
    "handshake_initiator_verify_confirm", [] {
      return xor_seeds(handshake::kConfirmBytes, {0, 32, 63, 64, 95});
    }};
const SeedRegistration ratchet_registration{"ratchet_decrypt", ratchet_seeds};

}  // namespace
}  // namespace vostrel::fuzz
