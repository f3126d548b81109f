// Allocation failures in the cryptographic core: the digests, MACs, HKDF and the AEAD, from the
// library's first use on.
#include <gtest/gtest.h>

#include "fault_sweep.hpp"
#include "test_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/internal/crypto_heap.hpp"

using namespace vostrel;
using fault::FaultRun;
using fault::require;
using fault::Scenario;
using fault::sweep_all;
using test::hex;
using test::hex_array;

namespace {

// Known answers, so that even the library's first use is judged against something outside it.
const Key32 kAbcDigest =
    hex_array<32>("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
const Bytes kJefe = test::bytes_of("Jefe");
const Bytes kJefeData = test::bytes_of("what do ya want for nothing?");
const Key32 kJefeMac =
    hex_array<32>("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
const Bytes kLongKey(131, 0xaa);
const Bytes kLongKeyData = test::bytes_of("Test Using Larger Than Block-Size Key - Hash Key First");
const Key32 kLongKeyMac =
    hex_array<32>("60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
const Bytes kHkdfIkm(22, 0x0b);
const Bytes kHkdfSalt = hex("000102030405060708090a0b0c");
const Bytes kHkdfInfo = hex("f0f1f2f3f4f5f6f7f8f9");
const Bytes kHkdfOkm =
    hex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
const Bytes kHkdfUnsaltedOkm =
    hex("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");

const Key32 kAeadKey =
    hex_array<32>("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
const crypto::Nonce12 kAeadNonce = hex_array<12>("070000004041424344454647");
const Bytes kAeadAd = hex("50515253c0c1c2c3c4c5c6c7");
const Bytes kAeadPlaintext = test::bytes_of(
    "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, "
    "sunscreen would be it.");
const Bytes kAeadSealed = hex(
    "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92"
    "728b1a71de0a9e060b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b"
    "4831d7bc3ff4def08e4b7a9de576d26586cec64b61161ae10b594f09e26a7e902ecbd0600691");

Bytes hkdf(ByteView salt, std::size_t length) {
  Bytes out(length);
  crypto::hkdf_sha256(salt, kHkdfIkm, {kHkdfInfo}, out);
  return out;
}
Bytes unsalted_hkdf() {
  Bytes out(42);
  crypto::hkdf_sha256({}, kHkdfIkm, std::span<const ByteView>{}, out);
  return out;
}

// A call with no state of its own: right or stopped, then right when called again.
template <class Call, class Expected>
void right_or_stopped(FaultRun& run, Call call, const Expected& expected, std::string_view what) {
  if (auto got = run.faulted(call)) require(*got == expected, what);
  require(call() == expected, what);
  require(call() == expected, what);
}

// The library's first use made, so that a sweep fails only the allocations of the call itself.
void warm_up() {
  require(crypto::sha256({as_bytes("abc")}) == kAbcDigest, "warm-up");
}

// Every primitive answers rightly, whatever stopped before.
void primitives_still_work() {
  require(crypto::sha256({as_bytes("abc")}) == kAbcDigest, "sha256 after the stop");
  require(crypto::hmac_sha256(kJefe, {kJefeData}) == kJefeMac, "HMAC after the stop");
  require(hkdf(kHkdfSalt, 42) == kHkdfOkm, "HKDF after the stop");
  require(crypto::seal(kAeadKey, kAeadNonce, kAeadAd, kAeadPlaintext) == kAeadSealed,
          "seal after the stop");
  require(crypto::open(kAeadKey, kAeadNonce, kAeadAd, kAeadSealed) == kAeadPlaintext,
          "open after the stop");
}

// A key whose re-key stopped is the old key when the stop came first, or holds none and refuses to
// MAC until re-keyed.
bool old_key_or_none(crypto::HmacKey& key) {
  try {
    return key.mac({kJefeData}) == kJefeMac;
  } catch (const Panic& stop) {
    return std::string_view(stop.what()) == "HMAC key used after a re-key that stopped";
  }
}

// One call that makes every object the core keeps: the algorithms, the empty digest state, the
// absent salt's key, the cipher contexts.
void first_use(FaultRun& run) {
  const auto first_calls = [] {
    return crypto::sha256({as_bytes("abc")}) == kAbcDigest && unsalted_hkdf() == kHkdfUnsaltedOkm &&
           crypto::seal(kAeadKey, kAeadNonce, kAeadAd, kAeadPlaintext) == kAeadSealed;
  };
  if (auto right = run.faulted(first_calls)) require(*right, "first use");
  primitives_still_work();
  require(unsalted_hkdf() == kHkdfUnsaltedOkm, "HKDF without salt after the stop");
}

}  // namespace

// Each run starts in a fresh process, so the faulted call is also the library's first.
TEST(crypto_faults, first_use_poisons_nothing) {
  fault::sweep_all_from_the_start({
      {"first digest, derivation and seal", first_use},
      // Then the sweep holds the application's errors around the call, as many as leave room for
      // what the library may queue at once: OpenSSL's start is behind, the core's making is not.
      {"first digest, derivation and seal after the application's own use of OpenSSL",
       [](FaultRun& run) {
         crypto::start_error_queue();
         first_use(run);
       }},
      {"x25519 and hybrid_key",
       [](FaultRun& run) {
         const Key32 secret = test::filled<32>(7);
         const Key32 kem = test::filled<32>(9);
         const auto derive = [&] {
           const Secret32 shared = crypto::x25519(secret, crypto::x25519_public(secret));
           return crypto::hybrid_key(shared, kem, as_bytes("context")).bytes();
         };
         const Key32 expected = [&] {
           const Secret32 shared = crypto::x25519(secret, crypto::x25519_public(secret));
           return crypto::derive_session_key(HybridSecret(shared.view(), kem).view(),
                                             as_bytes("context"))
               .bytes();
         }();
         right_or_stopped(run, derive, expected, "hybrid_key");
         primitives_still_work();
       }},
  });
}

TEST(crypto_faults, digests) {
  sweep_all({
      // The stop of a restart: the next call must not use the state it left out.
      {"sha256, warm",
       [](FaultRun& run) {
         warm_up();
         right_or_stopped(
             run,
             [] {
               return crypto::sha256({as_bytes("a"), as_bytes("bc")});
             },
             kAbcDigest, "sha256");
         primitives_still_work();
       }},
      {"Sha256 copy",
       [](FaultRun& run) {
         crypto::Sha256 prefix;
         prefix.update(as_bytes("a"));
         const auto finished = [&] {
           crypto::Sha256 copy(prefix);
           copy.update(as_bytes("bc"));
           return copy.finish();
         };
         right_or_stopped(run, finished, kAbcDigest, "copy");
         prefix.update(as_bytes("bc"));
         require(prefix.finish() == kAbcDigest, "the copied hash");
       }},
      {"Sha256 copy assignment",
       [](FaultRun& run) {
         crypto::Sha256 prefix;
         prefix.update(as_bytes("a"));
         crypto::Sha256 target;
         target.update(as_bytes("zz"));
         if (run.faulted([&] { target = prefix; })) {
           target.update(as_bytes("bc"));
           require(target.finish() == kAbcDigest, "assigned hash");
         } else {
           // Emptied: it refuses until assigned again.
           bool stopped = false;
           try {
             target.update(as_bytes("bc"));
           } catch (const Panic&) {
             stopped = true;
           }
           require(stopped, "an emptied hash goes on hashing");
           target = prefix;
           target.update(as_bytes("bc"));
           require(target.finish() == kAbcDigest, "assigned again");
         }
         prefix.update(as_bytes("bc"));
         require(prefix.finish() == kAbcDigest, "the source");
       }},
      {"Sha256 reset",
       [](FaultRun& run) {
         crypto::Sha256 hash;
         hash.update(as_bytes("secret"));
         if (!run.faulted([&] { hash.reset(); })) hash.reset();
         hash.update(as_bytes("abc"));
         require(hash.finish() == kAbcDigest, "reset hash");
       }},
      {"hmac_sha256 with a long key",
       [](FaultRun& run) {
         warm_up();
         right_or_stopped(
             run, [] { return crypto::hmac_sha256(kLongKey, {kLongKeyData}); }, kLongKeyMac,
             "hmac_sha256");
       }},
  });
}

TEST(crypto_faults, prepared_keys) {
  sweep_all({
      {"HmacKey made",
       [](FaultRun& run) {
         warm_up();
         right_or_stopped(
             run, [] { return crypto::HmacKey(kLongKey).mac({kLongKeyData}); }, kLongKeyMac,
             "new key");
       }},
      {"HmacKey mac",
       [](FaultRun& run) {
         crypto::HmacKey key(kJefe);
         right_or_stopped(
             run, [&] { return key.mac({kJefeData}); }, kJefeMac, "mac");
       }},
      {"HmacKey rekey",
       [](FaultRun& run) {
         crypto::HmacKey key(kJefe);
         if (!run.faulted([&] { key.rekey(kLongKey); })) {
           require(old_key_or_none(key), "a stopped re-key left neither the old key nor none");
           key.rekey(kLongKey);
         }
         require(key.mac({kLongKeyData}) == kLongKeyMac, "the new key");
       }},
      {"HmacKey copy assignment",
       [](FaultRun& run) {
         const crypto::HmacKey source(kLongKey);
         crypto::HmacKey key(kJefe);
         if (!run.faulted([&] { key = source; })) {
           require(key.mac({kJefeData}) == kJefeMac, "a stopped assignment keeps the old key");
           key = source;
         }
         require(key.mac({kLongKeyData}) == kLongKeyMac, "the assigned key");
         require(crypto::HmacKey(source).mac({kLongKeyData}) == kLongKeyMac, "the source");
       }},
      {"hkdf_extract into a key",
       [](FaultRun& run) {
         crypto::HmacKey prk(kJefe);
         if (!run.faulted([&] { crypto::hkdf_extract(prk, kHkdfSalt, kHkdfIkm); })) {
           require(old_key_or_none(prk), "a stopped extract left neither the old key nor none");
           crypto::hkdf_extract(prk, kHkdfSalt, kHkdfIkm);
         }
         Bytes out(42);
         crypto::hkdf_expand(prk, {kHkdfInfo}, out);
         require(out == kHkdfOkm, "expanded");
       }},
      {"hkdf_expand",
       [](FaultRun& run) {
         crypto::HmacKey prk = crypto::hkdf_extract(kHkdfSalt, kHkdfIkm);
         Bytes out(42);
         if (!run.faulted([&] { crypto::hkdf_expand(prk, {kHkdfInfo}, out); })) {
           crypto::hkdf_expand(prk, {kHkdfInfo}, out);
         }
         require(out == kHkdfOkm, "expanded");
       }},
      {"hkdf_sha256 with a salt",
       [](FaultRun& run) {
         warm_up();
         right_or_stopped(
             run, [] { return hkdf(kHkdfSalt, 42); }, kHkdfOkm, "hkdf_sha256");
       }},
      {"sas",
       [](FaultRun& run) {
         const Key32 key = test::filled<32>(3);
         const std::string expected = crypto::sas(key);
         right_or_stopped(
             run, [&] { return crypto::sas(key); }, expected, "sas");
       }},
  });
}

TEST(crypto_faults, aead) {
  const auto sealed_by = [](crypto::AeadContext& context) {
    const ByteView ad = kAeadAd;
    return context.seal(kAeadKey, kAeadNonce, {&ad, 1}, kAeadPlaintext);
  };
  const auto opened_by = [](crypto::AeadContext& context) {
    const ByteView ad = kAeadAd;
    return context.open(kAeadKey, kAeadNonce, {&ad, 1}, kAeadSealed);
  };
  // A context that stopped serves its next call: made afresh, or as it was.
  const auto context_still_works = [=](crypto::AeadContext& context) {
    require(sealed_by(context) == kAeadSealed, "seal on the context after the stop");
    require(opened_by(context) == kAeadPlaintext, "open on the context after the stop");
  };
  sweep_all({
      {"AeadContext first seal",
       [=](FaultRun& run) {
         warm_up();
         crypto::AeadContext context;
         if (auto got = run.faulted([&] { return sealed_by(context); })) {
           require(*got == kAeadSealed, "seal");
         }
         context_still_works(context);
       }},
      {"AeadContext seal, warm",
       [=](FaultRun& run) {
         crypto::AeadContext context;
         static_cast<void>(opened_by(context));
         if (auto got = run.faulted([&] { return sealed_by(context); })) {
           require(*got == kAeadSealed, "seal");
         }
         context_still_works(context);
       }},
      {"AeadContext open, warm",
       [=](FaultRun& run) {
         crypto::AeadContext context;
         static_cast<void>(sealed_by(context));
         if (auto got = run.faulted([&] { return opened_by(context); })) {
           require(*got == kAeadPlaintext, "a stop inside open is no refusal");
         }
         context_still_works(context);
       }},
      {"AeadContext first open_into, long",
       [=](FaultRun& run) {
         crypto::AeadContext context;
         const Bytes long_plaintext(1000, 0x42);
         const ByteView no_ad;
         const Bytes sealed =
             crypto::AeadContext().seal(kAeadKey, kAeadNonce, {&no_ad, 1}, long_plaintext);
         Bytes out(long_plaintext.size());
         if (auto opened = run.faulted([&] {
               return context.open_into(kAeadKey, kAeadNonce, {&no_ad, 1}, sealed, out);
             })) {
           require(*opened && out == long_plaintext, "a stop inside open_into is no refusal");
         }
         context_still_works(context);
       }},
  });
}
