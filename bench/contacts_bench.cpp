#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "vostrel/directory.hpp"
#include "vostrel/invite.hpp"
#include "vostrel/rotation.hpp"

using namespace vostrel;
using vostrel::identity::Identity;

namespace {

const Key32 kRoot = [] {
  Key32 root{};
  root.fill(0x11);
  return root;
}();

std::vector<directory::Address> largest_address_list() {
  std::vector<directory::Address> addrs;
  for (std::size_t i = 0; i < directory::DIR_MAX_ADDRS; ++i) {
    addrs.push_back(directory::Address::Onion(std::string(directory::DIR_MAX_ADDR_LEN, 'o')));
  }
  return addrs;
}

void BM_create_invite(benchmark::State& state) {
  const Identity alice = Identity::generate();
  for (auto _ : state) benchmark::DoNotOptimize(invite::create_invite(alice));
}
BENCHMARK(BM_create_invite);

void BM_request_friend(benchmark::State& state) {
  const Identity alice = Identity::generate();
  const Identity bob = Identity::generate();
  const auto invitation = invite::create_invite(alice);
  for (auto _ : state) benchmark::DoNotOptimize(invite::request_friend(invitation.first, bob));
}
BENCHMARK(BM_request_friend);

void BM_accept_friend(benchmark::State& state) {
  const Identity alice = Identity::generate();
  const Identity bob = Identity::generate();
  const auto invitation = invite::create_invite(alice);
  const auto requested = invite::request_friend(invitation.first, bob);
  if (!requested) {
    state.SkipWithError("request refused");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(invite::accept_friend(invitation.second, alice, requested->request));
  }
}
BENCHMARK(BM_accept_friend);

void BM_directory_publish(benchmark::State& state) {
  const Identity id = Identity::generate();
  const auto addrs = largest_address_list();
  std::uint64_t seq = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(directory::publish(kRoot, id, ++seq, 9999, addrs, 1));
  }
}
BENCHMARK(BM_directory_publish);

void BM_directory_read(benchmark::State& state) {
  const Identity id = Identity::generate();
  const auto published = directory::publish(kRoot, id, 1, 9999, largest_address_list(), 1);
  if (!published) {
    state.SkipWithError("publish refused");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(directory::read(kRoot, id.public_key(), published->blob));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(published->blob.size()));
}
BENCHMARK(BM_directory_read);

void BM_verify_migration(benchmark::State& state) {
  const Identity old_id = Identity::generate();
  const Identity new_id = Identity::generate();
  const auto record = rotation::sign_migration(old_id, new_id);
  for (auto _ : state) {
    benchmark::DoNotOptimize(rotation::verify_migration(record, old_id.public_key()));
  }
}
BENCHMARK(BM_verify_migration);

}  // namespace
