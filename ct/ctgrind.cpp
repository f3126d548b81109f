// Constant-time checks under valgrind's memcheck (tools/ctgrind.sh runs them).
//
// Secret inputs are marked undefined, so memcheck reports every branch and every memory index that
// depends on them, as it would for uninitialised memory. Values that are public by design (outputs
// that are published, the decision a caller acts on) are marked defined again before anything here
// branches on them. Modes:
//   check      ML-KEM on both backends and the comparison routines; valgrind must stay silent.
//   decisions  open, Relay::check_request and verify_migration whole, with their secrets marked;
//              the only reports allowed are at the one public decision each takes on its
//              comparison routine (the script checks where they are).
//   leak       a deliberately leaky early-exit comparison of secret bytes; valgrind must report it.
// Exit status: 0, or 3 when a result is wrong (valgrind's own reports give 1), 2 on misuse.
#include <valgrind/memcheck.h>
#include <valgrind/valgrind.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "kem.hpp"  // the library's internal header: the portable backend called directly
#include "mlkem/mlkem768.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/identity.hpp"
#include "vostrel/internal/relay.hpp"
#include "vostrel/pqkem.hpp"
#include "vostrel/relay.hpp"
#include "vostrel/rotation.hpp"

// The matrix seed rho is public (it is the last 32 bytes of ek), but key generation derives it
// from the secret d. Each backend's expand_matrix, and its sample_jobs that takes rho inside its
// job description, are wrapped so that rho, and only rho, is declassified on entry; rejection
// sampling may then branch on it as it must. Valgrind wraps by mangled symbol:
// ct/wrapped-symbols.sh finds the symbols by their demangled names and writes one
// CTGRIND_WRAP_<function> for each.
namespace {
int rho_declassified = 0;  // calls through the wrappers: keygen must go through one
}

#define CTGRIND_WRAP_expand_matrix(symbol)                                                     \
  extern "C" void I_WRAP_SONAME_FNNAME_ZZ(NONE, symbol)(void* matrix, const std::uint8_t* rho, \
                                                        long transposed) {                     \
    OrigFn original;                                                                           \
    VALGRIND_GET_ORIG_FN(original);                                                            \
    VALGRIND_MAKE_MEM_DEFINED(rho, 32);                                                        \
    ++rho_declassified;                                                                        \
    CALL_FN_v_WWW(original, matrix, rho, transposed);                                          \
  }
#define CTGRIND_WRAP_sample_jobs(symbol)                                                        \
  extern "C" void I_WRAP_SONAME_FNNAME_ZZ(NONE,                                                 \
                                          symbol)(const mlkem768::detail::SamplingJobs* jobs) { \
    OrigFn original;                                                                            \
    VALGRIND_GET_ORIG_FN(original);                                                             \
    if (jobs->rho != nullptr) {                                                                 \
      VALGRIND_MAKE_MEM_DEFINED(jobs->rho, 32);                                                 \
      ++rho_declassified;                                                                       \
    }                                                                                           \
    CALL_FN_v_W(original, jobs);                                                                \
  }
#include "wrapped_symbols.inc"

namespace {

using namespace vostrel;
namespace kem = mlkem768::detail;

int failures = 0;

void expect(bool ok, std::string_view what) {
  if (ok) return;
  std::fprintf(stderr, "FAIL %.*s\n", static_cast<int>(what.size()), what.data());
  ++failures;
}

void mark_secret(const void* p, std::size_t n) {
  VALGRIND_MAKE_MEM_UNDEFINED(p, n);
}
void mark_public(const void* p, std::size_t n) {
  VALGRIND_MAKE_MEM_DEFINED(p, n);
}
template <class T>
void mark_secret(const T& object) {
  mark_secret(&object, sizeof object);
}
template <class T>
void mark_public(const T& object) {
  mark_public(&object, sizeof object);
}
// Whether every byte still carries undefined bits: a check whose secrets never reached the value
// under test would pass without testing anything.
bool is_secret(const void* p, std::size_t n) {
  std::vector<std::uint8_t> vbits(n);
  if (VALGRIND_GET_VBITS(p, vbits.data(), n) != 1) return false;
  return std::ranges::none_of(vbits, [](std::uint8_t v) { return v == 0; });
}
template <class T>
bool is_secret(const T& object) {
  return is_secret(&object, sizeof object);
}
// A decision taken on secrets, made public so that the harness may branch on it.
bool declassified(bool decision) {
  expect(is_secret(decision), "the decision depends on the secret");
  mark_public(decision);
  return decision;
}

template <std::size_t N>
ByteArray<N> pattern(std::uint8_t seed) {
  ByteArray<N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<std::uint8_t>(seed + 31 * i);
  return out;
}

// --- ML-KEM ---

struct KemBackend {
  const char* name;
  void (*keygen)(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::uint8_t*);
  void (*encaps)(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::uint8_t*);
  void (*decaps)(const std::uint8_t*, const std::uint8_t*, std::uint8_t*);
};

struct KemRun {
  pqkem::EncapsulationKey ek{};
  pqkem::Ciphertext ct{};
  ByteArray<pqkem::kSharedSecretBytes> ss{};
};

// The public API as the core calls it: whatever backend the library dispatches to here.
const KemBackend kDispatched{
    "dispatched",
    [](const std::uint8_t* d, const std::uint8_t* z, std::uint8_t* ek, std::uint8_t* dk) {
      ByteArray<pqkem::kSeedBytes> seed{};
      std::memcpy(seed.data(), d, 32);
      std::memcpy(seed.data() + 32, z, 32);
      const pqkem::KemKeyPair pair = pqkem::KemKeyPair::from_seed(seed);
      std::memcpy(ek, pair.ek.data(), pair.ek.size());
      std::memcpy(dk, pair.dk.data(), pair.dk.size());
    },
    [](const std::uint8_t* ek, const std::uint8_t* m, std::uint8_t* ct, std::uint8_t* ss) {
      const pqkem::Encapsulation out = pqkem::encapsulate_with(
          FixedView<pqkem::kEncapsulationKeyBytes>(ek, pqkem::kEncapsulationKeyBytes),
          FixedView<pqkem::kEncapsulationRandomnessBytes>(m, 32));
      std::memcpy(ct, out.ct.data(), out.ct.size());
      std::memcpy(ss, out.ss.data(), out.ss.size());
    },
    [](const std::uint8_t* dk, const std::uint8_t* ct, std::uint8_t* ss) {
      const pqkem::SharedSecret out =
          pqkem::decapsulate(FixedView<pqkem::kDecapsulationKeyBytes>(dk, kem::kDkBytes),
                             FixedView<pqkem::kCiphertextBytes>(ct, kem::kCtBytes));
      std::memcpy(ss, out.data(), out.size());
    },
};

const KemBackend kPortable{
    "portable",
    [](const std::uint8_t* d, const std::uint8_t* z, std::uint8_t* ek, std::uint8_t* dk) {
      kem::Kem<kem::Portable>::keygen(d, z, ek, dk);
    },
    [](const std::uint8_t* ek, const std::uint8_t* m, std::uint8_t* ct, std::uint8_t* ss) {
      kem::Kem<kem::Portable>::encaps(ek, m, ct, ss);
    },
    [](const std::uint8_t* dk, const std::uint8_t* ct, std::uint8_t* ss) {
      kem::Kem<kem::Portable>::decaps(dk, ct, ss);
    },
};

// Secret: d and z (key generation), m (encapsulation), and the parts of dk that are not public:
// s-hat and z. The copy of ek inside dk and its hash H(ek) are public and stay defined, since
// re-encryption samples the matrix from that ek's rho by rejection, which branches by design.
KemRun check_kem(const KemBackend& backend) {
  const std::string_view name = backend.name;
  const int failures_before = failures;
  auto d = pattern<32>(1), z = pattern<32>(2), m = pattern<32>(3);
  mark_secret(d);
  mark_secret(z);
  mark_secret(m);

  KemRun run;
  pqkem::DecapsulationKey dk{};
  const int wrapped_before = rho_declassified;
  backend.keygen(d.data(), z.data(), run.ek.data(), dk.data());
  expect(rho_declassified > wrapped_before,
         "key generation samples the matrix through a wrapper of ct/wrapped-symbols.sh (none "
         "was called: inlined, or called under another name?), so rho stays secret");
  // rho, the end of ek, was declassified by the wrapper; t-hat, s-hat and z are secret.
  expect(is_secret(run.ek.data(), kem::kPolyvecBytes) && is_secret(dk.data(), kem::kPolyvecBytes) &&
             is_secret(dk.data() + kem::kDkBytes - kem::kSymBytes, kem::kSymBytes),
         "key generation computes from d and z");
  mark_public(run.ek);
  mark_public(dk.data() + kem::kPolyvecBytes, kem::kEkBytes + kem::kSymBytes);
  expect(std::memcmp(dk.data() + kem::kPolyvecBytes, run.ek.data(), run.ek.size()) == 0,
         "dk holds ek");

  backend.encaps(run.ek.data(), m.data(), run.ct.data(), run.ss.data());
  expect(is_secret(run.ct) && is_secret(run.ss), "encapsulation computes from m");
  mark_public(run.ct);

  ByteArray<pqkem::kSharedSecretBytes> ss{};
  backend.decaps(dk.data(), run.ct.data(), ss.data());

  // Implicit rejection: the re-encryption mismatch must not show, wherever it is.
  ByteArray<pqkem::kSharedSecretBytes> rejected[2]{};
  const std::size_t altered_at[2] = {0, kem::kCtBytes - 1};
  for (std::size_t i = 0; i < 2; ++i) {
    pqkem::Ciphertext altered = run.ct;
    altered[altered_at[i]] ^= 0x01;
    backend.decaps(dk.data(), altered.data(), rejected[i].data());
  }

  expect(is_secret(ss) && is_secret(rejected), "decapsulation computes from dk");

  // Done with the secrets: the results may now be compared.
  mark_public(run.ss);
  mark_public(ss);
  mark_public(rejected);
  expect(ss == run.ss, "decapsulation recovers the encapsulated secret");
  expect(rejected[0] != run.ss && rejected[1] != run.ss && rejected[0] != rejected[1],
         "an altered ciphertext gives another secret");
  std::printf("%s ml-kem %.*s: keygen, encaps, decaps (valid and altered ciphertexts)\n",
              failures == failures_before ? "ok  " : "FAIL", static_cast<int>(name.size()),
              name.data());
  return run;
}

// --- comparison routines ---

// Secret: both operands, since either may be the expected tag or key.
template <std::size_t N, class Compare>
void check_comparison(std::string_view name, Compare compare) {
  const int failures_before = failures;
  const auto reference = pattern<N>(7);
  for (const std::size_t at : {N, std::size_t{0}, N / 2, N - 1}) {  // N: no difference
    auto a = reference, b = reference;
    if (at < N) b[at] ^= 0x40;
    mark_secret(a);
    mark_secret(b);
    expect(declassified(compare(a, b)) == (at == N), name);
  }
  std::printf("%s %.*s: equal and differing at the first, middle and last byte\n",
              failures == failures_before ? "ok  " : "FAIL", static_cast<int>(name.size()),
              name.data());
}

int run_checks() {
  const KemRun dispatched = check_kem(kDispatched);
  const KemRun portable = check_kem(kPortable);
  expect(
      dispatched.ek == portable.ek && dispatched.ct == portable.ct && dispatched.ss == portable.ss,
      "both backends give the same bytes");

  check_comparison<crypto::kTagBytes>("crypto::ct_equal on tags", [](const auto& a, const auto& b) {
    return crypto::ct_equal(a, b);
  });
  check_comparison<32>("crypto::ct_equal on keys (verify_migration)",
                       [](const auto& a, const auto& b) { return crypto::ct_equal(a, b); });
  check_comparison<32>("relay::capability_matches", [](const Key32& a, const Key32& b) {
    return relay::capability_matches(a, b);
  });
  return failures == 0 ? 0 : 3;
}

// --- whole functions: only their public decision may depend on the secret ---

// Secret: the key; the tag that open computes from it is then secret too.
void decide_open() {
  const Key32 key = pattern<32>(11);
  const auto nonce = pattern<12>(12);
  const Bytes plaintext(40, 0x33);
  const Bytes sealed = crypto::seal(key, nonce, as_bytes("ad"), plaintext);
  Bytes altered = sealed;
  altered.back() ^= 0x01;

  Key32 secret_key = key;
  mark_secret(secret_key);
  const auto opened = crypto::open(secret_key, nonce, as_bytes("ad"), sealed);
  expect(opened.has_value(), "open accepts its own seal");
  if (opened) {
    expect(is_secret(opened->data(), opened->size()), "open decrypts under the secret key");
    mark_public(opened->data(), opened->size());
    expect(*opened == plaintext, "open returns the plaintext");
  }
  expect(!crypto::open(secret_key, nonce, as_bytes("ad"), altered), "open refuses a changed tag");
}

// Secret: the relay's capability key, so the tag it recomputes is secret.
void decide_relay() {
  const Key32 key = pattern<32>(21);
  const auto mailbox = pattern<32>(22);
  const std::uint64_t now = 1'000'000;
  const auto request =
      relay::build_request(relay::RelayOp::Deposit, key, mailbox, now, as_bytes("payload"));
  expect(request.has_value(), "a request is built");
  if (!request) return;
  relay::RelayRequest forged = *request;
  forged.capability[31] ^= 0x01;

  Key32 secret_key = key;
  mark_secret(secret_key);
  relay::Relay relay(300, 1000, secret_key, relay::kBuildRequestDifficulty);
  expect(
      relay.check_request(relay::RelayOp::Deposit, *request, as_bytes("payload"), now).has_value(),
      "the relay admits a request with its capability");
  const auto refused =
      relay.check_request(relay::RelayOp::Deposit, forged, as_bytes("payload"), now);
  expect(!refused && refused.error() == relay::RelayError::BadCapability,
         "the relay refuses a changed capability");
}

// Secret: the pinned key, which tells which contact is being re-pinned.
void decide_migration() {
  const auto old_identity = identity::Identity::generate();
  const auto new_identity = identity::Identity::generate();
  const auto stranger = identity::Identity::generate();
  const rotation::MigrationRecord record = rotation::sign_migration(old_identity, new_identity);

  identity::PublicKey pinned = old_identity.public_key();
  mark_secret(pinned);
  const auto moved = rotation::verify_migration(record, pinned);
  expect(moved == new_identity.public_key(), "the pinned key accepts the move");

  identity::PublicKey other = stranger.public_key();
  mark_secret(other);
  expect(!rotation::verify_migration(record, other), "another pinned key refuses it");
}

int run_decisions() {
  decide_open();
  decide_relay();
  decide_migration();
  if (failures == 0) std::printf("ok   open, check_request and verify_migration decided\n");
  return failures == 0 ? 0 : 3;
}

// --- the planted leak ---

// An early-exit byte comparison, as a naive memcmp does: its running time says where the first
// difference is. Valgrind has to report the branch.
[[gnu::noinline]] bool leaky_equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

int run_leak() {
  auto expected = pattern<16>(5);
  auto presented = expected;
  presented[9] ^= 0x02;
  mark_secret(expected);
  // Its result is already defined: memcheck does not follow the branch it took.
  const bool same = leaky_equal(expected.data(), presented.data(), expected.size());
  std::printf("leak: the planted comparison ran (%s)\n", same ? "equal" : "different");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!RUNNING_ON_VALGRIND) {
    std::fprintf(stderr, "vostrel-ctgrind checks nothing outside valgrind: use tools/ctgrind.sh\n");
    return 2;
  }
  const std::string_view mode = argc > 1 ? argv[1] : "check";
  if (mode == "check") return run_checks();
  if (mode == "decisions") return run_decisions();
  if (mode == "leak") return run_leak();
  std::fprintf(stderr, "usage: vostrel-ctgrind [check|decisions|leak]\n");
  return 2;
}
