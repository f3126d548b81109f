#include "corpus.hpp"
#include "fuzz_support.hpp"
#include "vostrel/identity.hpp"

namespace vostrel::fuzz {
namespace {

Seeds identity_seeds() {
  const identity::Identity id = identity::Identity::generate();
  Key32 seed{};
  os_random(seed);
  return {id.to_encrypted(fixed_key()), Bytes(seed.begin(), seed.end()), Bytes(31, 1),
          Bytes(33, 2)};
}

const SeedRegistration identity_registration{"identity", identity_seeds};

}  // namespace
}  // namespace vostrel::fuzz
