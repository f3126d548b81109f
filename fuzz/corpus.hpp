#pragma once

// Seed corpora, made by the project's own code: each seeds_*.cpp registers the seeds of its
// targets.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "vostrel/common.hpp"

namespace vostrel::fuzz {

using Seeds = std::vector<Bytes>;
using SeedMaker = std::function<Seeds()>;

inline std::map<std::string, SeedMaker>& seed_makers() {
  static std::map<std::string, SeedMaker> makers;
  return makers;
}

// At namespace scope: `const SeedRegistration r{"target", make_seeds};`
struct SeedRegistration {
  SeedRegistration(const std::string& target, SeedMaker make) {
    seed_makers().emplace(target, std::move(make));
  }
};

}  // namespace vostrel::fuzz
