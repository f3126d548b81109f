// Writes the registered seed corpora: one directory per fuzz target.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "corpus.hpp"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vostrel-fuzz-corpus OUTPUT_DIR\n");
    return 2;
  }
  for (const auto& [target, make] : vostrel::fuzz::seed_makers()) {
    const fs::path dir = fs::path(argv[1]) / target;
    fs::create_directories(dir);
    const vostrel::fuzz::Seeds seeds = make();
    for (std::size_t i = 0; i < seeds.size(); ++i) {
      std::ofstream out(dir / ("seed-" + std::to_string(i)), std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(seeds[i].data()),
                static_cast<std::streamsize>(seeds[i].size()));
    }
  }
  return 0;
}
