// decrypt of fuzzed messages on the live ratchet of a real conversation, copied per input. The
// first input byte picks one of the peer's real messages (bit 7 clear) and the rest is XORed over
// its header and ciphertext, or (bit 7 set) the rest is a header and ciphertext of its own; bit 6
// changes the associated data. A message opens exactly when it is one the ratchet has not opened
// yet and within its skip bound, and a refused one leaves the ratchet exactly as it was.
#include <string>

#include "fuzz_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/internal/state_copy.hpp"
#include "vostrel/ratchet.hpp"

using namespace vostrel;
using namespace vostrel::ratchet;

namespace {

constexpr std::string_view kAd = "fuzz/ratchet";

struct Template {
  RatchetMessage message;
  Bytes plaintext;
  bool opens = false;
};

bool same_state(const Ratchet& a, const Ratchet& b) {
  return a.dh_secret.bytes() == b.dh_secret.bytes() && a.dh_public == b.dh_public &&
         a.root_key == b.root_key && a.send_chain == b.send_chain && a.recv_chain == b.recv_chain &&
         a.remote_dh == b.remote_dh && a.send_count == b.send_count &&
         a.recv_count == b.recv_count && a.previous_send_count == b.previous_send_count &&
         a.skipped == b.skipped;
}

// Alice's ratchet after a conversation with Bob that left one kept key, a receiving chain part
// way through, and Bob's messages that she has not seen yet: late, next, ahead, after his next DH
// step, at the skip bound and past it, and some she has opened already.
struct Conversation {
  Ratchet alice;
  std::vector<Template> templates;

  Conversation() {
    Key32 root{};
    root.fill(0x42);
    const Secret32 alice_secret = random_secret32();
    Ratchet bob = Ratchet::init_sender(root, crypto::x25519_public(alice_secret.view()));
    alice = Ratchet::init_receiver(root, alice_secret.view());

    int counter = 0;
    const auto send = [&](Ratchet& from) {
      const std::string text = "message " + std::to_string(counter++);
      return Template{from.encrypt(as_bytes(text), as_bytes(kAd)), Bytes(text.begin(), text.end()),
                      true};
    };
    const auto receive = [&](Ratchet& to, const Template& t) {
      if (decrypt(to, t.message, as_bytes(kAd)) != t.plaintext) {
        throw Panic("the fixture conversation failed");
      }
    };
    const Template m0 = send(bob), m1 = send(bob), m2 = send(bob);
    receive(alice, m0);
    receive(alice, m2);
    const Template a0 = send(alice);
    receive(bob, a0);
    const Template n0 = send(bob), n1 = send(bob), n2 = send(bob);
    receive(alice, n0);
    receive(bob, send(alice));
    std::vector<Template> p;
    for (std::uint32_t i = 0; i <= RATCHET_MAX_SKIP + 1; ++i) p.push_back(send(bob));

    templates = {m1, n1, n2, p[0], p[1], p[RATCHET_MAX_SKIP], p[RATCHET_MAX_SKIP + 1],
                 m0, m2, n0, a0};
    templates[6].opens = false;  // past the skip bound
    for (std::size_t i = 7; i < templates.size(); ++i) templates[i].opens = false;  // seen
  }
};

const Conversation& conversation() {
  static const Conversation fixture;
  return fixture;
}

Bytes serialize(const RatchetMessage& message) {
  Bytes out(message.header.dh_public.begin(), message.header.dh_public.end());
  put_be(out, message.header.previous_chain_length);
  put_be(out, message.header.message_index);
  out.insert(out.end(), message.ciphertext.begin(), message.ciphertext.end());
  return out;
}

std::optional<RatchetMessage> deserialize(ByteView bytes) {
  ByteReader reader(bytes);
  RatchetMessage message;
  const auto dh_public = reader.array<32>();
  const auto previous = reader.u32();
  const auto index = reader.u32();
  if (!dh_public || !previous || !index) return std::nullopt;
  message.header = {*dh_public, *previous, *index};
  message.ciphertext.assign(bytes.begin() + kHeaderBytes, bytes.end());
  return message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Conversation& conv = conversation();
  const ByteView input(data, size);
  const std::uint8_t control = input.empty() ? 0 : input[0];
  const ByteView rest = input.empty() ? input : input.subspan(1);

  Bytes bytes;
  if (control & 0x80) {
    bytes.assign(rest.begin(), rest.end());
  } else {
    bytes =
        fuzz::overlay(serialize(conv.templates[(control & 0x3F) % conv.templates.size()].message),
                      rest.data(), rest.size());
  }
  const auto message = deserialize(bytes);
  if (!message) return 0;
  Bytes ad(kAd.begin(), kAd.end());
  if (control & 0x40) ad.push_back(control);

  const Template* known = nullptr;
  for (const Template& t : conv.templates) {
    if (t.message == *message) known = &t;
  }
  const bool should_open = known && known->opens && !(control & 0x40);

  Ratchet ratchet = internal::clone(conv.alice);
  const auto opened = decrypt(ratchet, *message, ad);
  fuzz::require(opened.has_value() == should_open,
                "opens exactly the peer's unseen messages within the skip bound");
  if (!opened) {
    fuzz::require(same_state(ratchet, conv.alice),
                  "a refused message leaves the ratchet unchanged");
    return 0;
  }
  fuzz::require(*opened == known->plaintext, "a message opens to its plaintext");
  const Ratchet after = internal::clone(ratchet);
  fuzz::require(!decrypt(ratchet, *message, ad), "a message opens once");
  fuzz::require(same_state(ratchet, after), "a second delivery leaves the ratchet unchanged");
  return 0;
}
