// Writes seed corpora for the fuzz targets, made by the project's own code: one directory per
// target.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/identity.hpp"

using namespace vostrel;
namespace fs = std::filesystem;

namespace {

using Seeds = std::vector<Bytes>;

Seeds identity_seeds() {
  const Key32& key = fuzz::fixed_key();
  const identity::Identity id = identity::Identity::generate();
  Key32 seed{};
  os_random(seed);
  return {id.to_encrypted(key), Bytes(seed.begin(), seed.end()), Bytes(31, 1), Bytes(33, 2)};
}

const std::map<std::string, std::function<Seeds()>>& generators() {
  static const std::map<std::string, std::function<Seeds()>> table = {
      {"identity", identity_seeds},
  };
  return table;
}

void write_seeds(const fs::path& dir, const Seeds& seeds) {
  fs::create_directories(dir);
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    std::ofstream out(dir / ("seed-" + std::to_string(i)), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(seeds[i].data()),
              static_cast<std::streamsize>(seeds[i].size()));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vostrel-fuzz-corpus OUTPUT_DIR\n");
    return 2;
  }
  for (const auto& [target, make] : generators()) write_seeds(fs::path(argv[1]) / target, make());
  return 0;
}
